// A task's watch on a data-record stream.
#pragma once

#include "ControllerTime.h"

#include <zenlib.h>

#include <cstdint>
#include <functional>

struct RecordCondition {
    uint32_t task_id_;
    // True when the task is to be looked at again.
    std::function<bool(ZDataRecord*)> condition_;
    // The same, also given the time the watcher stamped on the record; used
    // instead of condition_ when set.
    std::function<bool(const ZDataRecord&, const ControllerTime&)> timed_condition_;
};
