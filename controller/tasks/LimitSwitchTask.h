// What the two switch jogs of homing share: the axis's switch and status
// watches, the jog that starts, pauses, resumes and cancels, the test that
// the switch bit has reached its goal with the axis standing, and the failure
// of a jog that someone else stopped short of it.
#pragma once

#include "Task.h"
#include "TimeMark.h"

#include <atomic>
#include <cstdint>
#include <string>

class LimitSwitchTask : public Task {
  public:
    // Throws "Invalid axis detected" for an axis other than A, B or C.
    // The task completes once bit 2 of the axis's switches equals `goal`
    // and the axis stands.
    LimitSwitchTask(std::string name, Parameters data, bool goal);

    // Watches the switches and the status word, then jogs.
    void OnStart() override;
    // Stops the axis.
    void OnPause() override;
    // Stops the jog of a running task.
    void OnCancel() override;
    // Jogs again; the watches stay registered.
    void OnResume() override;
    // Fails the task (and so its homing or probe) once the axis stands with
    // the switch away from its goal: nothing would move it on.
    void OnUpdate() override;

  protected:
    // The "JG" value of this jog.
    virtual std::string JogSpeed() = 0;
    // Bit 2 of the axis's switches in the latest main record; false before
    // the first record.
    bool SwitchBitSet() const;

  private:
    // Jog speed, then "BG", then the controller's time, from which on the
    // records show the jog.
    void Jog();
    // Stops the axis until the records show it standing.
    void StopJog();
    // `record`, at `time`, was sampled after this task's latest begin and
    // shows the axis standing with the switch away from its goal: a stop from
    // elsewhere (the user's, a controller's) ended the jog. Evaluated on the
    // record thread.
    bool StoppedShort(const ZDataRecord& record, const ControllerTime& time) const;
    // "Axis Z stopped short of its limit switch" and the like.
    std::string StoppedShortReason();

    // True once the latest record shows the switch bit at `goal_` and the
    // axis standing; false before the first record, so homing without a
    // record stream waits instead of zeroing a position never reached.
    bool Reached() const;

    // Byte offsets of the axis's switch byte and status word.
    uint32_t switch_offset_;
    uint32_t status_offset_;
    // Last seen values, written by the record thread.
    std::atomic<uint8_t> last_switches_{0};
    std::atomic<uint16_t> last_status_{0};
    // The switch bit that ends the jog.
    bool goal_;
    // The jog runs, begun at this controller time; cleared before this
    // task's own stops, which are no reason to fail.
    TimeMark begun_at_;
};
