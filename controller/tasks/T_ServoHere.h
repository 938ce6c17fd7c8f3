// Switches the motor of one axis on, holding its position: "SH<axis>".
#pragma once

#include "SingleCommandTask.h"

class T_ServoHere : public SingleCommandTask {
  public:
    // Parameters: "axis" (X, Y, Z or E).
    explicit T_ServoHere(Parameters data);

  protected:
    void SendOneCommand() override;
};
