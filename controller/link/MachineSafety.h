// Leaves the machine safe when the server ends: every axis of the main
// controller stopped and seen standing in its records (the stop policy of
// the tasks, MotionStop), and both heaters switched off. What could not be
// made safe is named on standard error.
#pragma once

#include "MotionStop.h"

#include <string>
#include <vector>

class DataRecordWatcher;
class MainConnection;
class TemperatureConnection;

class MachineSafety {
  public:
    MachineSafety(MainConnection& main, TemperatureConnection& temperature,
                  DataRecordWatcher& watcher);

    // Stops the axes and switches the heaters off, each controller on its
    // own, trying failed commands again. True when the machine was made safe
    // (a controller never opened has nothing to make safe); otherwise every
    // failure has been written to standard error.
    bool MakeSafe();
    // What could not be made safe, one text per failure.
    const std::vector<std::string>& Failures() const { return failures_; }

  private:
    // Stops every axis ("ST") by MotionStop's policy; when they are not seen
    // standing, switches the motors off ("MO") and judges again.
    bool StopAxes();
    // A motion stop of every axis and the coordinated motion by `command`.
    MotionStop AllAxes(const std::string& command);
    void SwitchMotorsOff();
    bool SwitchHeatersOff();
    void Fail(const std::string& text);

    MainConnection& main_;
    TemperatureConnection& temperature_;
    DataRecordWatcher& watcher_;
    std::vector<std::string> failures_;
};
