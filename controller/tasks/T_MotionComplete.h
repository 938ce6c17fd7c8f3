// Waits until one axis has stopped, or (with "polarity") until it no longer
// moves in the direction named.
#pragma once

#include "Task.h"

#include <atomic>
#include <cstdint>

class T_MotionComplete : public Task {
  public:
    // Parameters: "axis" (X, Y, Z, E or a controller letter A to E);
    // optional "polarity" ("Neg" waits for the end of a negative move).
    explicit T_MotionComplete(Parameters data);

    // Watches the axis's status word, so each change brings a fresh look.
    void OnStart() override;

  private:
    // The axis stands, or moves opposite to the direction named.
    bool HasStopped() const;

    // Byte offset of the axis's status word in the main record.
    int status_offset_;
    bool has_polarity_ = false;
    // The direction waited for is the negative one.
    bool negative_ = false;
    // Last status word seen by the watch of axis A, B or C (record thread).
    std::atomic<uint16_t> last_status_a_{0};
    std::atomic<uint16_t> last_status_b_{0};
    std::atomic<uint16_t> last_status_c_{0};
    // Last status word seen for axis D or E.
    std::atomic<uint16_t> last_status_other_{0};
};
