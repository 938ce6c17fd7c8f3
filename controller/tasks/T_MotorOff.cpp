#include "T_MotorOff.h"

#include <cstdint>
#include <utility>

T_MotorOff::T_MotorOff(Parameters data) : SingleCommandTask("T_MotorOff", std::move(data)) {}

void T_MotorOff::SendOneCommand() {
    MotorOff();
}
