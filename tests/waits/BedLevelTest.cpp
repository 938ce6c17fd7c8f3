// The bed-levelling run as it is put together: the grid, the points'
// parameters and order, the description and its updates.
#include "T_BedLevel.h"
#include "T_GCode.h"
#include "T_PointLevel.h"
#include "tasks/TaskTestSupport.h"

#include <stdexcept>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <boost/make_shared.hpp>

namespace {

using nlohmann::json;

json Settings(uint32_t xlimit, uint32_t ylimit, uint32_t xregions, uint32_t yregions) {
    return {{"recalculate", true},  {"enabled", true},      {"xlimit", xlimit}, {"ylimit", ylimit},
            {"xregions", xregions}, {"yregions", yregions}, {"samples", 1}};
}

// (xpos, ypos, number) of every point, in the order they run.
std::vector<std::vector<uint32_t>> Points(const Task::Pointer& run) {
    std::vector<std::vector<uint32_t>> points;
    for (const auto& point : run->GetSubTasks()) {
        EXPECT_EQ(point->GetName(), "T_PointLevel");
        EXPECT_EQ(point->GetProperty<uint32_t>("samples"), 1u);
        points.push_back({point->GetProperty<uint32_t>("xpos"),
                          point->GetProperty<uint32_t>("ypos"),
                          point->GetProperty<uint32_t>("number")});
    }
    return points;
}

std::string Description(const Task::Pointer& task) {
    return task->GetProperty<std::string>("description");
}

using P = std::vector<std::vector<uint32_t>>;

TEST(BedLevelGrid, DefaultSettingsRunASerpentine) {
    auto run = TaskManager::CreateTask<T_BedLevel>(Settings(99200, 96500, 2, 2));
    EXPECT_EQ(run->GetName(), "T_BedLevel");
    EXPECT_EQ(Points(run), (P{{0, 0, 0}, {49600, 0, 1}, {49600, 48250, 3}, {0, 48250, 2}}));
    EXPECT_EQ(Description(run), "Level Bed|{Enabled}|{0 / 4 samples}");
}

TEST(BedLevelGrid, FarEdgesAreNeverProbed) {
    auto run = TaskManager::CreateTask<T_BedLevel>(Settings(100, 100, 3, 2));
    EXPECT_EQ(Points(run),
              (P{{0, 0, 0}, {33, 0, 1}, {66, 0, 2}, {66, 50, 5}, {33, 50, 4}, {0, 50, 3}}));
    EXPECT_EQ(Description(run), "Level Bed|{Enabled}|{0 / 6 samples}");
}

TEST(BedLevelGrid, OneColumnRunsRowAfterRow) {
    auto run = TaskManager::CreateTask<T_BedLevel>(Settings(1000, 900, 1, 3));
    EXPECT_EQ(Points(run), (P{{0, 0, 0}, {0, 300, 1}, {0, 600, 2}}));
}

TEST(BedLevelGrid, WithoutRecalculateNothingIsProbed) {
    auto run = TaskManager::CreateTask<T_BedLevel>({{"recalculate", false}, {"enabled", false}});
    EXPECT_TRUE(run->GetSubTasks().empty());
    EXPECT_EQ(Description(run), "Level Bed|{Disabled}|");
    EXPECT_TRUE(run->CompletionConditionsMet());
}

TEST(BedLevelGrid, BadSettingsMakeNoTask) {
    EXPECT_THROW(TaskManager::CreateTask<T_BedLevel>(Settings(100, 100, 0, 2)), std::exception);
    EXPECT_THROW(TaskManager::CreateTask<T_BedLevel>(Settings(100, 100, 2, 0)), std::exception);
    EXPECT_THROW(TaskManager::CreateTask<T_BedLevel>(Settings(100, 100, 200, 200)), std::exception);
    json missing = Settings(100, 100, 2, 2);
    missing.erase("samples");
    EXPECT_THROW(TaskManager::CreateTask<T_BedLevel>(missing), std::exception);
    EXPECT_THROW(TaskManager::CreateTask<T_BedLevel>({{"recalculate", true}}), std::exception);
    EXPECT_THROW(TaskManager::CreateTask<T_BedLevel>({{"recalculate", false}}), std::exception);
    EXPECT_THROW(TaskManager::CreateTask<T_BedLevel>({{"recalculate", "yes"}, {"enabled", true}}),
                 std::exception);
}

TEST(PointLevel, ProbesInFiveSteps) {
    auto point = boost::make_shared<T_PointLevel>(
        boost::make_shared<json>(json{{"xpos", 1}, {"ypos", 2}, {"samples", 1}, {"number", 0}}),
        [] {});
    std::vector<std::string> names;
    for (const auto& child : point->GetSubTasks()) {
        names.push_back(child->GetName());
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"T_Wait", "T_GroupMotionComplete", "T_SendToLimitSwitch",
                                        "T_LeaveLimitSwitch", "T_MotionComplete"}));
    EXPECT_THROW(T_PointLevel(boost::make_shared<json>(json::object()), nullptr),
                 std::invalid_argument);
}

// Each finished point raises the count; the update goes out under the id of
// the top-level task the UI knows.
TEST(BedLevelDescription, UpdatesCarryTheTopLevelId) {
    TaskManagerProbe::Halt();
    UiCollector ui;
    ui.Install();
    TaskManager& manager = TaskManager::GetInstance();

    auto alone = TaskManager::CreateTask<T_BedLevel>(Settings(99200, 96500, 2, 2));
    manager.AddTask(alone);
    auto* run = static_cast<T_BedLevel*>(alone.get());
    run->OnPointFinished();
    EXPECT_EQ(run->BuildDescription(), "Level Bed|{Enabled}|{1 / 4 samples}");

    auto line = boost::make_shared<T_GCode>(boost::make_shared<json>(json{{"description", "G29"}}));
    auto child = TaskManager::CreateTask<T_BedLevel>(Settings(99200, 96500, 2, 2));
    line->AddChild(child);
    manager.AddTask(line);
    for (int i = 0; i < 4; ++i) {
        static_cast<T_BedLevel*>(child.get())->OnPointFinished();
    }
    manager.UpdateTasks();

    std::vector<json> descriptions;
    for (const auto& update : ui.Updates()) {
        if (update.contains("description") && update.size() == 2) {
            descriptions.push_back(update);
        }
    }
    ASSERT_EQ(descriptions.size(), 5u);
    EXPECT_EQ(descriptions[0], (json{{"id", alone->GetId()},
                                     {"description", "Level Bed|{Enabled}|{1 / 4 samples}"}}));
    EXPECT_EQ(descriptions[4], (json{{"id", line->GetId()},
                                     {"description", "Level Bed|{Enabled}|{4 / 4 samples}"}}));
    // The task's own description keeps its first value.
    EXPECT_EQ(Description(child), "Level Bed|{Enabled}|{0 / 4 samples}");
    TaskManagerProbe::Halt();
    manager.SetSendCallback(nullptr);
}

}  // namespace
