// A controller time that a task sets on the worker thread (its commands were
// answered by then) and that its watches test on a record thread: the one
// "sampled after" rule of every task, in one place.
#pragma once

#include "ControllerTime.h"

#include <mutex>
#include <optional>

class TimeMark {
  public:
    // Records at times after `time` are judged from now on.
    void Set(const ControllerTime& time);
    // Nothing is judged until the next Set (the task's own stop, a pause).
    void Clear();
    bool IsSet() const;
    // The mark is set and `time` (a record's) is after it.
    bool IsPassedBy(const ControllerTime& time) const;

  private:
    mutable std::mutex mutex_;
    std::optional<ControllerTime> mark_;
};
