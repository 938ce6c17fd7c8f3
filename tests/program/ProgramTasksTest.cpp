// Program loading and line processing in the process, with the task worker
// held still: chains, breakpoints and terminal lines, and the task tree of
// every supported code built through the handler table.
#include "GCodeManager.h"
#include "T_GCode.h"
#include "T_Wait.h"
#include "TempDir.h"
#include "TemperatureConversion.h"
#include "tasks/TaskTestSupport.h"

#include <algorithm>

#include <gtest/gtest.h>

using nlohmann::json;
using Pointer = boost::shared_ptr<Task>;
using Tasks = std::vector<Pointer>;

namespace {

class ProgramTasks : public testing::Test {
  protected:
    void SetUp() override {
        TaskManagerProbe::Halt();
        // A task left waiting by an earlier test would hold the next chain.
        if (auto last = TaskManager::GetInstance().GetLastTask()) {
            last->SetStatus(Task::FINISHED);
        }
    }
    void TearDown() override { TaskManagerProbe::Halt(); }

    // Loads `text` as a file and returns the program's tasks.
    Tasks Load(const std::string& text, bool execute = true) {
        manager_.LoadProgram(dir_.WriteFile("program.gcode", text), execute);
        return manager_.GetProgramTasks();
    }
    // The tree of one terminal line.
    static Pointer Build(const std::string& text) {
        EXPECT_TRUE(GCodeManager::GetInstance().ProcessLine(GCode(text, 0), false)) << text;
        auto root = TaskManager::GetInstance().GetLastTask();
        // Nothing runs here; the next line must not wait for this one.
        root->SetStatus(Task::FINISHED);
        return root;
    }
    static json Form(const Pointer& task) {
        json form;
        task->ToJson(form);
        task->FillStatus(form);
        return form;
    }
    static std::string Description(const Pointer& task) {
        return Form(task).value("description", "");
    }

    GCodeManager& manager_ = GCodeManager::GetInstance();
    TaskManager& tasks_ = TaskManager::GetInstance();
    TempDir dir_;
};
class ProgramLoading : public ProgramTasks {};
class HandlerTrees : public ProgramTasks {};

}  // namespace

TEST_F(ProgramLoading, EverySupportedLineBecomesOneTaskChainedBehindTheLastWaitingOne) {
    const Tasks first = Load("G90\n");
    // Comment and empty lines count: the G90 stands on line 5.
    const Tasks program = Load("; start\n\n;\r\n   \nG90\r\nM201 S1000\ng090 x1 ; again\n");
    ASSERT_EQ(program.size(), 2u);
    EXPECT_EQ(Form(program[0])["line_number"], "5");
    EXPECT_EQ(Form(program[1])["line_number"], "7");
    EXPECT_EQ(Form(program[1])["gcode_command"], "G090 X1");
    Tasks chain = {first[0], program[0], program[1]};
    for (size_t i = 1; i < chain.size(); ++i) {
        EXPECT_EQ(chain[i - 1]->GetNextInQueueId(), chain[i]->GetId()) << i;
        EXPECT_FALSE(chain[i]->StartConditionsMet()) << i;
        chain[i - 1]->SetStatus(Task::FINISHED);
        EXPECT_TRUE(chain[i]->StartConditionsMet()) << i;
    }
    for (const auto& task : program) {
        EXPECT_EQ(task->GetOrigin(), "File");
        EXPECT_FALSE(task->HasBreakpoint());
        EXPECT_EQ(tasks_.GetTask(task->GetId()), task) << "handed to the task manager";
    }
}

TEST_F(ProgramLoading, BreakpointsMarkTheNextQueuedTask) {
    Tasks program = Load("G90\n;BREAKPOINT\nM115\nT0\nG90\n  ;breakpoint  \n");
    ASSERT_EQ(program.size(), 2u);
    EXPECT_FALSE(program[0]->HasBreakpoint());
    EXPECT_TRUE(program[1]->HasBreakpoint()) << "the next supported line takes it";
    // The trailing breakpoint is dropped by the next load; without execute the
    // first task stops.
    program = Load("G90\nG90\n", false);
    ASSERT_EQ(program.size(), 2u);
    EXPECT_TRUE(program[0]->HasBreakpoint());
    EXPECT_FALSE(program[1]->HasBreakpoint());
    program = Load("G90\n", true);
    EXPECT_FALSE(program.at(0)->HasBreakpoint());
}

TEST_F(ProgramLoading, TerminalLines) {
    // A supported code without a handler needs no task; an unsupported one fails.
    EXPECT_TRUE(manager_.ProcessLine(GCode("M201 S1000", 0), false));
    EXPECT_FALSE(manager_.ProcessLine(GCode("M105", 0), false));
    EXPECT_EQ(TaskManagerProbe::TableSize(), 0u);

    const Tasks program = Load("G90\n");
    ASSERT_TRUE(manager_.ProcessLine(GCode("G90\r", 0), false));
    const auto terminal = tasks_.GetLastTask();
    EXPECT_EQ(terminal->GetOrigin(), "Terminal");
    EXPECT_FALSE(Form(terminal).contains("line_number"));
    EXPECT_EQ(Form(terminal)["gcode_command"], "G90\r");
    EXPECT_EQ(program[0]->GetNextInQueueId(), terminal->GetId());
    EXPECT_EQ(manager_.GetProgramTasks().size(), 1u) << "not part of the program";
    terminal->SetStatus(Task::FINISHED);
    // A move is queued at once, as a group of its own.
    ASSERT_TRUE(manager_.ProcessLine(GCode("G1 X5", 0), false));
    const auto group = tasks_.GetLastTask();
    EXPECT_EQ(group->GetName(), "T_LinearGroup");
    EXPECT_EQ(Form(group)["origin"], "Terminal");
    group->SetStatus(Task::FINISHED);  // the next test's chain must not wait for it
}

TEST_F(ProgramLoading, AnUnreadableMoveFailsTheLoadAndLeavesNothingPending) {
    EXPECT_THROW(Load("G1 X10\nG1 XA\nG90\n"), std::invalid_argument);
    EXPECT_TRUE(manager_.GetProgramTasks().empty());
    // The next load starts clean: no move of the failed one joins its group.
    const auto program = Load("G90\nG1 X1\n");
    ASSERT_EQ(program.size(), 2u);
    EXPECT_EQ(program[1]->GetProperty<std::string>("description"), "~3Linear Move");
}

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

TEST_F(ProgramLoading, AModeTheMachineDoesNotKeepHaltsTheProgramBeforeTheFirstMoveItWouldChange) {
    const std::string e_error = "error: E axis must be set to Relative Mode with M83.";
    const std::string xyz_error = "error: XYZ axes must be set to Absolute Mode with G90.";
    // Each row: a program and its tasks: "move" (a group of one), "group"
    // (of several), the line of any other task, or "error: " + its message.
    const std::vector<std::pair<std::string, std::vector<std::string>>> rows = {
        {"G1 X5\nG91\nG1 X5\nG1 X5\n", {"move", xyz_error, "move"}},
        {"G91\nG1 E5 F100\nG1 Z1\nG90\nG1 X1\n", {"move", xyz_error, "G90", "move"}},
        {"G91\nG90\nG1 X1\nG1 X2\n", {"G90", "group"}},
        {"M82\nG1 X5 Y5\nG1 E3\nG1 E3\n", {"move", e_error, "move"}},
        {"M82\nG28\nG1 X10\nM104 S0\nG1 E-1\n", {"G28", "move", "M104 S0", e_error}},
        // One slicer: "M82" at the start, "M83" before the first extrusion,
        // "M82" again after the last move.
        {"M82\nG28\nM83\nG1 X5 E1\nG1 X6 E1\nM82\nM104 S0\n", {"G28", "group", "M104 S0"}},
    };
    for (const auto& [text, expected] : rows) {
        SCOPED_TRACE(text);
        std::vector<std::string> seen;
        for (const auto& task : Load(text)) {
            const json form = Form(task);
            if (task->IsStatus(Task::CANCELLED)) {
                const std::string reason = form["cancellation_reason"];
                EXPECT_EQ(form["description"], "~3GCode Error");
                EXPECT_EQ(reason.rfind("<gcode_error>", 0), 0u);
                seen.push_back("error: " + reason.substr(13, reason.size() - 13 - 14));
            } else if (task->GetName() == "T_LinearGroup") {
                seen.push_back(form["description"] == "~3Linear Move" ? "move" : "group");
            } else {
                seen.push_back(form["gcode_command"]);
            }
        }
        EXPECT_EQ(seen, expected);
    }
}
