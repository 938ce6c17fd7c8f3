#include "MotionStop.h"

#include "MainConnection.h"
#include "RecordFields.h"
#include "Utilities.h"
#include "VrxException.h"

#include <thread>
#include <utility>

namespace {

constexpr uint16_t kMovingBit = 1u << 15;
// Between two rounds after a refused or lost stop: no storm of commands at
// a controller that is busy or coming back.
constexpr std::chrono::milliseconds kRetryPause{50};
// Between two looks at the records while the motion comes to a stand.
constexpr std::chrono::milliseconds kStandPoll{2};
const char* const kAxisNames[MotionStop::kAxes] = {"X", "Y", "Z", "E", "controller axis E"};

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

}  // namespace

MotionStop::MotionStop(MainConnection& main, DataRecordWatcher& watcher,
                       std::vector<std::string> commands, std::vector<int> axes, bool coordinated)
    : main_(main),
      watcher_(watcher),
      commands_(std::move(commands)),
      axes_(std::move(axes)),
      coordinated_(coordinated) {}

MotionStop::Outcome MotionStop::Run() {
    Outcome outcome;
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    for (;;) {
        ++outcome.rounds;
        bool unanswered = false;
        const std::exception_ptr round_error = SendStops(unanswered);
        const auto sent = std::chrono::steady_clock::now();
        if (!round_error) {
            outcome.taken = true;
        } else if (!outcome.error) {
            outcome.error = round_error;
        }
        DataRecordWatcher::Record record;
        try {
            // An unanswered stop leaves the connection busy for as long as
            // a clock read would wait: the records alone judge then.
            record = RecordAfterStops(!unanswered, sent, outcome.error);
        } catch (...) {
            outcome.verdict = Verdict::kNoRecords;
            outcome.records_error = std::current_exception();
            return outcome;
        }
        // After a refused or lost stop only a record that shows the motion
        // standing already will do; otherwise the stop is sent again at once.
        if (!round_error) {
            record = AwaitStanding(std::move(record));
        }
        outcome.record = record;
        if (Standing(*record)) {
            outcome.verdict = Verdict::kStanding;
            return outcome;
        }
        // One late reply can take the whole bound: the stops are sent once
        // more before the motion counts as not stoppable.
        if (outcome.rounds >= 2 && std::chrono::steady_clock::now() >= deadline) {
            outcome.verdict = Verdict::kMoving;
            return outcome;
        }
        std::this_thread::sleep_for(kRetryPause);
    }
}

std::exception_ptr MotionStop::SendStops(bool& unanswered) {
    std::exception_ptr first;
    for (const std::string& command : commands_) {
        try {
            main_.CommandIfEnabled(command);
        } catch (const VrxException& error) {
            unanswered = unanswered || error.GetRc() == Z_ERR_TIMEOUT;
            if (!first) {
                first = std::current_exception();
            }
        } catch (...) {
            if (!first) {
                first = std::current_exception();
            }
        }
    }
    return first;
}

DataRecordWatcher::Record MotionStop::RecordAfterStops(bool ask_clock,
                                                       std::chrono::steady_clock::time_point sent,
                                                       std::exception_ptr& error) {
    if (ask_clock && !watcher_.MainStreamFailed()) {
        try {
            const ControllerTime clock = ReadClock();
            return watcher_.RecordAfter(clock).record;
        } catch (const VrxException& vrx) {
            if (StartsWith(vrx.GetSource(), "Data Record")) {
                throw;  // the stream failed or went silent past its limit
            }
            if (!error) {
                error = std::current_exception();
            }
        } catch (...) {
            if (!error) {
                error = std::current_exception();
            }
        }
    }
    return watcher_.RecordTakenAfter(sent).record;
}

ControllerTime MotionStop::ReadClock() {
    return watcher_.TimeOfClock(ParseControllerTime(main_.CommandIfEnabled("MG TIME")));
}

DataRecordWatcher::Record MotionStop::AwaitStanding(DataRecordWatcher::Record record) {
    // A moving axis needs a moment to decelerate.
    const auto round_end = std::chrono::steady_clock::now() + kRoundWait;
    while (!Standing(*record) && std::chrono::steady_clock::now() < round_end) {
        std::this_thread::sleep_for(kStandPoll);
        record = watcher_.LatestMainOrZeros();
    }
    return record;
}

bool MotionStop::Standing(const ZDataRecord& record) const {
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

std::string MotionStop::MovingNames(const ZDataRecord& record) const {
    std::string axes;
    size_t count = 0;
    for (const int axis : axes_) {
        if ((AxisStatus(record, axis) & kMovingBit) != 0) {
            axes += (count++ == 0 ? "" : ", ") + std::string(AxisName(axis));
        }
    }
    std::string names;
    if (coordinated_ && (CoordinatedStatus(record) & kMovingBit) != 0) {
        names = "the coordinated motion";
    }
    if (count > 0) {
        names +=
            (names.empty() ? "" : " and ") + std::string(count == 1 ? "axis " : "axes ") + axes;
    }
    return names;
}

const char* MotionStop::AxisName(int axis) {
    return axis >= 0 && axis < kAxes ? kAxisNames[axis] : "?";
}

bool MotionStop::OnlyAsks(const std::string& command) {
    return StartsWith(command, "MG") || StartsWith(command, "RP") || StartsWith(command, "TP") ||
           StartsWith(command, "TC");
}
