// Holds Z's homing back while X or Y is being homed.
#pragma once

#include "Task.h"

class T_Wait_For_XY : public Task {
  public:
    // Reads no parameter.
    explicit T_Wait_For_XY(Parameters data);

    // Looks again at every main record while neither flag is set.
    void OnStart() override;

  private:
    // Neither X (A) nor Y (B) has its homing flag set.
    static bool XYIdle();
};
