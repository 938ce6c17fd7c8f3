#include "LimitSwitchTask.h"

#include "AxisStopper.h"
#include "DataRecordWatcher.h"
#include "RecordFields.h"

#include <utility>

namespace {

constexpr int kSwitchBit = 2;
constexpr uint16_t kMovingBit = 1u << 15;

}  // namespace

LimitSwitchTask::LimitSwitchTask(std::string name, Parameters data, bool goal)
    : Task(std::move(name), std::move(data)), goal_(goal) {
    switch_offset_ = static_cast<uint32_t>(GetAxisSwitchOffset());
    status_offset_ = static_cast<uint32_t>(GetAxisStatusOffset());
    AddCompletionCondition([this] { return Reached(); });
}

bool LimitSwitchTask::Reached() const {
    const auto record = DataRecordWatcher::GetInstance().GetRecord();
    if (!record) {
        return false;
    }
    const bool bit = ((ReadRecordField<uint8_t>(*record, switch_offset_) >> kSwitchBit) & 1u) != 0;
    const bool moving = (ReadRecordField<uint16_t>(*record, status_offset_) & kMovingBit) != 0;
    return bit == goal_ && !moving;
}

bool LimitSwitchTask::StoppedShort(const ZDataRecord& record, const ControllerTime& time) const {
    if (!begun_at_.IsPassedBy(time)) {
        return false;
    }
    const bool bit = ((ReadRecordField<uint8_t>(record, switch_offset_) >> kSwitchBit) & 1u) != 0;
    const bool moving = (ReadRecordField<uint16_t>(record, status_offset_) & kMovingBit) != 0;
    return bit != goal_ && !moving;
}

std::string LimitSwitchTask::StoppedShortReason() {
    return "Axis " + GetAxis() +
           (goal_ ? " stopped before leaving its limit switch"
                  : " stopped short of its limit switch");
}

bool LimitSwitchTask::SwitchBitSet() const {
    const auto record = DataRecordWatcher::GetInstance().GetRecord();
    return record && ((ReadRecordField<uint8_t>(*record, switch_offset_) >> kSwitchBit) & 1u) != 0;
}

void LimitSwitchTask::OnStart() {
    AddDataRecordCondition<uint8_t>(static_cast<int>(switch_offset_), &last_switches_);
    AddDataRecordCondition<uint16_t>(static_cast<int>(status_offset_), &last_status_);
    AddTimedWatch([this](const ZDataRecord& record, const ControllerTime& time) {
        return StoppedShort(record, time);
    });
    Jog();
}

void LimitSwitchTask::OnCancel() {
    begun_at_.Clear();
    StopJog();
}

void LimitSwitchTask::OnPause() {
    begun_at_.Clear();
    StopJog();
}

void LimitSwitchTask::StopJog() {
    AxisStopper::ForAxis(*this, GetControllerAxis()).Stop();
}

void LimitSwitchTask::OnUpdate() {
    const auto latest = DataRecordWatcher::GetInstance().GetTimedRecord();
    if (latest.record && StoppedShort(*latest.record, latest.time)) {
        // As a failed step: the homing (or the probe's point) ends with the
        // reason, and so does what waits for it.
        FailStep(StoppedShortReason());
    }
}

void LimitSwitchTask::OnResume() {
    Jog();
}

void LimitSwitchTask::Jog() {
    begun_at_.Clear();
    SetJogSpeed(JogSpeed());
    BeginMotion();
    // Records sampled before this read may not show the jog yet: a standing
    // axis in them says nothing about who stopped it.
    begun_at_.Set(ReadControllerTime());
}
