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
    static std::string Description(const boost::shared_ptr<Task>& task) {
        return Form(task).value("description", "");
    }

    GCodeManager& manager_ = GCodeManager::GetInstance();
    TaskManager& tasks_ = TaskManager::GetInstance();
    TempDir dir_;
};

// Each task of a program waits for its predecessor to finish and is linked to it.
void ExpectChain(const Tasks& program) {
    for (size_t i = 1; i < program.size(); ++i) {
        EXPECT_EQ(program[i - 1]->GetNextInQueueId(), program[i]->GetId()) << i;
        EXPECT_FALSE(program[i]->StartConditionsMet()) << i;
        const uint32_t before = program[i - 1]->GetStatus();
        program[i - 1]->SetStatus(Task::FINISHED);
        EXPECT_TRUE(program[i]->StartConditionsMet()) << i;
        program[i - 1]->SetStatus(before);
    }
}

TEST_F(ProgramLoading, EverySupportedLineBecomesOneChainedFileTask) {
    // Comment and empty lines count: the G90 stands on line 5.
    const Tasks program = Load("; start\n\n;\r\n   \nG90\r\nM201 S1000\ng090 x1 ; again\n");
    ASSERT_EQ(program.size(), 2u);
    ExpectChain(program);
    EXPECT_EQ(Form(program[0])["line_number"], "5");
    EXPECT_EQ(Form(program[1])["line_number"], "7");
    EXPECT_EQ(Form(program[1])["gcode_command"], "G090 X1");
    for (const auto& task : program) {
        EXPECT_EQ(task->GetName(), "T_GCode");
        EXPECT_EQ(task->GetOrigin(), "File");
        EXPECT_EQ(Description(task), "~3Absolute Positioning");
        EXPECT_TRUE(task->GetSubTasks().empty());
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
    ASSERT_EQ(program.size(), 1u);
    EXPECT_FALSE(program[0]->HasBreakpoint());
}

TEST_F(ProgramLoading, AProgramChainsBehindTheLastWaitingTask) {
    const Tasks first = Load("G90\n");
    const Tasks second = Load("G90\n");
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(first[0]->GetNextInQueueId(), second[0]->GetId());
    EXPECT_FALSE(second[0]->StartConditionsMet());
    first[0]->SetStatus(Task::FINISHED);
    EXPECT_TRUE(second[0]->StartConditionsMet());
}

TEST_F(ProgramLoading, AFileThatCannotBeOpenedQueuesNothing) {
    testing::internal::CaptureStderr();
    manager_.LoadProgram(dir_.Path() + "/missing.gcode", true);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error opening the file\n");
    EXPECT_TRUE(manager_.GetProgramTasks().empty());
    EXPECT_EQ(TaskManagerProbe::TableSize(), 0u);
}

TEST_F(ProgramLoading, TerminalLines) {
    // A supported code without a handler needs no task; an unsupported one fails.
    EXPECT_TRUE(manager_.ProcessLine(GCode("M201 S1000", 0), false));
    EXPECT_FALSE(manager_.ProcessLine(GCode("M105", 0), false));
    EXPECT_EQ(TaskManagerProbe::TableSize(), 0u);

    const Tasks program = Load("G90\n");
    ASSERT_TRUE(manager_.ProcessLine(GCode("G90\r", 0), false));
    const auto terminal = tasks_.GetLastTask();
    ASSERT_NE(terminal, program[0]);
    EXPECT_EQ(terminal->GetOrigin(), "Terminal");
    EXPECT_FALSE(Form(terminal).contains("line_number"));
    EXPECT_EQ(Form(terminal)["gcode_command"], "G90\r");
    EXPECT_EQ(program[0]->GetNextInQueueId(), terminal->GetId());
    EXPECT_EQ(manager_.GetProgramTasks().size(), 1u) << "not part of the program";
}

TEST_F(ProgramLoading, AnInvalidLineBecomesACancelledTaskThatHaltsTheProgram) {
    const Tasks program = Load("G90\nG92\nG90\n");
    ASSERT_EQ(program.size(), 3u);
    const auto& error = program[1];
    EXPECT_EQ(error->GetName(), "T_GCode");
    EXPECT_TRUE(error->IsStatus(Task::CANCELLED));
    EXPECT_TRUE(error->GetSubTasks().empty()) << "the handler is not called";
    const json form = Form(error);
    EXPECT_EQ(form["description"], "~3GCode Error");
    EXPECT_EQ(form["cancellation_reason"],
              "<gcode_error>At least one of the following parameters is required: X, Y, Z, E"
              "</gcode_error>");
    EXPECT_EQ(error->GetProperty<std::string>("gcode_command"), "G92");
    EXPECT_EQ(error->GetProperty<std::string>("line_number"), "2");
    EXPECT_EQ(error->GetNextInQueueId(), program[2]->GetId());
    EXPECT_FALSE(program[2]->StartConditionsMet()) << "a cancelled predecessor never finishes";
}

TEST(MakeTaskJson, LineNumberAsTextOnlyForFileLines) {
    GCodeManager& manager = GCodeManager::GetInstance();
    EXPECT_EQ(manager.MakeTaskJson(GCode("g28 x ; home", 12)).dump(),
              R"({"gcode_command":"G28 X","line_number":"12"})");
    EXPECT_EQ(manager.MakeTaskJson(GCode("G28", 0)).dump(), R"({"gcode_command":"G28"})");
}

}  // namespace

TEST_F(ProgramLoading, ConsecutiveMovesBecomeOneGroupInTheChain) {
    const auto program = Load("G28\nG1 X10\nG0 Y5 F3000\nM104 S200\nG1 Z1\n");
    ASSERT_EQ(program.size(), 4u);
    EXPECT_EQ(program[1]->GetName(), "T_LinearGroup");
    EXPECT_EQ(Description(program[1]), "Linear Group||");
    EXPECT_EQ(Form(program[1])["origin"], "File");
    // Moves at the end of the file form the last task.
    EXPECT_EQ(program[3]->GetName(), "T_LinearGroup");
    EXPECT_EQ(Description(program[3]), "~3Linear Move");
    ExpectChain(program);
    // F on a move is modal: it holds for later lines and programs.
    EXPECT_EQ(manager_.GetFeedrate(), 3000.0);
}

TEST_F(ProgramLoading, AnUnreadableMoveFailsTheLoadAndLeavesNothingPending) {
    EXPECT_THROW(Load("G1 X10\nG1 XA\nG90\n"), std::invalid_argument);
    EXPECT_TRUE(manager_.GetProgramTasks().empty());
    // The next load starts clean: no move of the failed one joins its group.
    const auto program = Load("G90\nG1 X1\n");
    ASSERT_EQ(program.size(), 2u);
    EXPECT_EQ(Description(program[1]), "~3Linear Move");
}

TEST_F(ProgramLoading, ATerminalMoveIsQueuedAtOnce) {
    ASSERT_TRUE(manager_.ProcessLine(GCode("G1 X5", 0), false));
    const auto group = tasks_.GetLastTask();
    ASSERT_TRUE(group);
    EXPECT_EQ(group->GetName(), "T_LinearGroup");
    EXPECT_EQ(Form(group)["origin"], "Terminal");
    group->SetStatus(Task::FINISHED);  // the next test's chain must not wait for it
}
