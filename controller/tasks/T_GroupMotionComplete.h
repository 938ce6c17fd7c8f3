// Waits until every axis of a list has stopped: one parallel motion wait per
// axis. Given the positions the axes were sent to, it also tells a motion
// that someone stopped on the way.
#pragma once

#include "Task.h"
#include "TimeMark.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class T_GroupMotionComplete : public Task {
  public:
    // Parameters: "axes", the axis letters ("XYZ"); empty means nothing to
    // wait for. Optional "target": one reference position in counts per
    // letter, where the axes were sent.
    explicit T_GroupMotionComplete(Parameters data);

    // With a target: watches for the axes standing away from it.
    void OnStart() override;
    // Fails the group (and so the task that moved the axes) once they
    // stand away from the target: nothing would take them there.
    void OnUpdate() override;
    // Stops judging: the axes are stopped on purpose.
    void OnPause() override;
    // Judges again, from records that show the move sent on resume.
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
    // Every target axis is at its position (true without a target).
    bool Arrived() const;
    // Every target axis stands in `record`, taken at `time`, one of them away
    // from its position.
    bool StoodAway(const ZDataRecord& record, const ControllerTime& time) const;
    // "Axis X stopped at 3000, short of its target 8000" for the first one away.
    std::string StoodAwayReason(const ZDataRecord& record) const;

    // Fixed in the constructor; read by the record thread's watch.
    std::vector<Target> targets_;
    // False while paused; after a resume only records sampled after
    // `resumed_at_` are judged.
    std::atomic<bool> judging_{true};
    TimeMark resumed_at_;
};
