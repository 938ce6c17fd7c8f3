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
    std::atomic<uint16_t>* const cells[] = {&last_status_a_, &last_status_b_, &last_status_c_};
    const int index = (status_offset_ - kAxisBlockOffset) / kAxisBlockSize;
    AddDataRecordCondition<uint16_t>(status_offset_,
                                     index < 3 ? cells[index] : &last_status_other_);
}

bool T_MotionComplete::HasStopped() const {
    // One record for both bits; before the first record the axis counts as standing.
    const DataRecordWatcher::Record record = DataRecordWatcher::GetInstance().GetRecord();
    if (!record) {
        return true;
    }
    const uint16_t status = ReadRecordField<uint16_t>(*record, status_offset_);
    if ((status & (1u << kMovingBit)) == 0) {
        return true;
    }
    return has_polarity_ && ((status & (1u << kNegativeBit)) != 0) != negative_;
}
