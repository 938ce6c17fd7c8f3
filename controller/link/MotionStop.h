// Stops motion of the main controller and judges from its records whether it
// came to a stand: the one stop-until-standing policy of the server, for the
// tasks' stops and for the stop at exit alike.
//
// A round sends every stop command once (each also when one before it
// failed), then judges from a record sampled after the stops: after a clock
// read ("MG TIME") when the controller answered the stops, else (a stop or
// the clock read unanswered) from a record that the record thread had to
// wait for after the stops were sent. A stop that the records show took
// effect is done; a second round follows only when they do not, and rounds
// go on until the bound has passed (at least two). Without records to judge
// by the stop ends at once with the verdict that nothing can tell.
#pragma once

#include "DataRecordWatcher.h"

#include <zenlib.h>

#include <chrono>
#include <exception>
#include <string>
#include <vector>

class MainConnection;

class MotionStop {
  public:
    enum class Verdict { kStanding, kMoving, kNoRecords };
    struct Outcome {
        Verdict verdict = Verdict::kNoRecords;
        // Standing: the record that shows it; moving: the last record judged.
        DataRecordWatcher::Record record;
        // The first error of a stop command or of the clock read.
        std::exception_ptr error;
        // No records: why there are none (the stream's error).
        std::exception_ptr records_error;
        // Every stop command of some round was taken.
        bool taken = false;
        int rounds = 0;
    };

    // How long the stops are tried again before the motion counts as not
    // stoppable: the time after which a silent record stream counts as lost.
    static constexpr std::chrono::milliseconds kBound = DataRecordWatcher::kStallLimit;
    // How long a round waits for the motion to stand after stops that the
    // controller took before it sends them again.
    static constexpr std::chrono::milliseconds kRoundWait{1000};
    static constexpr int kAxes = 5;

    // `commands` are sent in order on the main connection; `axes` (0 for A to
    // 4 for E) must stand, and the coordinated motion too when `coordinated`.
    MotionStop(MainConnection& main, DataRecordWatcher& watcher, std::vector<std::string> commands,
               std::vector<int> axes, bool coordinated);

    // Every axis and the coordinated motion.
    static std::vector<int> AllAxes() { return {0, 1, 2, 3, 4}; }

    Outcome Run();

    // `record` shows every axis of the stop standing.
    bool Standing(const ZDataRecord& record) const;
    // What of the stop `record` shows moving: "the coordinated motion",
    // "axis X", "axes X, Y" ...
    std::string MovingNames(const ZDataRecord& record) const;
    // The printer's name of a controller axis ("X", ..., "controller axis E").
    static const char* AxisName(int axis);
    // A command that only asks (a clock, a flag, positions) and sets nothing going.
    static bool OnlyAsks(const std::string& command);

  private:
    // Sends every stop command; the first error, if any. `unanswered` tells
    // whether a command got no answer (it may have been carried out).
    std::exception_ptr SendStops(bool& unanswered);
    // A record sampled after stops sent by `sent`; throws the stream's error
    // when there is none to be had. A failed clock read goes to `error`.
    DataRecordWatcher::Record RecordAfterStops(bool ask_clock,
                                               std::chrono::steady_clock::time_point sent,
                                               std::exception_ptr& error);
    // The controller's clock now, as a time of the main stream.
    ControllerTime ReadClock();
    // Waits up to kRoundWait for a record that shows the motion standing;
    // the last record seen otherwise.
    DataRecordWatcher::Record AwaitStanding(DataRecordWatcher::Record record);

    MainConnection& main_;
    DataRecordWatcher& watcher_;
    std::vector<std::string> commands_;
    std::vector<int> axes_;
    bool coordinated_;
};
