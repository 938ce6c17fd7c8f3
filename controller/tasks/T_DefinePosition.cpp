#include "T_DefinePosition.h"

#include <cstdint>
#include <utility>

T_DefinePosition::T_DefinePosition(Parameters data)
    : SingleCommandTask("T_DefinePosition", std::move(data)) {}

void T_DefinePosition::SendOneCommand() {
    DefinePosition(GetProperty<int32_t>("value"));
}
