// Sets a heater's target and waits on the temperature records until the
// heater has reached the set-point in force for it: a later set-point of the
// same heater moves the wait, and switching the heater off ends it.
// Serves as a sub-task: it writes no description.
#pragma once

#include "HeaterSetPoints.h"
#include "Task.h"

#include <zenlib.h>

#include <atomic>
#include <string>

class T_WaitForTemperature : public Task {
  public:
    // Parameters: "axis" ("A" hot end, "B" bed), "target" (degrees) and
    // "heat_only" (bool), both required here.
    explicit T_WaitForTemperature(Parameters data);

    // Sends and publishes the set-point, then watches the temperature records.
    void OnStart() override;
    // Fails the wait (and its line) when its heater has been switched off.
    void OnUpdate() override;

    // The heater's reading is within one degree of the target, or with
    // "heat_only" at most one degree below it. A NaN target is never reached.
    // Once started, the target is the heater's set-point in force, and a
    // heater switched off is never reached.
    bool IsReached(const ZDataRecord& record) const;
    // Started, and its heater has since been switched off by another task.
    bool IsSwitchedOff() const;
    // "ext" for the hot end, "bed" otherwise.
    std::string GetHeaterPrefix();

  private:
    // The temperature the wait judges against: its own target until it has
    // started, then the heater's set-point in force.
    double Target() const;

    // The target in degrees, as read at construction.
    double target_ = 0.0;
    // Any amount above the target counts as reached.
    bool heat_only_ = false;
    // The heater read by IsReached, fixed at construction: the record thread
    // never reads the parameters, which the worker may change.
    bool hot_end_ = false;
    HeaterSetPoints::Heater heater_ = HeaterSetPoints::kBed;
    // The set-point has been sent: from now on the one in force counts.
    std::atomic<bool> applied_{false};
};
