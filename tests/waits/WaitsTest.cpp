// The motion waits and single-command tasks without a controller: how they
// are put together and how the clock reply is read.
#include "T_DefinePosition.h"
#include "T_GroupMotionComplete.h"
#include "T_MotionComplete.h"
#include "T_Wait.h"
#include "TaskManager.h"

#include <stdexcept>

#include <gtest/gtest.h>

using nlohmann::json;

TEST(GroupMotionComplete, OneParallelWaitPerAxisInOrder) {
    auto group = TaskManager::CreateTask<T_GroupMotionComplete>({{"axes", "XYZ"}});
    EXPECT_EQ(group->GetName(), "T_GroupMotionComplete");
    const auto children = group->GetSubTasks();
    ASSERT_EQ(children.size(), 3u);
    const char* axes[] = {"A", "B", "C"};
    for (size_t i = 0; i < children.size(); ++i) {
        EXPECT_EQ(children[i]->GetName(), "T_MotionComplete");
        EXPECT_EQ(children[i]->GetControllerAxis(), axes[i]);
        EXPECT_EQ(children[i]->GetParentId(), group->GetId());
    }
}

TEST(GroupMotionComplete, EmptyAxesHaveNothingToWaitFor) {
    auto group = TaskManager::CreateTask<T_GroupMotionComplete>({{"axes", ""}});
    EXPECT_TRUE(group->GetSubTasks().empty());
    EXPECT_TRUE(group->CompletionConditionsMet());
}

TEST(GroupMotionComplete, MissingAxesFailTheConstruction) {
    EXPECT_THROW(TaskManager::CreateTask<T_GroupMotionComplete>(json::object()), std::exception);
    EXPECT_THROW(TaskManager::CreateTask<T_GroupMotionComplete>({{"axes", 3}}), std::exception);
}

TEST(MotionComplete, NeedsItsAxis) {
    EXPECT_THROW(TaskManager::CreateTask<T_MotionComplete>(json::object()), std::exception);
    auto wait = TaskManager::CreateTask<T_MotionComplete>({{"axis", "Z"}, {"polarity", "Neg"}});
    EXPECT_EQ(wait->GetName(), "T_MotionComplete");
}

TEST(SingleCommand, NotCompleteBeforeItsCommand) {
    auto define = TaskManager::CreateTask<T_DefinePosition>({{"axis", "X"}, {"value", 4000}});
    EXPECT_EQ(define->GetName(), "T_DefinePosition");
    EXPECT_FALSE(define->CompletionConditionsMet());
}

TEST(Wait, NotCompleteBeforeItStarts) {
    auto wait = TaskManager::CreateTask<T_Wait>({{"ms", 0}});
    EXPECT_EQ(wait->GetName(), "T_Wait");
    EXPECT_FALSE(wait->CompletionConditionsMet());
}

TEST(Wait, ControllerTimeReply) {
    EXPECT_EQ(T_Wait::ParseControllerTime("123456.0000"), 123456);
    EXPECT_EQ(T_Wait::ParseControllerTime(" 99.9999"), 99);
    EXPECT_EQ(T_Wait::ParseControllerTime("-5.7000"), -5);
    EXPECT_EQ(T_Wait::ParseControllerTime(""), 0);
    EXPECT_EQ(T_Wait::ParseControllerTime("?"), 0);
    EXPECT_EQ(T_Wait::ParseControllerTime("nan"), 0);
    // Past 31 bits the clock wraps as the 32-bit sample counter does.
    EXPECT_EQ(T_Wait::ParseControllerTime("2147483648.0000"), INT32_MIN);
    EXPECT_EQ(T_Wait::ParseControllerTime("4294967301.0000"), 5);
    EXPECT_EQ(T_Wait::ParseControllerTime("1e300"), 0);
}
