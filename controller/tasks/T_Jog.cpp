#include "T_Jog.h"

#include "DataRecordWatcher.h"

#include <utility>

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
    SetJogSpeed(GetSpeed());
    // A jogging axis takes the new speed at once; a standing one needs a start.
    if (!AxisJogging()) {
        StopAxis();
        ServoHere();
        BeginMotion();
    }
}

void T_Jog::OnStart() {
    jogging_ = false;
    axis_ = GetControllerAxis();
    AddWatch([this](ZDataRecord*) { return jogging_.load() != AxisJogging(); });
    Jog();
    Publish(true);
}

void T_Jog::OnUpdate() {
    if (AxisJogging()) {
        jogging_ = true;
    }
}

void T_Jog::OnCancel() {
    Publish(false);
    StopAxis();
}

void T_Jog::OnFinish() {
    Publish(false);
}

void T_Jog::OnPause() {
    jogging_ = false;
    Publish(false);
    StopAxis();
}

void T_Jog::OnResume() {
    jogging_ = false;
    Publish(true);
    Jog();
}

void T_Jog::FillStatus(nlohmann::json& json) {
    json["axis"] = GetAxis();
}
