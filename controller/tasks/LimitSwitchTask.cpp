#include "LimitSwitchTask.h"

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

bool LimitSwitchTask::SwitchBitSet() const {
    const auto record = DataRecordWatcher::GetInstance().GetRecord();
    return record && ((ReadRecordField<uint8_t>(*record, switch_offset_) >> kSwitchBit) & 1u) != 0;
}

void LimitSwitchTask::OnStart() {
    AddDataRecordCondition<uint8_t>(static_cast<int>(switch_offset_), &last_switches_);
    AddDataRecordCondition<uint16_t>(static_cast<int>(status_offset_), &last_status_);
    Jog();
}

void LimitSwitchTask::OnCancel() {
    StopAxis();
}

void LimitSwitchTask::OnPause() {
    StopAxis();
}

void LimitSwitchTask::OnResume() {
    Jog();
}

void LimitSwitchTask::Jog() {
    SetJogSpeed(JogSpeed());
    BeginMotion();
}
