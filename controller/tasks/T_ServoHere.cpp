#include "T_ServoHere.h"

#include <cstdint>
#include <utility>

T_ServoHere::T_ServoHere(Parameters data) : SingleCommandTask("T_ServoHere", std::move(data)) {}

void T_ServoHere::SendOneCommand() {
    ServoHere();
}
