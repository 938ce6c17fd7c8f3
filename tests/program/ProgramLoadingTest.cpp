// Program loading and line processing in the process: chains, breakpoints,
// error tasks and terminal lines, with the task worker held still.
#include "GCodeManager.h"
#include "T_GCode.h"
#include "TempDir.h"
#include "tasks/TaskTestSupport.h"

#include <gtest/gtest.h>

using nlohmann::json;
using Tasks = std::vector<boost::shared_ptr<Task>>;

namespace {

class ProgramLoading : public testing::Test {
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
    static json Form(const boost::shared_ptr<Task>& task) {
        json form;
        task->ToJson(form);
        task->FillStatus(form);
        return form;
    }

    GCodeManager& manager_ = GCodeManager::GetInstance();
    TaskManager& tasks_ = TaskManager::GetInstance();
    TempDir dir_;
};

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
