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
};

}  // namespace

TEST_F(HandlerTrees, EachCodeBuildsItsTree) {
    const std::string fan = "T_SetFanSpeed: ";
    struct Row {
        std::string text;
        std::string description;  // "" when the line takes its only child's
        std::string children;     // class name and "axis" of each
        const char* parameters;   // of the children, by index
        int64_t dwell_ms = -1;
    };
    const Row rows[] = {
        {"G4 S1", "Dwell|~2{1 second}", "T_Wait: ", "{}", 1000},
        {"G4 P250", "Dwell|~2{250 ms}", "T_Wait: ", "{}", 250},
        {"G4 S0.5 P100", "Dwell|~2{0.5 seconds}", "T_Wait: ", "{}", 500},
        {"G4 S0.0999", "Dwell|~2{0.1 seconds}", "T_Wait: ", "{}", 99},
        {"G4 S1e12", "Dwell|~2{1000000000000 seconds}", "T_Wait: ", "{}", 2147483647},
        {"G92 Z1.5", "Define Position||{Z}|", "T_DefinePosition:Z ", R"({"0":{"value":2400}})"},
        // Counts are truncated toward zero.
        {"G92 E-0.99 X10.00999 Y2", "Define Position||{X}{Y}{E}|",
         "T_DefinePosition:X T_DefinePosition:Y T_DefinePosition:E ",
         R"({"0":{"value":4003},"2":{"value":-396}})"},
        {"M084", "Stepper Disable|{X}{Y}{Z}{E}|",
         "T_MotorOff:X T_MotorOff:Y T_MotorOff:Z T_MotorOff:E ", "{}"},
        {"M18 E Y", "Stepper Disable|{Y}{E}|", "T_MotorOff:Y T_MotorOff:E ", "{}"},
        {"M17 E", "Stepper Enable|{E}|", "T_ServoHere:E ", "{}"},
        {"G28", "Home|{X}{Y}{Z}|", "T_Home:X T_Home:Y T_Home:Z ", "{}"},
        {"G28 Y X", "Home|{X}{Y}|", "T_Home:X T_Home:Y ", "{}"},
        {"G29", "Level Bed||",
         "T_BedLevel: ", R"({"0":{"enabled":true,"recalculate":true,"xregions":2}})"},
        {"M104 S0", "", "T_SetTemperature:A ", R"({"0":{"temperature":0.0,"active":false}})"},
        {"M109 S215", "Wait for|{HotEnd}|{\u2265215\u00b0C}", "T_WaitForTemperature:A ",
         R"({"0":{"target":215.0,"heat_only":true}})"},
        {"M190 R10", "Wait for|{Bed}|{10\u00b0C}", "T_WaitForTemperature:B ",
         R"({"0":{"target":10.0,"heat_only":false}})"},
        // S wins over R; two decimals in the text.
        {"M190 R10 S59.999", "Wait for|{Bed}|{\u226560\u00b0C}", "T_WaitForTemperature:B ",
         R"({"0":{"target":59.999}})"},
        // The part fan, in percent to one decimal.
        {"M106 S300", "", fan, R"({"0":{"fan":6,"speed":300.0,"percentage":117.6}})"},
        {"M106 S1.275", "", fan, R"({"0":{"speed":1.275,"percentage":0.5}})"},
        {"M107", "", fan, R"({"0":{"fan":6,"speed":0.0,"percentage":0.0}})"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const auto tree = Build(row.text);
        const auto children = tree->GetSubTasks();
        std::string names;
        for (const auto& child : children) {
            names += child->GetName() + ":" +
                     (child->HasProperty("axis") ? child->GetProperty<std::string>("axis") : "") +
                     " ";
        }
        ASSERT_EQ(names, row.children);
        EXPECT_EQ(Description(tree),
                  row.description.empty() ? Description(children[0]) : row.description);
        const json parameters = json::parse(row.parameters);
        for (const auto& [index, expected] : parameters.items()) {
            for (const auto& [key, value] : expected.items()) {
                const json actual = children[std::stoul(index)]->GetProperty<json>(key);
                if (value.is_number_float()) {
                    EXPECT_NEAR(actual.get<double>(), value.get<double>(), 1e-9) << key;
                } else {
                    EXPECT_EQ(actual, value) << key;
                }
            }
        }
        if (row.dwell_ms >= 0) {
            EXPECT_EQ(boost::dynamic_pointer_cast<T_Wait>(children[0])->Milliseconds(),
                      static_cast<uint32_t>(row.dwell_ms));
        }
    }
    // The voltage the wait compares with is the set-point's.
    EXPECT_EQ(Build("M109 S215")->GetSubTasks()[0]->GetProperty<double>("voltage"),
              TemperatureToAnalogVolts(215.0));
}

TEST_F(HandlerTrees, ACancelledHomingCancelsItsLineWithoutKeepingItAlive) {
    const auto tree = Build("G28");
    tree->SetStatus(Task::INITIALIZING);
    UiCollector ui;
    ui.Install();
    const auto children = tree->GetSubTasks();
    children[1]->Cancel("Cancelled by User Interface");
    TaskManager::GetInstance().UpdateTasks();
    const json expected = {{"id", tree->GetId()},
                           {"status", "CANCELLED"},
                           {"cancellation_reason", "Home X Cancelled"}};
    const auto updates = ui.Updates();
    EXPECT_NE(std::find(updates.begin(), updates.end(), expected), updates.end());
    for (const auto& task : {tree, children[0], children[1], children[2]}) {
        EXPECT_TRUE(task->IsStatus(Task::CANCELLED));
    }
    auto line = GCodeManager::GetInstance().Handle_G28(GCode("G28 X", 0));
    const Pointer child = line->GetSubTasks()[0];
    const boost::weak_ptr<Task> weak = line;
    line.reset();
    EXPECT_TRUE(weak.expired()) << "the homing's callback keeps no line alive";
    child->Cancel("gone");  // and finds none to cancel
    EXPECT_TRUE(child->IsStatus(Task::CANCELLED));
}
