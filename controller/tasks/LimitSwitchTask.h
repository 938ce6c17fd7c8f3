// What the two switch jogs of homing share: the axis's switch and status
// watches, the jog that starts, pauses, resumes and cancels, and the test
// that the switch bit has reached its goal with the axis standing.
#pragma once

#include "Task.h"

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

  protected:
    // The "JG" value of this jog.
    virtual std::string JogSpeed() = 0;
    // Bit 2 of the axis's switches in the latest main record; false before
    // the first record.
    bool SwitchBitSet() const;

  private:
    // Jog speed, then "BG".
    void Jog();

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
};
