// The task tree of every supported code, built from terminal lines through the
// handler table: the parent's description and the children's parameters.
#include "GCodeManager.h"
#include "T_Wait.h"
#include "TemperatureConversion.h"
#include "tasks/TaskTestSupport.h"

#include <algorithm>

#include <gtest/gtest.h>

using nlohmann::json;
using Pointer = boost::shared_ptr<Task>;

namespace {

class HandlerTrees : public testing::Test {
  protected:
    void SetUp() override { TaskManagerProbe::Halt(); }
    void TearDown() override { TaskManagerProbe::Halt(); }

    // The tree of one terminal line.
    static Pointer Build(const std::string& text) {
        EXPECT_TRUE(GCodeManager::GetInstance().ProcessLine(GCode(text, 0), false)) << text;
        auto root = TaskManager::GetInstance().GetLastTask();
        // Nothing runs here; the next line must not wait for this one.
        root->SetStatus(Task::FINISHED);
        return root;
    }
    static std::string Description(const Pointer& task) {
        json form;
        task->ToJson(form);
        task->FillStatus(form);
        return form.value("description", "");
    }
    static json Param(const Pointer& task, const std::string& key) {
        return task->GetProperty<json>(key);
    }
    // The class name and "axis" of every child, as "T_Home:X".
    static std::vector<std::string> Children(const Pointer& task) {
        std::vector<std::string> children;
        for (const auto& child : task->GetSubTasks()) {
            children.push_back(child->GetName() + ":" +
                               (child->HasProperty("axis") ? child->GetProperty<std::string>("axis")
                                                           : std::string()));
        }
        return children;
    }
    using Names = std::vector<std::string>;
};

}  // namespace

TEST_F(HandlerTrees, AbsolutePositioningHasNoChild) {
    const auto tree = Build("G90");
    EXPECT_EQ(Description(tree), "~3Absolute Positioning");
    EXPECT_TRUE(tree->GetSubTasks().empty());
    EXPECT_TRUE(GCodeManager::GetInstance().IsAbsoluteAxis("X"));
    EXPECT_FALSE(GCodeManager::GetInstance().IsAbsoluteAxis("E"));
}

TEST_F(HandlerTrees, DwellInSecondsOrMilliseconds) {
    const std::vector<std::tuple<std::string, std::string, int>> cases = {
        {"G4 S2", "Dwell|~2{2 seconds}", 2000},
        {"G4 S1", "Dwell|~2{1 second}", 1000},
        {"G4 P250", "Dwell|~2{250 ms}", 250},
        {"G4 S0.5 P100", "Dwell|~2{0.5 seconds}", 500},
        {"G4 S0.0999", "Dwell|~2{0.1 seconds}", 99},
        {"G4 S1e12", "Dwell|~2{1000000000000 seconds}", 2147483647},
    };
    for (const auto& [text, description, ms] : cases) {
        const auto tree = Build(text);
        EXPECT_EQ(Description(tree), description) << text;
        ASSERT_EQ(Children(tree), Names{"T_Wait:"}) << text;
        const auto wait = boost::dynamic_pointer_cast<T_Wait>(tree->GetSubTasks()[0]);
        ASSERT_TRUE(wait) << text;
        EXPECT_EQ(wait->Milliseconds(), static_cast<uint32_t>(ms)) << text;
    }
}

TEST_F(HandlerTrees, DefinePositionInCountsOfEachAxisOnTheLine) {
    auto tree = Build("G92 E0");
    EXPECT_EQ(Description(tree), "Define Position||{E}|");
    ASSERT_EQ(Children(tree), Names{"T_DefinePosition:E"});
    EXPECT_EQ(Param(tree->GetSubTasks()[0], "value"), 0);

    tree = Build("G92 Z1.5");
    EXPECT_EQ(Description(tree), "Define Position||{Z}|");
    EXPECT_EQ(Param(tree->GetSubTasks()[0], "value"), 2400);  // 1600 counts per mm

    tree = Build("G92 E-0.99 X10.00999 Y2");
    EXPECT_EQ(Description(tree), "Define Position||{X}{Y}{E}|");
    ASSERT_EQ(Children(tree),
              (Names{"T_DefinePosition:X", "T_DefinePosition:Y", "T_DefinePosition:E"}));
    EXPECT_EQ(Param(tree->GetSubTasks()[0], "value"), 4003);  // toward zero
    EXPECT_EQ(Param(tree->GetSubTasks()[2], "value"), -396);
}

TEST_F(HandlerTrees, SteppersOfTheAxesOnTheLineOrAll) {
    for (const char* off : {"M84", "M18", "M084"}) {
        const auto tree = Build(off);
        EXPECT_EQ(Description(tree), "Stepper Disable|{X}{Y}{Z}{E}|");
        EXPECT_EQ(Children(tree),
                  (Names{"T_MotorOff:X", "T_MotorOff:Y", "T_MotorOff:Z", "T_MotorOff:E"}));
    }
    auto tree = Build("M17 E");
    EXPECT_EQ(Description(tree), "Stepper Enable|{E}|");
    EXPECT_EQ(Children(tree), Names{"T_ServoHere:E"});
    tree = Build("M18 E Y");
    EXPECT_EQ(Description(tree), "Stepper Disable|{Y}{E}|");
    EXPECT_EQ(Children(tree), (Names{"T_MotorOff:Y", "T_MotorOff:E"}));
}

TEST_F(HandlerTrees, HomingOfTheChosenAxesCancelsTheLineWhenOneIsCancelled) {
    auto tree = Build("G28");
    EXPECT_EQ(Description(tree), "Home|{X}{Y}{Z}|");
    EXPECT_EQ(Children(tree), (Names{"T_Home:X", "T_Home:Y", "T_Home:Z"}));
    tree = Build("G28 Z");
    EXPECT_EQ(Description(tree), "Home|{Z}|");
    EXPECT_EQ(Children(tree), Names{"T_Home:Z"});
    tree = Build("G28 Y X");
    EXPECT_EQ(Description(tree), "Home|{X}{Y}|");
    EXPECT_EQ(Children(tree), (Names{"T_Home:X", "T_Home:Y"}));

    tree = Build("G28");
    tree->SetStatus(Task::INITIALIZING);
    UiCollector ui;
    ui.Install();
    TaskManager::GetInstance().UpdateTasks();
    ui.Clear();
    const auto children = tree->GetSubTasks();
    children[1]->Cancel("Cancelled by User Interface");
    EXPECT_TRUE(tree->IsStatus(Task::CANCELLED));
    TaskManager::GetInstance().UpdateTasks();
    const json expected = {{"id", tree->GetId()},
                           {"status", "CANCELLED"},
                           {"cancellation_reason", "Home X Cancelled"}};
    const auto updates = ui.Updates();
    EXPECT_NE(std::find(updates.begin(), updates.end(), expected), updates.end());
    for (const auto& child : children) {
        EXPECT_TRUE(child->IsStatus(Task::CANCELLED));
    }
}

TEST_F(HandlerTrees, HomingCallbacksDoNotKeepTheLineAlive) {
    boost::weak_ptr<Task> parent;
    Pointer child;
    {
        auto tree = GCodeManager::GetInstance().Handle_G28(GCode("G28 X", 0));
        parent = tree;
        child = tree->GetSubTasks()[0];
    }
    EXPECT_TRUE(parent.expired());
    child->Cancel("gone");  // the callback finds no parent and does nothing
    EXPECT_TRUE(child->IsStatus(Task::CANCELLED));
}

TEST_F(HandlerTrees, HeaterSetPointsTakeTheirTasksDescription) {
    auto tree = Build("M104 S0");
    ASSERT_EQ(Children(tree), Names{"T_SetTemperature:A"});
    auto child = tree->GetSubTasks()[0];
    EXPECT_EQ(Description(tree), Description(child));
    EXPECT_EQ(Param(child, "temperature"), 0.0);
    EXPECT_EQ(Param(child, "active"), false);

    tree = Build("M140 S60.5");
    ASSERT_EQ(Children(tree), Names{"T_SetTemperature:B"});
    child = tree->GetSubTasks()[0];
    EXPECT_EQ(Description(tree), Description(child));
    EXPECT_EQ(Param(child, "temperature"), 60.5);
    EXPECT_EQ(Param(child, "active"), true);
}

TEST_F(HandlerTrees, TemperatureWaitsAtLeastOrExactly) {
    auto tree = Build("M109 S215");
    EXPECT_EQ(Description(tree),
              "Wait for|{HotEnd}|{\xE2\x89\xA5"
              "215\xC2\xB0"
              "C}");
    ASSERT_EQ(Children(tree), Names{"T_WaitForTemperature:A"});
    auto child = tree->GetSubTasks()[0];
    EXPECT_EQ(Param(child, "target"), 215.0);
    EXPECT_EQ(Param(child, "heat_only"), true);
    EXPECT_EQ(Param(child, "voltage"), TemperatureToAnalogVolts(215.0));

    tree = Build("M190 R60");
    EXPECT_EQ(Description(tree),
              "Wait for|{Bed}|{60\xC2\xB0"
              "C}");
    ASSERT_EQ(Children(tree), Names{"T_WaitForTemperature:B"});
    child = tree->GetSubTasks()[0];
    EXPECT_EQ(Param(child, "target"), 60.0);
    EXPECT_EQ(Param(child, "heat_only"), false);

    // S wins over R; two decimals in the text.
    tree = Build("M190 R10 S59.999");
    EXPECT_EQ(Description(tree),
              "Wait for|{Bed}|{\xE2\x89\xA5"
              "60\xC2\xB0"
              "C}");
    EXPECT_EQ(Param(tree->GetSubTasks()[0], "target"), 59.999);
}

TEST_F(HandlerTrees, PartFanSpeedInPercentToOneDecimal) {
    const std::vector<std::tuple<std::string, double, double>> cases = {
        {"M106 S128", 128.0, 50.2},
        {"M106 S255", 255.0, 100.0},
        {"M107", 0.0, 0.0},
        {"M106 S300", 300.0, 117.6},
        {"M106 S1.275", 1.275, 0.5}};
    for (const auto& [text, speed, percentage] : cases) {
        const auto tree = Build(text);
        ASSERT_EQ(tree->GetSubTasks().size(), 1u) << text;
        const auto child = tree->GetSubTasks()[0];
        EXPECT_EQ(child->GetName(), "T_SetFanSpeed");
        EXPECT_EQ(Param(child, "fan"), 6) << text;
        EXPECT_EQ(Param(child, "speed"), speed) << text;
        EXPECT_DOUBLE_EQ(Param(child, "percentage").get<double>(), percentage) << text;
        EXPECT_EQ(Description(tree), Description(child)) << text;
    }
    // M106 without S builds what M107 builds.
    GCodeManager& manager = GCodeManager::GetInstance();
    const auto bare = manager.Handle_M106(GCode("M106", 0));
    EXPECT_EQ(Description(bare), Description(manager.Handle_M107(GCode("M107", 0))));
    EXPECT_EQ(Param(bare->GetSubTasks()[0], "speed"), 0.0);
}

TEST_F(HandlerTrees, LevelBedRunsOneBedLevellingWithTheCurrentGrid) {
    const auto tree = Build("G29");
    EXPECT_EQ(Description(tree), "Level Bed||");
    ASSERT_EQ(Children(tree), (Names{"T_BedLevel:"}));
    const auto level = tree->GetSubTasks()[0];
    EXPECT_EQ(Param(level, "enabled"), true);
    EXPECT_EQ(Param(level, "recalculate"), true);
    EXPECT_EQ(Param(level, "xregions"), 2);
}
