// Defines the reference position of one axis: "DP<axis>=<value>".
#pragma once

#include "SingleCommandTask.h"

class T_DefinePosition : public SingleCommandTask {
  public:
    // Parameters: "axis" (X, Y, Z or E), "value" (counts, int).
    explicit T_DefinePosition(Parameters data);

  protected:
    void SendOneCommand() override;
};
