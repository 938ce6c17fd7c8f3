#include "AxisStopper.h"

#include "DataRecordWatcher.h"
#include "MainConnection.h"
#include "RecordFields.h"
#include "Utilities.h"
#include "VrxException.h"

#include <iostream>
#include <thread>
#include <utility>

namespace {

constexpr uint16_t kMovingBit = 1u << 15;
// Between two rounds after a refused or lost stop: no storm of commands at
// a controller that is busy or coming back.
constexpr std::chrono::milliseconds kRetryPause{50};
const char* const kAxisNames[] = {"X", "Y", "Z", "E", "controller axis E"};

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
    return AxisStopper(task, std::move(commands), {0, 1, 2, 3, 4}, true);
}

bool AxisStopper::Standing(const ZDataRecord& record) const {
    if (coordinated_ && (CoordinatedStatus(record) & kMovingBit) != 0) {
        return false;
    }
    for (const int axis : axes_) {
        if ((AxisStatus(record, axis) & kMovingBit) != 0) {
            return false;
        }
    }
    return true;
}

Task::Record AxisStopper::Stop() {
    if (!MainConnection::GetInstance().IsEnabled()) {
        return DataRecordWatcher::GetInstance().LatestMainOrZeros();
    }
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    std::exception_ptr error;
    int rounds = 0;
    DataRecordWatcher& watcher = DataRecordWatcher::GetInstance();
    for (;;) {
        std::exception_ptr round_error = SendStops();
        if (watcher.MainStreamFailed()) {
            // Sent, but nothing will show whether they took effect.
            GiveUp(round_error ? round_error : error);
        }
        if (const Task::Record record = AwaitStanding(round_error)) {
            if (error || round_error) {
                std::cerr << "Task " << task_.GetId() << " stopped " << AxisNames()
                          << " after a failed stop" << std::endl;
            }
            return record;
        }
        if (round_error) {
            error = round_error;
        }
        // One late reply can take the whole bound: the stops are sent once
        // more (on a fresh connection) before the axes count as not stoppable.
        if (++rounds >= 2 && std::chrono::steady_clock::now() >= deadline) {
            GiveUp(error);
        }
        std::this_thread::sleep_for(kRetryPause);
    }
}

std::exception_ptr AxisStopper::SendStops() {
    std::exception_ptr first;
    for (const std::string& command : commands_) {
        try {
            task_.SendCommand(command);
        } catch (...) {
            if (!first) {
                first = std::current_exception();
            }
        }
    }
    return first;
}

Task::Record AxisStopper::AwaitStanding(std::exception_ptr& error) {
    // After a refused or lost stop only a record that shows the axes
    // standing already will do; otherwise the stop is sent again at once.
    const bool stops_failed = error != nullptr;
    Task::Record record;
    try {
        // Only a record taken after the stops tells that they took effect.
        record = task_.RecordAfterCommands();
    } catch (const VrxException& vrx) {
        if (vrx.GetSource().rfind("Data Record", 0) == 0) {
            // The stream failed or went silent past its limit meanwhile.
            GiveUp(std::current_exception());
        }
        if (!error) {
            error = std::current_exception();
        }
        return Task::Record();
    } catch (...) {
        if (!error) {
            error = std::current_exception();
        }
        return Task::Record();
    }
    // A moving axis needs a moment to decelerate.
    const auto round_end = std::chrono::steady_clock::now() + kRoundWait;
    for (;;) {
        if (Standing(*record)) {
            return record;
        }
        if (stops_failed || std::chrono::steady_clock::now() >= round_end) {
            return Task::Record();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        record = DataRecordWatcher::GetInstance().LatestMainOrZeros();
    }
}

void AxisStopper::GiveUp(std::exception_ptr error) {
    std::string detail = "still moving";
    int32_t rc = 0;
    std::string source = commands_.empty() ? std::string() : commands_.front();
    if (error) {
        detail = Task::FailureReason(error);
        try {
            std::rethrow_exception(error);
        } catch (const VrxException& vrx) {
            rc = vrx.GetRc();
            source = vrx.GetSource();
        } catch (...) {
        }
    }
    const std::string text = AxisNames() + " could not be stopped: " + detail;
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
        names += (i == 0 ? "" : ", ") + std::string(kAxisNames[axes_[i]]);
    }
    return names;
}
