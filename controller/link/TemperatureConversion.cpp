#include "TemperatureConversion.h"

#include "RecordFields.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace {

constexpr double kSupplyVolts = 4.95;
constexpr double kDividerOhms = 4750.0;
constexpr double kAnalogCountsPerVolt = 204.8;
constexpr double kAnalogScale = 16.0;
// Switch-over between the two polynomial fits.
constexpr double kHotFitFromCelsius = 100.0;

// Byte offsets of the analog inputs: block B (extruder) and block D (bed).
constexpr int kExtruderInputOffset = kAxisBlockOffset + 1 * kAxisBlockSize + 28;
constexpr int kBedInputOffset = kAxisBlockOffset + 3 * kAxisBlockSize + 28;

using Coefficients = std::array<double, 7>;
constexpr Coefficients kColdFit = {354590.384626506,    -19156.0429630164, 546.355782775327,
                                   -9.868046772205,     0.110734590959959, -0.000692047670276,
                                   1.81809658233235e-06};
constexpr Coefficients kHotFit = {97758.5780418852,    -2425.58587664642, 25.982241602246,
                                  -0.151196304696915,  0.000498927974955, -8.79524062026927e-07,
                                  6.44480187907079e-10};

// Built during static initialisation, before any record thread can exist,
// so it outlives every thread that reads it at exit.
const std::map<double, double> kThermistorTable = {
    {0, 354600},  {10, 208800}, {25, 100000}, {40, 50900},  {50, 33450},
    {60, 22480},  {80, 10800},  {85, 9094},   {100, 5569},  {120, 3058},
    {140, 1770},  {160, 1074},  {180, 679.3}, {200, 445.2}, {220, 301.6},
    {240, 210.4}, {260, 150.7}, {280, 110.5}, {300, 82.78},
};

// The largest polynomial resistance at any whole degree the table walk can try
// (1 to the hottest row). A reading at or above it can match no degree, so the
// walk over every row (thousands of polynomial evaluations for an open sensor)
// is known to end at 0 without running it.
double HighestWalkResistance() {
    double highest = 0.0;
    const double hottest = kThermistorTable.rbegin()->first;
    for (double t = hottest; t > 0.0; t -= 1.0) {
        highest = std::max(highest, ThermistorResistance(t));
    }
    return highest;
}
const double kHighestWalkResistance = HighestWalkResistance();

}  // namespace

const std::map<double, double>& ThermistorTable() {
    return kThermistorTable;
}

double AnalogToVolts(uint16_t raw) {
    const auto value = static_cast<int16_t>(raw);
    return value / kAnalogCountsPerVolt / kAnalogScale;
}

double GetBedTemperature(const ZDataRecord& record) {
    return AnalogVoltsToTemperature(
        AnalogToVolts(ReadRecordField<uint16_t>(record, kBedInputOffset)));
}

double GetExtruderTemperature(const ZDataRecord& record) {
    return AnalogVoltsToTemperature(
        AnalogToVolts(ReadRecordField<uint16_t>(record, kExtruderInputOffset)));
}

double AnalogVoltsToTemperature(double volts) {
    return ThermistorTemperature(DividerResistance(-volts));
}

double DividerResistance(double volts) {
    return kDividerOhms * volts / (kSupplyVolts - volts);
}

double TemperatureToAnalogVolts(double celsius) {
    return -DividerVolts(ThermistorResistance(celsius));
}

double DividerVolts(double ohms) {
    return kSupplyVolts * (ohms / (ohms + kDividerOhms));
}

double ThermistorResistance(double celsius) {
    // NaN fails the comparison and so takes the hot fit.
    const Coefficients& c = kHotFitFromCelsius > celsius ? kColdFit : kHotFit;
    double sum = 0.0;
    for (int i = 0; i < static_cast<int>(c.size()); ++i) {
        sum += c[i] * std::pow(celsius, i);
    }
    return sum;
}

double ThermistorTemperature(double ohms) {
    for (const auto& [celsius, row_ohms] : kThermistorTable) {
        if (ohms == row_ohms) {
            return celsius;
        }
        if (ohms > row_ohms) {
            if (ohms >= kHighestWalkResistance) {
                continue;  // no whole degree of this or any later row can match
            }
            // The hottest whole degree at or below this row whose curve
            // resistance still exceeds the reading.
            for (double t = celsius; t > 0.0; t -= 1.0) {
                if (ThermistorResistance(t) > ohms) {
                    return t;
                }
            }
        }
    }
    return 0.0;
}
