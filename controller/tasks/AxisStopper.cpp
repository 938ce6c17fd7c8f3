#include "AxisStopper.h"

#include "DataRecordWatcher.h"
#include "MainConnection.h"
#include "Utilities.h"
#include "VrxException.h"

#include <iostream>
#include <utility>

namespace {

// Controller axis index of a controller or printer axis letter; -1 for none.
int AxisIndex(const std::string& axis) {
    if (axis == "X") {
        return 0;
    }
    if (axis == "Y") {
        return 1;
    }
    if (axis == "Z") {
        return 2;
    }
    if (axis.size() == 1 && axis[0] >= 'A' && axis[0] <= 'E') {
        return axis[0] - 'A';
    }
    return -1;
}

// The return code and source of a controller error; none for other errors.
void ErrorOrigin(std::exception_ptr error, int32_t& rc, std::string& source) {
    try {
        std::rethrow_exception(error);
    } catch (const VrxException& vrx) {
        rc = vrx.GetRc();
        source = vrx.GetSource();
    } catch (...) {
    }
}

}  // namespace

AxisStopper::AxisStopper(Task& task, std::vector<std::string> commands, std::vector<int> axes,
                         bool coordinated)
    : task_(task),
      commands_(std::move(commands)),
      axes_(std::move(axes)),
      coordinated_(coordinated) {}

AxisStopper AxisStopper::ForAxis(Task& task, const std::string& controller_axis) {
    std::vector<int> axes;
    const int index = AxisIndex(controller_axis);
    if (index >= 0) {
        axes.push_back(index);
    }
    return AxisStopper(task, {"ST" + controller_axis}, std::move(axes), false);
}

AxisStopper AxisStopper::ForAll(Task& task, std::vector<std::string> commands) {
    return AxisStopper(task, std::move(commands), MotionStop::AllAxes(), true);
}

Task::Record AxisStopper::Stop() {
    DataRecordWatcher& watcher = DataRecordWatcher::GetInstance();
    if (!MainConnection::GetInstance().IsEnabled()) {
        return watcher.LatestMainOrZeros();
    }
    if (const Task::Record* judged = task_.ReusableStop()) {
        // Judged once in this control: a failure is already the task's
        // reason, and the records would only say it again.
        return *judged ? *judged : watcher.LatestMainOrZeros();
    }
    const MotionStop::Outcome outcome =
        MotionStop(MainConnection::GetInstance(), watcher, commands_, axes_, coordinated_).Run();
    if (outcome.verdict != MotionStop::Verdict::kStanding) {
        task_.KeepJudgedStop(Task::Record());
        GiveUp(outcome);
    }
    task_.KeepJudgedStop(outcome.record);
    if (outcome.error) {
        std::cerr << "Task " << task_.GetId() << ": " << AxisNames()
                  << " were seen standing after a failed command: "
                  << Task::FailureReason(outcome.error) << std::endl;
    }
    return outcome.record;
}

void AxisStopper::GiveUp(const MotionStop::Outcome& outcome) {
    std::string text;
    std::exception_ptr origin = outcome.error;
    if (outcome.verdict == MotionStop::Verdict::kNoRecords) {
        // Nothing shows whether the stop took effect: the axes may as well stand.
        text = AxisNames() + " could not be seen standing: no main record to judge the stop by (" +
               Task::FailureReason(outcome.records_error) + ")";
        if (outcome.error) {
            text += "; the stop failed too: " + Task::FailureReason(outcome.error);
        } else {
            origin = outcome.records_error;
        }
    } else {
        text = AxisNames() + " could not be stopped: " +
               (outcome.error ? Task::FailureReason(outcome.error) : std::string("still moving"));
    }
    int32_t rc = 0;
    std::string source = commands_.empty() ? std::string() : commands_.front();
    if (origin) {
        ErrorOrigin(origin, rc, source);
    }
    std::cerr << "Task " << task_.GetId() << ": " << text << std::endl;
    const nlohmann::json message = {
        {"command", "vrxError"},
        {"data", {{"rc", rc}, {"source", source}, {"error_string", text}}},
    };
    DataRecordWatcher::GetInstance().SendError(DumpMessage(message));
    throw AxesNotStopped(text);
}

std::string AxisStopper::AxisNames() const {
    if (coordinated_ || axes_.empty()) {
        return "The axes";
    }
    std::string names = axes_.size() == 1 ? "Axis " : "Axes ";
    for (size_t i = 0; i < axes_.size(); ++i) {
        names += (i == 0 ? "" : ", ") + std::string(MotionStop::AxisName(axes_[i]));
    }
    return names;
}
