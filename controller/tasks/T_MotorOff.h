// Switches the motor of one axis off: "MO<axis>".
#pragma once

#include "SingleCommandTask.h"

class T_MotorOff : public SingleCommandTask {
  public:
    // Parameters: "axis" (X, Y, Z or E).
    explicit T_MotorOff(Parameters data);

  protected:
    void SendOneCommand() override;
};
