#include "T_CENTER_ON_ZERO.h"

#include "AxisStopper.h"
#include "DataRecordWatcher.h"
#include "RecordFields.h"
#include "T_GroupMotionComplete.h"

#include <chrono>
#include <string>
#include <thread>

#include <utility>

namespace {

constexpr int kAReferenceOffset = 86;
constexpr int kBReferenceOffset = 122;
constexpr uint16_t kMovingBit = 1u << 15;
// The controller needs the stop to settle before tracking takes over.
constexpr int kSettleMs = 1000;

}  // namespace

T_CENTER_ON_ZERO::T_CENTER_ON_ZERO(Parameters data) : Task("T_CENTER_ON_ZERO", std::move(data)) {
    AddCompletionCondition([] { return Centred(); });
}

bool T_CENTER_ON_ZERO::Centred() {
    const auto record = DataRecordWatcher::GetInstance().GetRecord();
    return record && ReadRecordField<int32_t>(*record, kAReferenceOffset) == 0 &&
           ReadRecordField<int32_t>(*record, kBReferenceOffset) == 0;
}

void T_CENTER_ON_ZERO::OnStart() {
    AddDataRecordCondition<int32_t>(kAReferenceOffset, &last_a_reference_);
    AddDataRecordCondition<int32_t>(kBReferenceOffset, &last_b_reference_);
    AddTimedWatch([this](const ZDataRecord& record, const ControllerTime& time) {
        return StoppedShort(record, time);
    });
    SendCommand("LD 3,3,3,3,3");
    SendCommand("SP 10000,10000");
    SendCommand("ST ABCE");
    std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
    SendCommand("PT 1,1");
    SendCommand("PA 0,0");
    centring_sent_at_.Set(ReadControllerTime());
}

bool T_CENTER_ON_ZERO::StoppedShort(const ZDataRecord& record, const ControllerTime& time) const {
    if (!centring_sent_at_.IsPassedBy(time)) {
        return false;
    }
    for (const int axis : {0, 1}) {
        if ((AxisStatus(record, axis) & kMovingBit) != 0) {
            return false;
        }
    }
    return AxisReferencePosition(record, 0) != 0 || AxisReferencePosition(record, 1) != 0;
}

std::string T_CENTER_ON_ZERO::StoppedShortReason(const ZDataRecord& record) {
    const int axis = AxisReferencePosition(record, 0) != 0 ? 0 : 1;
    return T_GroupMotionComplete::StoppedShortReason(axis == 0 ? 'X' : 'Y',
                                                     AxisReferencePosition(record, axis), 0);
}

void T_CENTER_ON_ZERO::OnUpdate() {
    const auto latest = DataRecordWatcher::GetInstance().GetTimedRecord();
    if (latest.record && StoppedShort(*latest.record, latest.time)) {
        FailStep(StoppedShortReason(*latest.record));
    }
}

void T_CENTER_ON_ZERO::OnFinish() {
    SendCommand("STAB");
    SendCommand("PT 0,0");
}

void T_CENTER_ON_ZERO::OnCancel() {
    centring_sent_at_.Clear();
    StopXY();
}

void T_CENTER_ON_ZERO::OnPause() {
    // A stop of its own is no reason to fail the homing.
    centring_sent_at_.Clear();
    StopXY();
}

void T_CENTER_ON_ZERO::OnResume() {
    // Position tracking takes up again from where the pause stopped X and Y.
    SendCommand("PT 1,1");
    SendCommand("PA 0,0");
    centring_sent_at_.Set(ReadControllerTime());
}

void T_CENTER_ON_ZERO::StopXY() {
    AxisStopper(*this, {"ST AB"}, {0, 1}, false).Stop();
}
