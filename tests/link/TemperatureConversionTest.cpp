#include "TemperatureConversion.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

TEST(ThermistorTemperature, TableRowsWalkDownAndOutsideTheTableGiveZero) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    const std::pair<double, double> rows[] = {{100000, 25}, {22480, 60}, {22000, 60}, {150000, 16},
                                              {5000, 103},  {1000, 163}, {200, 243}};
    for (const auto& [ohms, degrees] : rows)
        EXPECT_EQ(ThermistorTemperature(ohms), degrees) << ohms;
    // Colder than 0 degrees (every row walked down to 1 degree in vain), between the coldest
    // curve value and the 0-degree row, that row itself; hotter than 300 degrees, zero,
    // negative, not a number.
    for (double ohms : {400000.0, 1e12, 354599.0, 354600.0, 80.0, 0.0, -5.0, nan, infinity})
        EXPECT_EQ(ThermistorTemperature(ohms), 0.0) << ohms;
    // Just below the highest curve value (1 degree) the walk still finds 1.
    const double at_one = ThermistorResistance(1.0);
    EXPECT_EQ(ThermistorTemperature(at_one - 0.001), 1.0);
    EXPECT_EQ(ThermistorTemperature(at_one), 0.0);
}

TEST(AnalogConversion, RawInputsToDegrees) {
    EXPECT_EQ(AnalogToVolts(0), 0.0);
    EXPECT_EQ(DividerResistance(-AnalogToVolts(0)), 0.0);
    EXPECT_EQ(AnalogVoltsToTemperature(AnalogToVolts(0)), 0.0);
    // 60000 reads as -5536.
    EXPECT_DOUBLE_EQ(AnalogToVolts(60000), -1.689453125);
    EXPECT_NEAR(DividerResistance(1.689453125), 2461.21, 0.01);
    EXPECT_NEAR(DividerResistance(-AnalogToVolts(50000)), 107863.66, 0.01);
    // Extremes of the 16-bit range give no fault, only 0 degrees.
    for (int raw : {32767, 32768, 65535})
        EXPECT_EQ(AnalogVoltsToTemperature(AnalogToVolts(raw)), 0.0) << raw;

    ZDataRecord record{};
    record.std.axis_block[1].axis_analog_input = 60000;  // extruder, block B
    record.std.axis_block[3].axis_analog_input = 50000;  // bed, block D
    EXPECT_EQ(GetExtruderTemperature(record), 127.0);
    EXPECT_EQ(GetBedTemperature(record), 23.0);
}

TEST(TemperatureToAnalogVolts, HotterTargetsAreNearerZeroAndTheFitSwitchesAtOneHundred) {
    EXPECT_NEAR(TemperatureToAnalogVolts(25.0), -4.7254, 1e-4);
    EXPECT_NEAR(TemperatureToAnalogVolts(200.0), -0.4235, 1e-4);
    EXPECT_NEAR(DividerVolts(0.0), 0.0, 1e-12);
    EXPECT_NEAR(ThermistorResistance(99.9), 5569.08, 0.01);
    EXPECT_NEAR(ThermistorResistance(100.0), 5568.14, 0.01);
    // Not a number takes the hot fit and stays not a number.
    EXPECT_TRUE(std::isnan(ThermistorResistance(std::numeric_limits<double>::quiet_NaN())));
}
