#include "TemperatureConversion.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

TEST(ThermistorTemperature, TableRowsAndWalkDown) {
    EXPECT_EQ(ThermistorTemperature(100000), 25.0);
    EXPECT_EQ(ThermistorTemperature(22480), 60.0);
    EXPECT_EQ(ThermistorTemperature(22000), 60.0);
    EXPECT_EQ(ThermistorTemperature(150000), 16.0);
    EXPECT_EQ(ThermistorTemperature(5000), 103.0);
    EXPECT_EQ(ThermistorTemperature(1000), 163.0);
    EXPECT_EQ(ThermistorTemperature(200), 243.0);
}

TEST(ThermistorTemperature, OutsideTheTableGivesZero) {
    // Colder than 0 degrees: every row is walked down to 1 degree in vain.
    EXPECT_EQ(ThermistorTemperature(400000), 0.0);
    EXPECT_EQ(ThermistorTemperature(1e12), 0.0);
    // Between the coldest curve value and the 0-degree row.
    EXPECT_EQ(ThermistorTemperature(354599), 0.0);
    EXPECT_EQ(ThermistorTemperature(354600), 0.0);  // the 0-degree row itself
    // Hotter than 300 degrees, zero, negative, not a number.
    EXPECT_EQ(ThermistorTemperature(80), 0.0);
    EXPECT_EQ(ThermistorTemperature(0), 0.0);
    EXPECT_EQ(ThermistorTemperature(-5), 0.0);
    EXPECT_EQ(ThermistorTemperature(std::numeric_limits<double>::quiet_NaN()), 0.0);
    EXPECT_EQ(ThermistorTemperature(std::numeric_limits<double>::infinity()), 0.0);
}

TEST(ThermistorTemperature, ShortcutAgreesWithTheFullWalkNearItsEdge) {
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
    EXPECT_EQ(AnalogVoltsToTemperature(AnalogToVolts(60000)), 127.0);

    EXPECT_NEAR(DividerResistance(-AnalogToVolts(50000)), 107863.66, 0.01);
    EXPECT_EQ(AnalogVoltsToTemperature(AnalogToVolts(50000)), 23.0);

    // Extremes of the 16-bit range give no fault, only 0 degrees.
    EXPECT_EQ(AnalogVoltsToTemperature(AnalogToVolts(32767)), 0.0);
    EXPECT_EQ(AnalogVoltsToTemperature(AnalogToVolts(32768)), 0.0);
    EXPECT_EQ(AnalogVoltsToTemperature(AnalogToVolts(65535)), 0.0);
}

TEST(AnalogConversion, RecordInputsOfBedAndExtruder) {
    ZDataRecord record{};
    record.std.axis_block[1].axis_analog_input = 60000;  // extruder, block B
    record.std.axis_block[3].axis_analog_input = 50000;  // bed, block D
    EXPECT_EQ(GetExtruderTemperature(record), 127.0);
    EXPECT_EQ(GetBedTemperature(record), 23.0);
    // Little-endian at bytes 146 and 218.
    EXPECT_EQ(record.bytes[146] | (record.bytes[147] << 8), 60000);
    EXPECT_EQ(record.bytes[218] | (record.bytes[219] << 8), 50000);
}

TEST(TemperatureToAnalogVolts, HotterTargetsAreNearerZero) {
    EXPECT_NEAR(TemperatureToAnalogVolts(25.0), -4.7254, 1e-4);
    EXPECT_NEAR(TemperatureToAnalogVolts(200.0), -0.4235, 1e-4);
    EXPECT_NEAR(DividerVolts(0.0), 0.0, 1e-12);
}

TEST(ThermistorResistance, SwitchesFitsAtOneHundred) {
    EXPECT_NEAR(ThermistorResistance(99.9), 5569.08, 0.01);
    EXPECT_NEAR(ThermistorResistance(100.0), 5568.14, 0.01);
    // Not a number takes the hot fit and stays not a number.
    EXPECT_TRUE(std::isnan(ThermistorResistance(std::numeric_limits<double>::quiet_NaN())));
}

TEST(ThermistorTable, AscendingNineteenRows) {
    const auto& table = ThermistorTable();
    ASSERT_EQ(table.size(), 19u);
    EXPECT_EQ(table.begin()->first, 0.0);
    EXPECT_EQ(table.begin()->second, 354600.0);
    EXPECT_EQ(table.rbegin()->first, 300.0);
    EXPECT_EQ(table.rbegin()->second, 82.78);
}
