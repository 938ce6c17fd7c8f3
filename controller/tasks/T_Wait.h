// A dwell timed by the main controller's clock: done once more than "ms"
// samples (one sample is one millisecond) have passed since it started.
#pragma once

#include "Task.h"
#include "TimeMark.h"

#include <cstdint>
#include <string>

class T_Wait : public Task {
  public:
    // Parameters: "ms" (unsigned int), the dwell in milliseconds.
    explicit T_Wait(Parameters data);
    // A dwell of `ms` milliseconds without parameters, as a program's dwell
    // lines make it (a program may hold many).
    explicit T_Wait(uint32_t ms);

    // Reads the controller's clock ("MG TIME") and watches the records until
    // one is stamped more than "ms" samples after it.
    void OnStart() override;

    // The dwell in milliseconds.
    uint32_t Milliseconds();

    // More than "ms" samples have passed since the clock was read: the
    // latest main record is after the dwell's end.
    bool IsElapsed() const;

  private:
    // The clock read plus "ms": records after it end the dwell. Set by
    // OnStart; until then the dwell cannot be complete.
    TimeMark end_;
    // "ms", read once on the worker so the record thread never touches the JSON.
    uint32_t ms_ = 0;
    // Given at construction rather than as "ms".
    bool ms_given_ = false;
};
