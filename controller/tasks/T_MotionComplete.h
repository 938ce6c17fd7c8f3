// Waits until one axis has stopped, or (with "polarity") until it no longer
// moves in the direction named.
#pragma once

#include "Task.h"
#include "TimeMark.h"

#include <cstdint>

class T_MotionComplete : public Task {
  public:
    // Parameters: "axis" (X, Y, Z, E or a controller letter A to E);
    // optional "polarity" ("Neg" waits for the end of a negative move).
    explicit T_MotionComplete(Parameters data);

    // Reads the controller's clock and watches the records sampled after it.
    void OnStart() override;
    // Judges nothing while paused: the pause's own stop is not the end of
    // the move waited for.
    void OnPause() override;
    // Reads the clock again: the move sent on again by the resume must show
    // in the records before a standing axis counts.
    void OnResume() override;

  private:
    // The axis stands, or moves opposite to the direction named, in `record`.
    bool Stopped(const ZDataRecord& record) const;
    // The latest record is sampled after `since_` and shows the axis stopped;
    // true before the first record.
    bool HasStopped() const;

    // Byte offset of the axis's status word in the main record.
    int status_offset_;
    bool has_polarity_ = false;
    // The direction waited for is the negative one.
    bool negative_ = false;
    // The clock read at the start or the latest resume; cleared while paused.
    TimeMark since_;
};
