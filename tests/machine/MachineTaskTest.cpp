// Homing tasks without a controller: which steps each axis gets, invalid
// axes, and what the conditions answer before any record.
#include "DataRecordWatcher.h"
#include "T_CENTER_ON_ZERO.h"
#include "T_Home.h"
#include "T_LeaveLimitSwitch.h"
#include "T_SendToLimitSwitch.h"
#include "T_Wait_For_XY.h"
#include "tasks/TaskTestSupport.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

Task::Parameters Params(json value) {
    return boost::make_shared<json>(std::move(value));
}

}  // namespace

TEST(HomingTask, ZByEitherNameWaitsAndCentresFirstOtherAxesOnlyJog) {
    for (const auto& [axis, steps] :
         std::vector<std::pair<std::string, size_t>>{{"Z", 4}, {"C", 4}, {"X", 2}, {"B", 2}}) {
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
