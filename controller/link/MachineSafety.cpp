#include "MachineSafety.h"

#include "DataRecordWatcher.h"
#include "MainConnection.h"
#include "TemperatureConnection.h"
#include "Utilities.h"
#include "VrxException.h"

#include <iostream>

namespace {

// The text of an error; "unknown error" for none or one of no known kind.
std::string Detail(std::exception_ptr error) {
    if (!error) {
        return "unknown error";
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& caught) {
        return caught.what();
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace

MachineSafety::MachineSafety(MainConnection& main, TemperatureConnection& temperature,
                             DataRecordWatcher& watcher)
    : main_(main), temperature_(temperature), watcher_(watcher) {}

bool MachineSafety::MakeSafe() {
    failures_.clear();
    // Each controller on its own: axes that cannot be stopped must not keep
    // the heaters on, nor the other way round.
    const bool stopped = StopAxes();
    const bool cold = SwitchHeatersOff();
    return stopped && cold;
}

bool MachineSafety::StopAxes() {
    if (!main_.IsOpen() || !main_.IsEnabled()) {
        return true;
    }
    const MotionStop::Outcome stopped = AllAxes("ST").Run();
    if (stopped.verdict == MotionStop::Verdict::kStanding) {
        SwitchMotorsOff();
        return true;
    }
    // Sent whatever the stops did: motors switched off do not drive the axes.
    MotionStop motors_off = AllAxes("MO");
    const MotionStop::Outcome off = motors_off.Run();
    if (off.verdict == MotionStop::Verdict::kStanding) {
        return true;
    }
    const std::exception_ptr error = stopped.error ? stopped.error : off.error;
    if (off.verdict == MotionStop::Verdict::kNoRecords && (stopped.taken || off.taken)) {
        std::cerr << "No main record shows the axes at exit; the stop taken has to do: "
                  << Detail(off.records_error) << std::endl;
        return true;
    }
    if (!stopped.taken) {
        Fail("the main controller did not take \"ST\" (" + Detail(error) +
             "); its axes may still move");
    } else if (off.record) {
        Fail("the main controller's " + motors_off.MovingNames(*off.record) +
             " still moved after \"ST\" and \"MO\"" +
             (error ? " (" + Detail(error) + ")" : std::string()));
    } else {
        Fail("the main controller's axes were not seen standing (" + Detail(off.records_error) +
             ")");
    }
    return false;
}

MotionStop MachineSafety::AllAxes(const std::string& command) {
    return MotionStop(main_, watcher_, {command}, MotionStop::AllAxes(), true);
}

void MachineSafety::SwitchMotorsOff() {
    try {
        main_.CommandIfEnabledUntilTaken("MO");
    } catch (const std::exception& error) {
        std::cerr << "The main controller did not take \"MO\" at exit: " << error.what()
                  << std::endl;
    }
}

bool MachineSafety::SwitchHeatersOff() {
    if (!temperature_.IsOpen()) {
        return true;
    }
    bool cold = true;
    // Every command is sent even when one before it failed: each of them
    // alone may switch a heater off.
    for (const std::string& command : TemperatureConnection::HeatersOffCommands()) {
        try {
            temperature_.CommandUntilTaken(command);
        } catch (const std::exception& error) {
            Fail("the temperature controller did not take \"" + command + "\" (" +
                 std::string(error.what()) + "); its heaters may still be on");
            cold = false;
        }
    }
    return cold;
}

void MachineSafety::Fail(const std::string& text) {
    std::cerr << "Machine not safe at exit: " << text << std::endl;
    failures_.push_back(text);
}
