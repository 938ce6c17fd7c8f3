// Machine tasks without a controller: which steps homing gets, invalid axes,
// what the conditions answer before any record, and when a heater counts as
// having reached its target.
#include "DataRecordWatcher.h"
#include "T_CENTER_ON_ZERO.h"
#include "T_Home.h"
#include "T_LeaveLimitSwitch.h"
#include "T_SendToLimitSwitch.h"
#include "T_WaitForTemperature.h"
#include "T_Wait_For_XY.h"
#include "tasks/TaskTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <map>

using nlohmann::json;

namespace {

Task::Parameters Params(json value) {
    return boost::make_shared<json>(std::move(value));
}

ZDataRecord TemperatureRecord(int32_t hot_end, int32_t bed) {
    ZDataRecord record{};
    std::memcpy(reinterpret_cast<uint8_t*>(&record) + 48, &hot_end, sizeof(hot_end));
    std::memcpy(reinterpret_cast<uint8_t*>(&record) + 52, &bed, sizeof(bed));
    return record;
}

}  // namespace

TEST(HomingTask, ZByEitherNameWaitsAndCentresFirstOtherAxesOnlyJog) {
    for (const auto& [axis, steps] :
         std::map<std::string, size_t>{{"Z", 4}, {"C", 4}, {"X", 2}, {"B", 2}}) {
        EXPECT_EQ(T_Home(Params({{"axis", axis}})).GetSubTasks().size(), steps) << axis;
    }
}

TEST(HomingTask, AnAxisWithoutSwitchIsRejectedAtConstruction) {
    for (const char* axis : {"E", "D", "Q"}) {
        try {
            T_Home home(Params({{"axis", axis}}));
            ADD_FAILURE() << "axis " << axis << " accepted";
        } catch (const std::exception& error) {
            EXPECT_STREQ(error.what(), "Invalid axis detected");
        }
    }
    EXPECT_THROW(T_LeaveLimitSwitch(Params({{"axis", "E"}})), std::exception);
    EXPECT_THROW(T_Home(Params(json::object())), std::exception);
}

TEST(HomingTask, NothingCompletesOnARecordThatHasNotArrivedAndOnlyXYHoldZBack) {
    ASSERT_FALSE(DataRecordWatcher::GetInstance().GetRecord());
    EXPECT_FALSE(T_SendToLimitSwitch(Params({{"axis", "X"}})).CompletionConditionsMet());
    EXPECT_FALSE(T_LeaveLimitSwitch(Params({{"axis", "X"}})).CompletionConditionsMet());
    EXPECT_FALSE(T_CENTER_ON_ZERO(Params({{"axis", "Z"}})).CompletionConditionsMet());

    DataRecordWatcher& watcher = DataRecordWatcher::GetInstance();
    T_Wait_For_XY wait(Params({{"axis", "Z"}}));
    EXPECT_TRUE(wait.CompletionConditionsMet());
    watcher.SetHoming("B", true);
    EXPECT_FALSE(wait.CompletionConditionsMet());
    watcher.SetHoming("B", false);
    watcher.SetHoming("C", true);
    EXPECT_TRUE(wait.CompletionConditionsMet());
    watcher.SetHoming("C", false);
}

TEST(TaskEngine, ATaskMarkedUpdatingIsCancelledAndPausedAsARunningOne) {
    TaskManagerProbe::Halt();
    auto parent = T_Probe::Make("parent");
    auto child = T_Probe::Make("child");
    parent->AddChild(child);
    parent->SetStatus(Task::RUNNING);
    child->SetStatus(Task::UPDATING);
    T_Probe::Log().Clear();
    parent->Pause();
    const std::string child_id = std::to_string(child->GetId());
    EXPECT_TRUE(child->IsStatus(Task::PAUSED));
    child->SetStatus(Task::UPDATING);
    parent->SetStatus(Task::UPDATING);
    parent->Cancel("test");
    const auto entries = T_Probe::Log().Entries();
    const std::string parent_id = std::to_string(parent->GetId());
    EXPECT_EQ(entries, (std::vector<std::string>{parent_id + ":OnPause", child_id + ":OnPause",
                                                 parent_id + ":OnCancel", child_id + ":OnCancel"}));
    TaskManagerProbe::Halt();
}

TEST(TemperatureTask, ReachedWithinOneDegreeOrAnywhereAboveWhenOnlyHeating) {
    // Each row: axis, heat only, hot end, bed, reached; the target is 200.
    const json rows = json::parse(R"([
        ["A", false, 199, 0, true], ["A", false, 201, 0, true], ["A", false, -201, 0, true],
        ["A", false, 198, 0, false], ["A", false, 202, 0, false], ["A", false, 25, 200, false],
        ["A", false, -2147483648, 0, false], ["Y", true, 0, 250, true], ["Y", true, 0, 199, true],
        ["Y", true, 0, 198, false]
    ])");
    for (const auto& row : rows) {
        T_WaitForTemperature wait(
            Params({{"axis", row[0]}, {"target", 200}, {"heat_only", row[1]}}));
        EXPECT_EQ(wait.IsReached(TemperatureRecord(row[2], row[3])), row[4]) << row.dump();
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
