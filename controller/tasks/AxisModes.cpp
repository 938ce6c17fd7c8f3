#include "AxisModes.h"

AxisModes& AxisModes::GetInstance() {
    static AxisModes instance;
    return instance;
}

void AxisModes::SetAbsoluteAxisSource(AbsoluteAxisSource source) {
    boost::mutex::scoped_lock lock(mutex_);
    source_ = std::move(source);
}

bool AxisModes::IsAbsoluteAxis(const std::string& axis) {
    boost::mutex::scoped_lock lock(mutex_);
    if (source_) {
        return source_(axis);
    }
    return axis == "X" || axis == "Y" || axis == "Z";
}
