// The task tree of every supported code, built from terminal lines through the
// handler table: the parent's description and the children's parameters.
#include "GCodeManager.h"
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
        return task->GetProperty<std::string>("description");
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
        EXPECT_EQ(Param(tree->GetSubTasks()[0], "ms"), ms) << text;
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
