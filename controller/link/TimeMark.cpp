#include "TimeMark.h"

void TimeMark::Set(const ControllerTime& time) {
    std::lock_guard<std::mutex> lock(mutex_);
    mark_ = time;
}

void TimeMark::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    mark_.reset();
}

bool TimeMark::IsSet() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mark_.has_value();
}

bool TimeMark::IsPassedBy(const ControllerTime& time) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mark_ && time.IsAfter(*mark_);
}
