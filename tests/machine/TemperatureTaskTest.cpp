// Temperature and fan tasks without a controller: descriptions, heater and
// fan keys, and when a heater counts as having reached its target.
#include "T_SetFanSpeed.h"
#include "T_SetTemperature.h"
#include "T_WaitForTemperature.h"

#include <boost/make_shared.hpp>

#include <cstring>
#include <limits>

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

Task::Parameters Params(json value) {
    return boost::make_shared<json>(std::move(value));
}

ZDataRecord TemperatureRecord(int32_t hot_end, int32_t bed) {
    ZDataRecord record;
    std::memset(&record, 0, sizeof(record));
    std::memcpy(reinterpret_cast<uint8_t*>(&record) + 48, &hot_end, sizeof(hot_end));
    std::memcpy(reinterpret_cast<uint8_t*>(&record) + 52, &bed, sizeof(bed));
    return record;
}

std::string Description(const Task::Pointer& task) {
    json full;
    task->ToJson(full);
    return full.at("description");
}

}  // namespace

TEST(TemperatureDescriptions, SetPointsEnableAndDisable) {
    EXPECT_EQ(Description(boost::make_shared<T_SetTemperature>(
                  Params({{"axis", "A"}, {"temperature", 215}}))),
              "Set|{HotEnd}| {215\xC2\xB0"
              "C}");
    EXPECT_EQ(Description(boost::make_shared<T_SetTemperature>(
                  Params({{"axis", "B"}, {"temperature", 60.26}}))),
              "Set|{Bed}| {60.26\xC2\xB0"
              "C}");
    EXPECT_EQ(Description(
                  boost::make_shared<T_SetTemperature>(Params({{"axis", "B"}, {"active", false}}))),
              "Disable|~2{Bed}");
    // The name compares the parameter itself: "X" is not "A".
    EXPECT_EQ(Description(
                  boost::make_shared<T_SetTemperature>(Params({{"axis", "X"}, {"active", true}}))),
              "Enable|~2{Bed}");
    EXPECT_EQ(Description(boost::make_shared<T_SetTemperature>(
                  Params({{"axis", "A"}, {"description", "mine"}}))),
              "mine");
    // Neither a temperature nor "active": nothing to describe.
    EXPECT_THROW(T_SetTemperature(Params({{"axis", "A"}})), std::exception);
}

TEST(TemperatureDescriptions, FanTextsNameThePartFanWhateverTheFan) {
    EXPECT_EQ(Description(boost::make_shared<T_SetFanSpeed>(
                  Params({{"fan", 5}, {"speed", 127.5}, {"percentage", 50}}))),
              "Set|{Part Fan}|{50%}");
    EXPECT_EQ(Description(boost::make_shared<T_SetFanSpeed>(
                  Params({{"fan", 6}, {"speed", 0}, {"active", false}}))),
              "Disable|~2{Part Fan}");
}

TEST(TemperatureKeys, HeaterPrefixesAndFanNames) {
    EXPECT_EQ(T_SetTemperature(Params({{"axis", "X"}, {"active", true}})).GetHeaterPrefix(), "ext");
    EXPECT_EQ(T_SetTemperature(Params({{"axis", "B"}, {"active", true}})).GetHeaterPrefix(), "bed");
    EXPECT_EQ(T_WaitForTemperature(Params({{"axis", "A"}, {"target", 1}, {"heat_only", false}}))
                  .GetHeaterPrefix(),
              "ext");
    EXPECT_EQ(T_SetFanSpeed(Params({{"fan", 6}, {"active", true}})).GetFanName(), "partFan");
    EXPECT_EQ(T_SetFanSpeed(Params({{"fan", 5}, {"active", true}})).GetFanName(), "extFan");
    EXPECT_EQ(T_SetFanSpeed(Params({{"fan", 7}, {"active", true}})).GetFanName(), "fan7");
}

TEST(TemperatureReached, WithinOneDegreeEitherWay) {
    T_WaitForTemperature wait(Params({{"axis", "A"}, {"target", 200}, {"heat_only", false}}));
    EXPECT_TRUE(wait.IsReached(TemperatureRecord(199, 0)));
    EXPECT_TRUE(wait.IsReached(TemperatureRecord(201, 0)));
    EXPECT_TRUE(wait.IsReached(TemperatureRecord(-201, 0)));
    EXPECT_FALSE(wait.IsReached(TemperatureRecord(198, 0)));
    EXPECT_FALSE(wait.IsReached(TemperatureRecord(202, 0)));
    // The bed's reading does not count for the hot end.
    EXPECT_FALSE(wait.IsReached(TemperatureRecord(25, 200)));
    EXPECT_FALSE(wait.IsReached(TemperatureRecord(std::numeric_limits<int32_t>::min(), 0)));
}

TEST(TemperatureReached, HeatOnlyAcceptsAnythingAbove) {
    T_WaitForTemperature wait(Params({{"axis", "Y"}, {"target", 200}, {"heat_only", true}}));
    EXPECT_TRUE(wait.IsReached(TemperatureRecord(0, 250)));
    EXPECT_TRUE(wait.IsReached(TemperatureRecord(0, 199)));
    EXPECT_FALSE(wait.IsReached(TemperatureRecord(0, 198)));
}

TEST(TemperatureReached, NaNTargetAndMissingRecord) {
    T_WaitForTemperature nan_wait(Params({{"axis", "A"},
                                          {"target", std::numeric_limits<double>::quiet_NaN()},
                                          {"heat_only", true}}));
    EXPECT_FALSE(nan_wait.IsReached(TemperatureRecord(200, 0)));
    // No temperature stream in this binary: nothing counts as reached.
    T_WaitForTemperature wait(Params({{"axis", "A"}, {"target", 0}, {"heat_only", true}}));
    EXPECT_FALSE(wait.CompletionConditionsMet());
    EXPECT_THROW(T_WaitForTemperature(Params({{"axis", "A"}, {"target", 1}})), std::exception);
    EXPECT_THROW(T_WaitForTemperature(Params({{"axis", "A"}, {"heat_only", true}})),
                 std::exception);
}
