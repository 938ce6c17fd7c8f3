#include "T_Home.h"

#include "DataRecordWatcher.h"
#include "T_CENTER_ON_ZERO.h"
#include "T_LeaveLimitSwitch.h"
#include "T_SendToLimitSwitch.h"
#include "T_Wait_For_XY.h"

#include <boost/make_shared.hpp>

#include <utility>
#include <vector>

T_Home::T_Home(Parameters data) : Task("T_Home", std::move(data)) {
    std::vector<Pointer> steps;
    if (GetControllerAxis() == "C") {
        steps.push_back(boost::make_shared<T_Wait_For_XY>(data_));
        steps.push_back(boost::make_shared<T_CENTER_ON_ZERO>(data_));
    }
    steps.push_back(boost::make_shared<T_SendToLimitSwitch>(data_));
    steps.push_back(boost::make_shared<T_LeaveLimitSwitch>(data_));
    AddSubTasks(std::move(steps));
}

void T_Home::OnStart() {
    ServoHere();
    SetLimitDisable("1");
    SetHoming(true);
}

void T_Home::OnFinish() {
    DefinePosition(0);
    const std::string axis = GetControllerAxis();
    SendCommand("ZA" + axis + "=1");
    if (axis == "C") {
        SendCommand("DPE=0");
    }
    SetHoming(false);
}

void T_Home::OnCancel() {
    SetHoming(false);
}

void T_Home::OnPause() {
    SetHoming(false);
}

void T_Home::OnResume() {
    SetHoming(true);
}

void T_Home::FillStatus(nlohmann::json& json) {
    json["axis"] = GetAxis();
}

void T_Home::SetHoming(bool value) {
    DataRecordWatcher::GetInstance().SetHoming(GetControllerAxis(), value);
    UpdateUI(nlohmann::json{{"homing" + GetAxis(), value}});
}
