#include "T_Jog.h"

#include "AxisStopper.h"
#include "DataRecordWatcher.h"
#include "RecordFields.h"

#include <iostream>
#include <utility>

namespace {

// Controller samples (milliseconds) within which a begun jog must show in
// the records; an axis held at its limit never does.
constexpr int64_t kStartSamples = 1000;

}  // namespace

T_Jog::T_Jog(Parameters data) : Task("T_Jog", std::move(data)) {
    // Short-circuits before the start, when `axis_` is still unknown.
    AddCompletionCondition([this] { return jogging_.load() && !AxisJogging(); });
}

bool T_Jog::AxisJogging() const {
    return DataRecordWatcher::GetInstance().IsJogging(axis_);
}

std::string T_Jog::GetJogKey() {
    return "jog" + GetPolarity() + GetAxis();
}

std::string T_Jog::GetPolarity() {
    return GetProperty<std::string>("polarity");
}

std::string T_Jog::GetSpeed() {
    return GetProperty<std::string>("speed");
}

void T_Jog::Publish(bool value) {
    UpdateUI(nlohmann::json{{GetJogKey(), value}});
}

void T_Jog::Jog() {
    start_deadline_.Clear();
    SetJogSpeed(GetSpeed());
    // Only a record that shows the commands sent so far tells whether the axis
    // jogs: an older one may predate the stop of the jog this one replaces.
    ControllerTime begun_at = TimedRecordAfterCommands().time;
    // A jogging axis takes the new speed at once; a standing one needs a start.
    if (!AxisJogging()) {
        StopAxis();
        ServoHere();
        BeginMotion();
        // The deadline counts from the begin: slow replies must not eat it up.
        begun_at = ReadControllerTime();
    }
    start_deadline_.Set(begun_at.Plus(kStartSamples));
}

bool T_Jog::StartMissed(const ControllerTime& time) const {
    return !jogging_.load() && start_deadline_.IsPassedBy(time);
}

void T_Jog::OnStart() {
    jogging_ = false;
    axis_ = GetControllerAxis();
    AddTimedWatch([this](const ZDataRecord&, const ControllerTime& time) {
        return jogging_.load() != AxisJogging() || StartMissed(time);
    });
    Jog();
    Publish(true);
}

void T_Jog::OnUpdate() {
    if (AxisJogging()) {
        jogging_ = true;
        return;
    }
    const auto latest = DataRecordWatcher::GetInstance().GetTimedRecord();
    if (latest.record && StartMissed(latest.time)) {
        // The axis stays where it is, as at the end of a jog that ran into
        // a limit: the jog is over, and what was queued after it may run.
        std::cerr << "Jog of axis " << GetAxis() << " ended: the axis did not start moving"
                  << std::endl;
        Finish();
    }
}

void T_Jog::OnCancel() {
    Publish(false);
    StopJog();
}

void T_Jog::StopJog() {
    // A start that failed before it fixed the axis still stops the one it names.
    const std::string axis = axis_.empty() ? GetControllerAxis() : axis_;
    AxisStopper::ForAxis(*this, axis).Stop();
}

void T_Jog::OnFinish() {
    Publish(false);
}

void T_Jog::OnPause() {
    start_deadline_.Clear();
    jogging_ = false;
    Publish(false);
    StopJog();
}

void T_Jog::OnResume() {
    jogging_ = false;
    Publish(true);
    Jog();
}

void T_Jog::FillStatus(nlohmann::json& json) {
    json["axis"] = GetAxis();
}
