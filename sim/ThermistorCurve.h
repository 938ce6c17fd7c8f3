// The thermistor divider of the main controller's analog inputs, both ways.
#pragma once

#include <array>
#include <cstdint>

namespace sim {

// Turns a temperature into the raw analog input the main controller would
// read across the thermistor divider, chosen so that the server's conversion
// of that raw value gives back the temperature rounded to a whole degree.
// That conversion cannot show 98, 99 and 295 to 299 degrees; for those the
// nearest degree it can show is used.
class ThermistorCurve {
  public:
    // Highest temperature the curve covers, degrees Celsius.
    static constexpr int kMaxDegrees = 300;

    // Precomputes the raw input of every whole degree.
    ThermistorCurve();

    // Raw analog input for a temperature (clamped to 0..300 degrees).
    uint16_t AnalogForTemperature(double degrees_c) const;
    // The server's reading of a raw input: whole degrees (0 outside the table).
    static double TemperatureForAnalog(uint16_t raw);
    // Thermistor resistance in ohms at a temperature (the fitted polynomial).
    static double Resistance(double degrees_c);
    // Whole degrees for a resistance, walking the thermistor table.
    static double TemperatureForResistance(double ohms);

  private:
    // Finds the raw input that reads back as `degrees`.
    static uint16_t SearchAnalog(int degrees);

    std::array<uint16_t, kMaxDegrees + 1> raw_by_degree_;  // precomputed per whole degree
};

}  // namespace sim
