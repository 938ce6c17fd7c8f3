// The simulated printer behind both controllers.
#pragma once

#include <array>
#include <cstdint>

#include "ControllerMemory.h"
#include "CoordinatedMotion.h"
#include "Heater.h"
#include "RecordBytes.h"
#include "SimAxis.h"
#include "ThermistorCurve.h"

namespace sim {

// Axes A to E (X, Y, Z, extruder, spare), the hot end, the bed, the part fan,
// the controllers' memories and the main controller's program. Not thread-safe:
// VirtualPrinter guards it with one mutex.
class PrinterModel {
  public:
    // Axis indexes.
    enum AxisIndex { kA = 0, kB, kC, kD, kE };

    // The printer at power-on.
    PrinterModel();

    // Advances one sample (one controller millisecond).
    void Step();
    // Samples since start: the controller clock ("TIME").
    uint64_t Samples() const { return samples_; }
    // Sets the controller clock (test hook).
    void SetSamples(uint64_t samples) { samples_ = samples; }

    // Axes A to E.
    std::array<SimAxis, 5>& Axes() { return axes_; }
    const std::array<SimAxis, 5>& Axes() const { return axes_; }
    // Coordinated motion.
    CoordinatedMotion& Coordinated() { return coordinated_; }
    const CoordinatedMotion& Coordinated() const { return coordinated_; }
    // Hot end heater.
    Heater& HotEnd() { return hot_end_; }
    const Heater& HotEnd() const { return hot_end_; }
    // Bed heater.
    Heater& Bed() { return bed_; }
    const Heater& Bed() const { return bed_; }
    // Part fan speed as last set ("speed=").
    double FanSpeed() const { return fan_speed_; }
    void SetFanSpeed(double speed) { fan_speed_ = speed; }
    // Variables and arrays of the main controller.
    ControllerMemory& MainMemory() { return main_memory_; }
    const ControllerMemory& MainMemory() const { return main_memory_; }
    // Variables of the temperature controller.
    ControllerMemory& TemperatureMemory() { return temperature_memory_; }
    // Vector speed of "LI" segments that name none.
    double VectorSpeed() const { return vector_speed_counts_s_; }

    // Tilts the bed: Z's switch sits at x_slope * X + y_slope * Y physical
    // counts, so probing finds a different height at each point (test hook).
    void SetBedTilt(double x_slope, double y_slope);

    // "XQ": starts the controller program (Z follows the spare axis plus the mesh).
    void StartProgram();
    // "AB": ends the program.
    void AbortProgram() { program_running_ = false; }
    // True while the program runs.
    bool ProgramRunning() const { return program_running_; }

    // A power cycle of the main controller: every motion and the program end,
    // no axis is in the coordinated system, and the user values ("ZA", which
    // mark a position trusted) are 0; positions stay where they are.
    void RestartMain();
    // A power cycle of the temperature controller: heaters and fan off.
    void RestartTemperature();

    // Writes the main controller's record for the present sample.
    void BuildMainRecord(RecordBytes* record) const;
    // Writes the temperature controller's record for the present sample.
    void BuildTemperatureRecord(RecordBytes* record) const;

  private:
    // The program's work in one sample: Z tracks the spare axis plus the mesh.
    void StepProgram();

    uint64_t samples_ = 0;                    // controller clock
    std::array<SimAxis, 5> axes_;             // A..E
    CoordinatedMotion coordinated_;           // S plane
    Heater hot_end_;                          // extruder heater
    Heater bed_;                              // bed heater
    double fan_speed_ = 0.0;                  // part fan
    ControllerMemory main_memory_;            // main controller variables and arrays
    ControllerMemory temperature_memory_;     // temperature controller variables
    double vector_speed_counts_s_ = 25000.0;  // default "LI" speed
    bool program_running_ = false;            // "XQ" given, no "AB" since
    double bed_x_slope_ = 0.0;                // Z switch counts per X count
    double bed_y_slope_ = 0.0;                // Z switch counts per Y count
    ThermistorCurve thermistor_;              // temperature to analog input
};

}  // namespace sim
