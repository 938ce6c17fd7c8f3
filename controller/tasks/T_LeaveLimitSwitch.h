// Jogs an axis slowly in the positive direction until its home switch
// reads 1 again, stops it there and waits until it stands.
#pragma once

#include "LimitSwitchTask.h"

class T_LeaveLimitSwitch : public LimitSwitchTask {
  public:
    // Parameters: "axis" (X, Y, Z or A, B, C); any other axis throws.
    explicit T_LeaveLimitSwitch(Parameters data);

    // Stops the axis as soon as the switch has been left; fails as any
    // switch jog does when stopped before.
    void OnUpdate() override;

  protected:
    std::string JogSpeed() override;
};
