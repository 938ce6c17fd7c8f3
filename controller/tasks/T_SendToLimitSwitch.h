// Jogs an axis in the negative direction until its home switch reads 0
// and the axis stands.
#pragma once

#include "LimitSwitchTask.h"

class T_SendToLimitSwitch : public LimitSwitchTask {
  public:
    // Parameters: "axis" (X, Y, Z or A, B, C); any other axis throws.
    explicit T_SendToLimitSwitch(Parameters data);

  protected:
    // Z runs faster: its lead screw needs more counts per millimetre.
    std::string JogSpeed() override;
};
