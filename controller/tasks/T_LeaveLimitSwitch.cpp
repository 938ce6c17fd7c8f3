#include "T_LeaveLimitSwitch.h"

#include <utility>

T_LeaveLimitSwitch::T_LeaveLimitSwitch(Parameters data)
    : LimitSwitchTask("T_LeaveLimitSwitch", std::move(data), true) {}

void T_LeaveLimitSwitch::OnUpdate() {
    LimitSwitchTask::OnUpdate();
    // Sent on every update until the axis stands: a stop that arrives while
    // the axis decelerates does no harm. The switch read 1 by then, so this
    // stop reaches the goal rather than falling short of it.
    if (IsActive() && SwitchBitSet()) {
        StopAxis();
    }
}

std::string T_LeaveLimitSwitch::JogSpeed() {
    return "800";
}
