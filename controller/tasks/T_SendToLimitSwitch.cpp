#include "T_SendToLimitSwitch.h"

#include <utility>

T_SendToLimitSwitch::T_SendToLimitSwitch(Parameters data)
    : LimitSwitchTask("T_SendToLimitSwitch", std::move(data), false) {}

std::string T_SendToLimitSwitch::JogSpeed() {
    return GetControllerAxis() == "C" ? "-8000" : "-2000";
}
