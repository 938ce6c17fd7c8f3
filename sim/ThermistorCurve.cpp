#include "ThermistorCurve.h"

#include <cmath>
#include <iterator>

namespace sim {
namespace {

constexpr double kSupplyVolts = 4.95;
constexpr double kFixedOhms = 4750.0;
constexpr double kCountsPerVolt = 204.8 * 16.0;

struct TableRow {
    double degrees_c;
    double ohms;
};

constexpr TableRow kTable[] = {
    {0, 354600},  {10, 208800}, {25, 100000}, {40, 50900},  {50, 33450},
    {60, 22480},  {80, 10800},  {85, 9094},   {100, 5569},  {120, 3058},
    {140, 1770},  {160, 1074},  {180, 679.3}, {200, 445.2}, {220, 301.6},
    {240, 210.4}, {260, 150.7}, {280, 110.5}, {300, 82.78},
};

constexpr double kColdCoefficients[] = {354590.384626506,    -19156.0429630164, 546.355782775327,
                                        -9.868046772205,     0.110734590959959, -0.000692047670276,
                                        1.81809658233235e-06};
constexpr double kHotCoefficients[] = {
    97758.5780418852,  -2425.58587664642,     25.982241602246,     -0.151196304696915,
    0.000498927974955, -8.79524062026927e-07, 6.44480187907079e-10};

double VoltsForAnalog(uint16_t raw) {
    return static_cast<double>(static_cast<int16_t>(raw)) / 204.8 / 16.0;
}

uint16_t AnalogForResistance(double ohms) {
    double volts = -kSupplyVolts * (ohms / (ohms + kFixedOhms));
    long counts = std::lround(volts * kCountsPerVolt);
    return static_cast<uint16_t>(static_cast<int16_t>(counts));
}

}  // namespace

ThermistorCurve::ThermistorCurve() {
    std::array<bool, kMaxDegrees + 1> exact{};
    for (int degrees = 0; degrees <= kMaxDegrees; ++degrees) {
        raw_by_degree_[degrees] = SearchAnalog(degrees);
        exact[degrees] = TemperatureForAnalog(raw_by_degree_[degrees]) == degrees;
    }
    // The fitted curve is not monotonic around 99 and above 294 degrees, so a
    // few whole degrees can never be read back; those show the nearest one that can.
    const std::array<uint16_t, kMaxDegrees + 1> exact_raw = raw_by_degree_;
    for (int degrees = 0; degrees <= kMaxDegrees; ++degrees) {
        bool filled = exact[degrees];
        for (int distance = 1; !filled && distance <= kMaxDegrees; ++distance) {
            for (int near : {degrees - distance, degrees + distance}) {
                if (near >= 0 && near <= kMaxDegrees && exact[near]) {
                    raw_by_degree_[degrees] = exact_raw[near];
                    filled = true;
                    break;
                }
            }
        }
    }
}

double ThermistorCurve::Resistance(double degrees_c) {
    const double* c = 100.0 > degrees_c ? kColdCoefficients : kHotCoefficients;
    double sum = 0.0;
    for (int i = 0; i <= 6; ++i) {
        sum += c[i] * std::pow(degrees_c, i);
    }
    return sum;
}

double ThermistorCurve::TemperatureForResistance(double ohms) {
    for (const TableRow& row : kTable) {
        if (ohms == row.ohms) {
            return row.degrees_c;
        }
        if (ohms > row.ohms) {
            for (double t = row.degrees_c; t > 0.0; t -= 1.0) {
                if (Resistance(t) > ohms) {
                    return t;
                }
            }
        }
    }
    return 0.0;
}

double ThermistorCurve::TemperatureForAnalog(uint16_t raw) {
    double volts = -VoltsForAnalog(raw);
    return TemperatureForResistance(kFixedOhms * volts / (kSupplyVolts - volts));
}

uint16_t ThermistorCurve::SearchAnalog(int degrees) {
    if (degrees <= 0) {
        return AnalogForResistance(400000.0);
    }
    // A resistance between the curve's values at degrees and degrees + 1 reads
    // as `degrees`; the raw value is quantised, so look around its first guess.
    double ohms = std::sqrt(Resistance(degrees) * Resistance(degrees + 1));
    uint16_t guess = AnalogForResistance(ohms);
    for (int step = 0; step < 64; ++step) {
        for (int sign : {1, -1}) {
            auto raw = static_cast<uint16_t>(guess + sign * step);
            if (TemperatureForAnalog(raw) == degrees) {
                return raw;
            }
        }
    }
    return guess;
}

uint16_t ThermistorCurve::AnalogForTemperature(double degrees_c) const {
    long degrees = std::isfinite(degrees_c) ? std::lround(degrees_c) : 0;
    if (degrees < 0) {
        degrees = 0;
    }
    if (degrees > kMaxDegrees) {
        degrees = kMaxDegrees;
    }
    return raw_by_degree_[static_cast<size_t>(degrees)];
}

}  // namespace sim
