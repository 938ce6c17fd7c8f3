// Task classes without a controller: how homing is put together, what its
// conditions answer before any record, and invalid axes.
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

std::vector<std::string> Names(const std::vector<Task::Pointer>& tasks) {
    std::vector<std::string> names;
    for (const auto& task : tasks) {
        names.push_back(task->GetName());
    }
    return names;
}

}  // namespace

TEST(HomingTree, ZWaitsAndCentresFirstOtherAxesOnlyJog) {
    T_Home z(Params({{"axis", "Z"}}));
    EXPECT_EQ(Names(z.GetSubTasks()),
              (std::vector<std::string>{"T_Wait_For_XY", "T_CENTER_ON_ZERO", "T_SendToLimitSwitch",
                                        "T_LeaveLimitSwitch"}));
    T_Home c(Params({{"axis", "C"}}));
    EXPECT_EQ(c.GetSubTasks().size(), 4u);
    T_Home x(Params({{"axis", "X"}}));
    EXPECT_EQ(Names(x.GetSubTasks()),
              (std::vector<std::string>{"T_SendToLimitSwitch", "T_LeaveLimitSwitch"}));
}

TEST(HomingTree, SubTasksShareTheParameterObject) {
    auto data = Params({{"axis", "Y"}, {"description", "Home|{Y}|"}});
    T_Home home(data);
    (*data)["marker"] = 7;
    for (const auto& step : home.GetSubTasks()) {
        EXPECT_TRUE(step->HasProperty("marker"));
        EXPECT_EQ(step->GetParentId(), home.GetId());
    }
    json status;
    home.FillStatus(status);
    EXPECT_EQ(status, (json{{"axis", "Y"}}));
}

TEST(HomingTree, AnAxisWithoutSwitchIsRejectedAtConstruction) {
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

TEST(HomingConditions, NothingCompletesOnARecordThatHasNotArrived) {
    ASSERT_FALSE(DataRecordWatcher::GetInstance().GetRecord());
    T_SendToLimitSwitch send(Params({{"axis", "X"}}));
    T_LeaveLimitSwitch leave(Params({{"axis", "X"}}));
    T_CENTER_ON_ZERO centre(Params({{"axis", "Z"}}));
    EXPECT_FALSE(send.CompletionConditionsMet());
    EXPECT_FALSE(leave.CompletionConditionsMet());
    EXPECT_FALSE(centre.CompletionConditionsMet());
}

TEST(HomingConditions, WaitForXYReadsOnlyTheFlags) {
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
