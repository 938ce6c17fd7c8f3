// Waits until every axis of a list has stopped: one parallel motion wait per
// axis. Given the positions the axes were sent to, it also tells a motion
// that someone stopped on the way.
#pragma once

#include "Task.h"
#include "TimeMark.h"

#include <cstdint>
#include <string>
#include <vector>

class T_GroupMotionComplete : public Task {
  public:
    // Parameters: "axes", the axis letters ("XYZ"); empty means nothing to
    // wait for. Optional "target": one reference position in counts per
    // letter, where the axes were sent.
    explicit T_GroupMotionComplete(Parameters data);

    // With a target: reads the controller's clock and watches the records
    // sampled after it for the axes standing, at the target or away from it.
    void OnStart() override;
    // Fails the group (and so the task that moved the axes) once they
    // stand away from the target: nothing would take them there.
    void OnUpdate() override;
    // Judges nothing while paused: the axes are stopped on purpose.
    void OnPause() override;
    // Reads the clock again: judges from records that show the move sent on
    // by the resume.
    void OnResume() override;

    // "Axis X stopped at 3000, short of its target 8000": the reason of a
    // motion stopped on its way, also for other tasks that send axes somewhere.
    static std::string StoppedShortReason(char letter, int32_t position, int32_t target);

  private:
    // One axis that has a target.
    struct Target {
        char letter;
        int index;  // controller axis 0 (A) to 4 (E)
        int32_t position;
    };
    // The latest record, sampled after `since_`, shows every target axis at
    // its position (true without a target).
    bool Arrived() const;
    // `record`, taken at `time` after `since_`, shows every target axis standing.
    bool Stood(const ZDataRecord& record, const ControllerTime& time) const;
    // The same, one of them away from its position.
    bool StoodAway(const ZDataRecord& record, const ControllerTime& time) const;
    // "Axis X stopped at 3000, short of its target 8000" for the first one away.
    std::string StoodAwayReason(const ZDataRecord& record) const;

    // Fixed in the constructor; read by the record thread's watch.
    std::vector<Target> targets_;
    // The clock read at the start or the latest resume: the axes were sent
    // toward the target before it. Cleared while paused.
    TimeMark since_;
};
