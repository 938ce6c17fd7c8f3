#include "MachineSafety.h"

#include "ControllerClock.h"
#include "DataRecordWatcher.h"
#include "MainConnection.h"
#include "RecordFields.h"
#include "TemperatureConnection.h"
#include "VrxException.h"

#include <iostream>
#include <thread>

namespace {

constexpr int kAxes = 5;
constexpr uint16_t kMovingBit = 1u << 15;
// Between two looks at the records while the axes come to a stand.
constexpr std::chrono::milliseconds kStandPoll{20};

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
    std::string failure;
    bool stands = false;
    for (int stop = 1; stop <= kMaxStops && !stands; ++stop) {
        try {
            main_.CommandIfEnabledUntilTaken("ST");
        } catch (const std::exception& error) {
            failure = "did not take \"ST\" (" + std::string(error.what()) + ")";
            break;
        }
        stands = MotionAfterStop() != Motion::kMoving;
        if (!stands && stop == kMaxStops) {
            failure = "still moved after " + std::to_string(kMaxStops) + " stops";
        }
    }
    // Sent whatever the stops did: motors switched off do not drive the axes.
    bool motors_off = true;
    try {
        main_.CommandIfEnabledUntilTaken("MO");
    } catch (const std::exception& error) {
        std::cerr << "The main controller did not take \"MO\" at exit: " << error.what()
                  << std::endl;
        motors_off = false;
    }
    if (!stands && motors_off) {
        stands = MotionAfterStop() != Motion::kMoving;
    }
    if (!stands) {
        Fail("the main controller " + failure + "; its axes may still move");
    }
    return stands;
}

MachineSafety::Motion MachineSafety::MotionAfterStop() {
    if (!watcher_.GetRecord() || watcher_.MainStreamFailed()) {
        // No main stream: the stop that the controller took has to do.
        return Motion::kUnknown;
    }
    const auto give_up = std::chrono::steady_clock::now() + DataRecordWatcher::kStallLimit;
    for (;;) {
        DataRecordWatcher::Record record;
        try {
            const ControllerClock::Reading now = ControllerClock::Read(
                watcher_,
                [this](const std::string& text) { return main_.CommandUntilTaken(text); });
            record = watcher_.RecordAfter(now.time).record;
        } catch (const std::exception& error) {
            std::cerr << "No main record shows the axes at exit; the stop taken has to do: "
                      << error.what() << std::endl;
            return Motion::kUnknown;
        }
        if (Stands(*record)) {
            return Motion::kStanding;
        }
        if (std::chrono::steady_clock::now() >= give_up) {
            return Motion::kMoving;
        }
        std::this_thread::sleep_for(kStandPoll);
    }
}

bool MachineSafety::Stands(const ZDataRecord& record) {
    if ((CoordinatedStatus(record) & kMovingBit) != 0) {
        return false;
    }
    for (int axis = 0; axis < kAxes; ++axis) {
        if ((AxisStatus(record, axis) & kMovingBit) != 0) {
            return false;
        }
    }
    return true;
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
