#include "HoldMark.h"

#include "DataRecordWatcher.h"
#include "RecordFields.h"

#include <optional>

namespace {

constexpr int kAxes = 5;

}  // namespace

void HoldMark::Take() {
    const DataRecordWatcher::TimedRecord latest = DataRecordWatcher::GetInstance().GetTimedRecord();
    time_ = latest.time;
    trusted_ = TrustedAxes(latest.record.get());
}

bool HoldMark::StreamChanged() const {
    return DataRecordWatcher::GetInstance().Now().Stream() != time_.Stream();
}

bool HoldMark::Restarted(const ControllerTime& now) const {
    const DataRecordWatcher& watcher = DataRecordWatcher::GetInstance();
    // Each clock is known once a clock read tied its stream to it; a
    // controller that runs on never goes back.
    const std::optional<int64_t> then = watcher.ClockAt(time_);
    const std::optional<int64_t> clock = watcher.ClockAt(now);
    if (then && clock && *clock < *then) {
        return true;
    }
    // Only a restart forgets a position once trusted (the "ZA" value).
    return (trusted_ & ~TrustedAxes(watcher.GetRecord().get())) != 0;
}

uint8_t HoldMark::TrustedAxes(const ZDataRecord* record) {
    uint8_t trusted = 0;
    if (record == nullptr) {
        return trusted;
    }
    for (int axis = 0; axis < kAxes; ++axis) {
        if (AxisPositionTrusted(*record, axis) == 1) {
            trusted |= static_cast<uint8_t>(1u << axis);
        }
    }
    return trusted;
}
