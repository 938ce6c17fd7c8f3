// Temperature and fan tasks without a controller: descriptions, fan keys,
// and when a heater counts as having reached its target.
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

}  // namespace

TEST(TemperatureTask, Descriptions) {
    const std::pair<Task::Pointer, std::string> rows[] = {
        {boost::make_shared<T_SetTemperature>(Params({{"axis", "A"}, {"temperature", 215}})),
         "Set|{HotEnd}| {215\xC2\xB0"
         "C}"},
        {boost::make_shared<T_SetTemperature>(Params({{"axis", "B"}, {"temperature", 60.26}})),
         "Set|{Bed}| {60.26\xC2\xB0"
         "C}"},
        {boost::make_shared<T_SetTemperature>(Params({{"axis", "B"}, {"active", false}})),
         "Disable|~2{Bed}"},
        // The name compares the parameter itself: "X" is not "A".
        {boost::make_shared<T_SetTemperature>(Params({{"axis", "X"}, {"active", true}})),
         "Enable|~2{Bed}"},
        {boost::make_shared<T_SetTemperature>(Params({{"axis", "A"}, {"description", "mine"}})),
         "mine"},
        // Whatever the fan, the texts name the part fan.
        {boost::make_shared<T_SetFanSpeed>(
             Params({{"fan", 5}, {"speed", 127.5}, {"percentage", 50}})),
         "Set|{Part Fan}|{50%}"},
        {boost::make_shared<T_SetFanSpeed>(Params({{"fan", 6}, {"speed", 0}, {"active", false}})),
         "Disable|~2{Part Fan}"},
    };
    for (const auto& [task, expected] : rows) {
        json full;
        task->ToJson(full);
        EXPECT_EQ(full.at("description"), expected);
    }
    // Neither a temperature nor "active": nothing to describe.
    EXPECT_THROW(T_SetTemperature(Params({{"axis", "A"}})), std::exception);
    EXPECT_EQ(T_SetFanSpeed(Params({{"fan", 7}, {"active", true}})).GetFanName(), "fan7");
}

TEST(TemperatureTask, ReachedWithinOneDegreeOrAnywhereAboveWhenOnlyHeating) {
    struct Row {
        const char* axis;
        bool heat_only;
        int32_t hot_end, bed;
        bool reached;
    };
    const Row rows[] = {
        {"A", false, 199, 0, true},
        {"A", false, 201, 0, true},
        {"A", false, -201, 0, true},
        {"A", false, 198, 0, false},
        {"A", false, 202, 0, false},
        {"A", false, 25, 200, false},  // the bed is not the hot end
        {"A", false, std::numeric_limits<int32_t>::min(), 0, false},
        {"Y", true, 0, 250, true},
        {"Y", true, 0, 199, true},
        {"Y", true, 0, 198, false},
    };
    for (const auto& row : rows) {
        T_WaitForTemperature wait(
            Params({{"axis", row.axis}, {"target", 200}, {"heat_only", row.heat_only}}));
        EXPECT_EQ(wait.IsReached(TemperatureRecord(row.hot_end, row.bed)), row.reached)
            << row.axis << " " << row.heat_only << " " << row.hot_end << " " << row.bed;
    }
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
