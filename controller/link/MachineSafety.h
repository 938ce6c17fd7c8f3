// Leaves the machine safe when the server ends: every axis of the main
// controller stopped and seen standing in its records, and both heaters
// switched off. What could not be made safe is named on standard error.
#pragma once

#include <zenlib.h>

#include <chrono>
#include <string>
#include <vector>

class DataRecordWatcher;
class MainConnection;
class TemperatureConnection;

class MachineSafety {
  public:
    // Stops sent, at most, before the axes count as not stopped.
    static constexpr int kMaxStops = 3;

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
    enum class Motion { kStanding, kMoving, kUnknown };

    bool StopAxes();
    bool SwitchHeatersOff();
    // What a main record sampled after the last stop shows; waits up to the
    // stall limit for the axes to come to a stand.
    Motion MotionAfterStop();
    static bool Stands(const ZDataRecord& record);
    void Fail(const std::string& text);

    MainConnection& main_;
    TemperatureConnection& temperature_;
    DataRecordWatcher& watcher_;
    std::vector<std::string> failures_;
};
