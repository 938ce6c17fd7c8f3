// Waits until every axis of a list has stopped: one parallel motion wait per axis.
#pragma once

#include "Task.h"

class T_GroupMotionComplete : public Task {
  public:
    // Parameters: "axes", the axis letters ("XYZ"); empty means nothing to wait for.
    explicit T_GroupMotionComplete(Parameters data);
};
