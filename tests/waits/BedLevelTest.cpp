// The bed-levelling run as it is put together: the grid, the points'
// parameters and order, the description and its updates.
#include "T_BedLevel.h"
#include "T_GCode.h"
#include "T_PointLevel.h"
#include "tasks/TaskTestSupport.h"

#include <gtest/gtest.h>
#include <boost/make_shared.hpp>

namespace {

using nlohmann::json;
using Points = std::vector<std::vector<uint32_t>>;

json Settings(uint32_t xlimit, uint32_t ylimit, uint32_t xregions, uint32_t yregions) {
    return {{"recalculate", true},  {"enabled", true},      {"xlimit", xlimit}, {"ylimit", ylimit},
            {"xregions", xregions}, {"yregions", yregions}, {"samples", 1}};
}

TEST(BedLevelGrid, PointsRunASerpentineThatNeverProbesTheFarEdges) {
    struct Row {
        json settings;
        Points points;  // xpos, ypos, number, in the order they run
        std::string description;
    };
    const Row rows[] = {
        {Settings(99200, 96500, 2, 2),
         {{0, 0, 0}, {49600, 0, 1}, {49600, 48250, 3}, {0, 48250, 2}},
         "Level Bed|{Enabled}|{0 / 4 samples}"},
        {Settings(100, 100, 3, 2),
         {{0, 0, 0}, {33, 0, 1}, {66, 0, 2}, {66, 50, 5}, {33, 50, 4}, {0, 50, 3}},
         "Level Bed|{Enabled}|{0 / 6 samples}"},
        {Settings(1000, 900, 1, 3),
         {{0, 0, 0}, {0, 300, 1}, {0, 600, 2}},
         "Level Bed|{Enabled}|{0 / 3 samples}"},
        {{{"recalculate", false}, {"enabled", false}}, {}, "Level Bed|{Disabled}|"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.settings.dump());
        auto run = TaskManager::CreateTask<T_BedLevel>(row.settings);
        Points points;
        for (const auto& point : run->GetSubTasks()) {
            EXPECT_EQ(point->GetProperty<uint32_t>("samples"), 1u);
            points.push_back({point->GetProperty<uint32_t>("xpos"),
                              point->GetProperty<uint32_t>("ypos"),
                              point->GetProperty<uint32_t>("number")});
        }
        EXPECT_EQ(points, row.points);
        EXPECT_EQ(run->GetProperty<std::string>("description"), row.description);
        EXPECT_EQ(run->CompletionConditionsMet(), row.points.empty());
    }
}

TEST(BedLevelGrid, BadSettingsMakeNoTask) {
    json missing = Settings(100, 100, 2, 2);
    missing.erase("samples");
    for (const json& settings :
         {Settings(100, 100, 0, 2), Settings(100, 100, 2, 0), Settings(100, 100, 200, 200), missing,
          json{{"recalculate", true}}, json{{"recalculate", false}},
          json{{"recalculate", "yes"}, {"enabled", true}}}) {
        EXPECT_THROW(TaskManager::CreateTask<T_BedLevel>(settings), std::exception) << settings;
    }
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
    ASSERT_EQ(descriptions.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(descriptions[i],
                  (json{{"id", line->GetId()},
                        {"description",
                         "Level Bed|{Enabled}|{" + std::to_string(i + 1) + " / 4 samples}"}}));
    }
    // The task's own description keeps its first value.
    EXPECT_EQ(child->GetProperty<std::string>("description"),
              "Level Bed|{Enabled}|{0 / 4 samples}");
    TaskManagerProbe::Halt();
    manager.SetSendCallback(nullptr);
}

}  // namespace
