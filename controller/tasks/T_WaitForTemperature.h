// Sets a heater's target and waits on the temperature records until the
// heater has reached it. Serves as a sub-task: it writes no description.
#pragma once

#include "Task.h"

#include <zenlib.h>

#include <string>

class T_WaitForTemperature : public Task {
  public:
    // Parameters: "axis" ("A" hot end, "B" bed), "target" (degrees) and
    // "heat_only" (bool), both required here.
    explicit T_WaitForTemperature(Parameters data);

    // Sends and publishes the set-point, then watches the temperature records.
    void OnStart() override;

    // The heater's reading is within one degree of the target, or with
    // "heat_only" at most one degree below it. A NaN target is never reached.
    bool IsReached(const ZDataRecord& record) const;
    // "ext" for the hot end, "bed" otherwise.
    std::string GetHeaterPrefix();

  private:
    // The target in degrees, as read at construction.
    double target_ = 0.0;
    // Any amount above the target counts as reached.
    bool heat_only_ = false;
    // The heater read by IsReached, fixed at construction: the record thread
    // never reads the parameters, which the worker may change.
    bool hot_end_ = false;
};
