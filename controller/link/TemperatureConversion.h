// Conversion between the main controller's raw thermistor inputs and degrees
// Celsius, through a voltage divider and a thermistor curve.
#pragma once

#include <zenlib.h>

#include <cstdint>
#include <map>

// Thermistor resistance in ohms by temperature in degrees C, ascending.
const std::map<double, double>& ThermistorTable();

// Volts of a raw analog input (read as a signed 16-bit number).
double AnalogToVolts(uint16_t raw);
// Bed and extruder temperatures in degrees C from a main record.
double GetBedTemperature(const ZDataRecord& record);
double GetExtruderTemperature(const ZDataRecord& record);
// Degrees C of an analog-input voltage.
double AnalogVoltsToTemperature(double volts);
// Thermistor ohms for a divider output of `volts`.
double DividerResistance(double volts);
// Analog-input voltage the controller reads at `celsius` (negative; hotter is nearer 0).
double TemperatureToAnalogVolts(double celsius);
// Divider output in volts for a thermistor of `ohms`.
double DividerVolts(double ohms);
// Thermistor ohms at `celsius` from the fitted polynomials.
double ThermistorResistance(double celsius);
// Whole degrees C for a thermistor of `ohms`; 0 outside the table's range.
double ThermistorTemperature(double ohms);
