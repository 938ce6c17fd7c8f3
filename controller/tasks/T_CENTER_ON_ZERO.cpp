#include "T_CENTER_ON_ZERO.h"

#include "DataRecordWatcher.h"
#include "RecordFields.h"

#include <chrono>
#include <thread>

#include <utility>

namespace {

constexpr int kAReferenceOffset = 86;
constexpr int kBReferenceOffset = 122;
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
    SendCommand("LD 3,3,3,3,3");
    SendCommand("SP 10000,10000");
    SendCommand("ST ABCE");
    std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
    SendCommand("PT 1,1");
    SendCommand("PA 0,0");
}

void T_CENTER_ON_ZERO::OnFinish() {
    SendCommand("STAB");
    SendCommand("PT 0,0");
}

void T_CENTER_ON_ZERO::OnCancel() {
    SendCommand("ST AB");
}
