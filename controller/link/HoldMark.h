// What a task held by the user (paused, or at its breakpoint) remembers of
// the main controller: the time of the latest record and the axes whose
// positions it showed trusted. At the resume it tells whether the controller
// restarted meanwhile, and with it lost the positions the task would go on
// from.
#pragma once

#include "ControllerTime.h"

#include <zenlib.h>

#include <cstdint>

class HoldMark {
  public:
    // The main controller as its latest record shows it now.
    void Take();
    // The main stream failed (or was found lost) since Take and was opened
    // again: records of another stream of controller time have come in, and
    // the controller may have restarted in between.
    bool StreamChanged() const;
    // The controller restarted since Take, judged at `now`, a clock read on
    // the current stream: its clock stands before where it stood then, or an
    // axis whose position was trusted then is not any more. A stream cut
    // while the controller ran on shows neither.
    bool Restarted(const ControllerTime& now) const;

  private:
    // Bit per controller axis A to E whose position `record` shows trusted;
    // none without a record.
    static uint8_t TrustedAxes(const ZDataRecord* record);

    ControllerTime time_;
    uint8_t trusted_ = 0;
};
