// A heater that follows its set-point as a first-order system.
#pragma once

namespace sim {

// Temperature in degrees Celsius approaching max(set-point, ambient) with a
// time constant; a set-point at or below ambient means the heater is off.
class Heater {
  public:
    // Room temperature the heaters start at and cool to.
    static constexpr double kAmbientC = 25.0;

    // `time_constant_s`: controller seconds to cover 63 % of a step.
    explicit Heater(double time_constant_s);

    // Advances one sample (one controller millisecond).
    void Step();
    // New set-point in degrees.
    void SetTarget(double degrees_c) { target_c_ = degrees_c; }
    // Heater off: it cools to ambient.
    void TurnOff() { target_c_ = 0.0; }
    // Present temperature.
    double TemperatureC() const { return temperature_c_; }
    // Set-point (0 when off).
    double TargetC() const { return target_c_; }
    // Puts the heater at a temperature at once (test hook).
    void SetTemperatureC(double degrees_c) { temperature_c_ = degrees_c; }

  private:
    double factor_;                     // fraction of the gap closed per sample
    double temperature_c_ = kAmbientC;  // present temperature
    double target_c_ = 0.0;             // set-point
};

}  // namespace sim
