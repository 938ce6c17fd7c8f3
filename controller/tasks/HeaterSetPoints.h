// The set-point in force for each heater, as the tasks last applied it: a
// heat wait judges its heater against it, so a later change of the same
// heater (a "setTemperature", an M104 or M140) moves or ends the wait.
#pragma once

#include <array>
#include <atomic>
#include <optional>
#include <string>

class HeaterSetPoints {
  public:
    enum Heater { kHotEnd = 0, kBed = 1 };

    HeaterSetPoints();
    HeaterSetPoints(const HeaterSetPoints&) = delete;
    HeaterSetPoints& operator=(const HeaterSetPoints&) = delete;

    // The heater of a controller axis: A is the hot end, any other the bed,
    // as the set-point commands have it.
    static Heater OfControllerAxis(const std::string& controller_axis);

    // Records the set-point just sent to the heater.
    void Apply(Heater heater, double degrees);
    // The set-point last applied; none before the first. Safe on any thread.
    std::optional<double> InForce(Heater heater) const;

  private:
    // NaN until a set-point has been applied.
    std::array<std::atomic<double>, 2> degrees_;
};
