#include "T_MotionComplete.h"

#include "DataRecordWatcher.h"
#include "RecordFields.h"

#include <string>
#include <utility>

namespace {

constexpr int kMovingBit = 15;
constexpr int kNegativeBit = 7;

// Index of a controller axis letter A to E; -1 for anything else.
int AxisIndex(const std::string& axis) {
    if (axis.size() == 1 && axis[0] >= 'A' && axis[0] <= 'E') {
        return axis[0] - 'A';
    }
    return -1;
}

}  // namespace

T_MotionComplete::T_MotionComplete(Parameters data) : Task("T_MotionComplete", std::move(data)) {
    // D and E have status words of their own; an unknown letter falls back to A.
    const int index = AxisIndex(GetControllerAxis());
    status_offset_ = kAxisBlockOffset + (index < 0 ? 0 : index) * kAxisBlockSize;
    if (HasProperty("polarity")) {
        has_polarity_ = true;
        negative_ = GetProperty<std::string>("polarity") == "Neg";
    }
    AddCompletionCondition([this] { return HasStopped(); });
}

void T_MotionComplete::OnStart() {
    // A record taken before the commands that moved the axis may show it
    // standing where it stood before: only later ones count. The watch holds
    // for every later record that shows the axis stopped, so an axis that
    // stood all along, or stopped during a busy pass of the worker, still
    // ends the wait.
    AddTimedWatch([this](const ZDataRecord& record, const ControllerTime& time) {
        return since_.IsPassedBy(time) && Stopped(record);
    });
    since_.Set(ReadControllerTime());
}

void T_MotionComplete::OnPause() {
    since_.Clear();
}

void T_MotionComplete::OnResume() {
    since_.Set(ReadControllerTime());
}

bool T_MotionComplete::Stopped(const ZDataRecord& record) const {
    const uint16_t status = ReadRecordField<uint16_t>(record, status_offset_);
    if ((status & (1u << kMovingBit)) == 0) {
        return true;
    }
    return has_polarity_ && ((status & (1u << kNegativeBit)) != 0) != negative_;
}

bool T_MotionComplete::HasStopped() const {
    const auto latest = DataRecordWatcher::GetInstance().GetTimedRecord();
    // Without records nothing moves that the server could see.
    if (!latest.record) {
        return true;
    }
    return since_.IsPassedBy(latest.time) && Stopped(*latest.record);
}
