// A task's watch on a data-record stream.
#pragma once

#include <zenlib.h>

#include <cstdint>
#include <functional>

struct RecordCondition {
    uint32_t task_id_;
    // True when the task is to be looked at again.
    std::function<bool(ZDataRecord*)> condition_;
};
