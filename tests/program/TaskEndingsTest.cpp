// How work ends when the machine or the user ends it from the side, through
// the real server binary and the virtual printer: the UI hears every task's
// last status, a jog ends with the UI that left, a signal or a second UI stops
// what the tasks set going, a heat wait follows its heater, and a file's
// moves never run in a mode the machine does not keep.
#include "ServerPrinterTest.h"

#include <csignal>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using sim::Controller;
using sim::PrinterSnapshot;

class TaskEndings : public ServerPrinterTest {
  protected:
    TaskEndings() : ServerPrinterTest(sim::VirtualPrinterOptions{0, 0, 8.0, false}) {}
    void SetUp() override {
        ListenUi();
        OpenMain();
        OpenTemperature();
    }
    json SetTemperature(const std::string& axis, double degrees) {
        return {{"command", "setTemperature"}, {"axis", axis}, {"temperature", degrees}};
    }
    // Sets "Print", "Jog" or "HeatWait" going with both heaters on; true once
    // the printer shows it.
    bool Begin(const std::string& work) {
        client_.Send(SetTemperature("B", 50));
        if (work == "HeatWait") {
            Type("M109 S200");
            return !Await("M109 S200", "RUNNING").is_null();
        }
        client_.Send(SetTemperature("A", 200));
        if (work == "Jog") {
            client_.Send({{"command", "jogAxis"},
                          {"axis", "X"},
                          {"polarity", "Pos"},
                          {"speed", "2000"},
                          {"description", "Jog"}});
        } else {
            Run(Zigzag(2000));
        }
        return printer_.WaitUntil(
            [](const PrinterSnapshot& p) { return p.Moving(0) && p.hot_end_target_c > 0; }, 10s);
    }
};

// --- every task the UI was told of ends in its datagrams ---

struct Refusal {
    const char* name;
    const char* program;
    const char* refused;  // the command of the start that the controller refuses, late
};

void PrintTo(const Refusal& row, std::ostream* out) {
    *out << row.name;
}

class RefusedStart : public TaskEndings, public testing::WithParamInterface<Refusal> {};

TEST_P(RefusedStart, LeavesNoTaskThatTheUiLastSawWaiting) {
    const Refusal& row = GetParam();
    printer_.RejectCommand(Controller::kMain, row.refused, "refused");
    printer_.HoldReplies(Controller::kMain, row.refused, 700ms, 1);
    Run(row.program);
    // The worker waits for the refusal inside the start: the lines typed
    // meanwhile are parked until its next loop.
    ASSERT_TRUE(printer_.WaitForCommand(Controller::kMain, row.refused, 5s));
    const std::vector<std::string> typed = {"G4 P10", "M104 S0", "G4 P20"};
    for (const auto& line : typed) {
        Type(line);
    }
    client_.Sync();
    for (const auto& line : typed) {
        EXPECT_EQ(Await(line, "CANCELLED", -1, 5s).value("cancellation_reason", ""),
                  "Previous Task in Queue Cancelled")
            << line << testing::PrintToString(tasks_);
    }
    for (const auto& [id, task] : tasks_) {
        const std::string status = task.value("status", "");
        EXPECT_TRUE(status == "CANCELLED" || status == "FINISHED") << task.dump();
    }
}

INSTANTIATE_TEST_SUITE_P(AtTheStart, RefusedStart,
                         testing::Values(Refusal{"group", "G1 X10 F6000\n", "BGS"},
                                         Refusal{"homing", "G28 X\n", "BGA"}),
                         [](const testing::TestParamInfo<Refusal>& info) {
                             return std::string(info.param.name);
                         });

// --- a jog ends with the UI that asked to finish ---

class JogLeftRunning : public TaskEndings, public testing::WithParamInterface<const char*> {};

TEST_P(JogLeftRunning, StopsAndTheServerEnds) {
    const std::string axis = GetParam();
    const int index = axis == "E" ? 3 : 0;
    client_.Send(SetTemperature("A", 40));
    client_.Send({{"command", "jogAxis"},
                  {"axis", axis},
                  {"polarity", "Pos"},
                  {"speed", "2000"},
                  {"description", "Jog"}});
    ASSERT_TRUE(
        printer_.WaitUntil([index](const PrinterSnapshot& p) { return p.Moving(index); }, 5s));
    FinishAndLeave(0, 5s);
    // Stopped: at most the deceleration is left.
    EXPECT_TRUE(
        printer_.WaitUntil([index](const PrinterSnapshot& p) { return !p.Moving(index); }, 1s));
    EXPECT_EQ(printer_.Snapshot().hot_end_target_c, 0.0);
}

INSTANTIATE_TEST_SUITE_P(Axes, JogLeftRunning, testing::Values("E", "X"));

// --- a program halted behind a line in error ends with the UI that left ---

struct Halted {
    const char* name;
    const char* program;
    const char* error;  // the line the program halts at
};

void PrintTo(const Halted& row, std::ostream* out) {
    *out << row.name;
}

class HaltedProgram : public TaskEndings, public testing::WithParamInterface<Halted> {};

TEST_P(HaltedProgram, IsCancelledOnceTheMovesBeforeItEndAndTheServerEnds) {
    const Halted& row = GetParam();
    Run(row.program);
    ASSERT_EQ(End(row.error), "CANCELLED") << testing::PrintToString(tasks_);
    ASSERT_FALSE(Await("M104 S0", "INITIALIZING").is_null());
    ASSERT_EQ(End("M104 S40"), "FINISHED");
    EXPECT_EQ(printer_.Snapshot().hot_end_target_c, 40.0);
    // Asked while the moves before the error (most likely) still run: they
    // are waited for.
    FinishAndLeave();
    EXPECT_EQ(End("T_LinearGroup", 0), "FINISHED");
    EXPECT_EQ(End("M104 S0"), "CANCELLED");
    EXPECT_EQ(Reason("M104 S0"), "User Interface closed while finishing");
    EXPECT_EQ(printer_.Snapshot().hot_end_target_c, 0.0);
    EXPECT_EQ(printer_.Snapshot().bed_target_c, 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Files, HaltedProgram,
    testing::Values(
        Halted{"AbsoluteExtruder",
               "M104 S40\nG1 X20 F1200\nG1 X40\nG1 X60\nM82\nG1 X5 E1\nM104 S0\n", "G1 X5 E1"},
        Halted{"RelativeEndCode",
               "M104 S40\nM140 S30\nG1 X20 F1200\nG1 X40\nG1 X60\nG91\nG1 E-2 Z0.2\nG1 X5 Y5\n"
               "G1 Z10\nG90\nG1 X0 Y200\nM104 S0\nM140 S0\nM84\n",
               "G1 E-2 Z0.2"},
        Halted{"ValidationError", "M104 S40\nG1 X20 F1200\nG1 X40\nG1 X60\nM104 T0\nM104 S0\n",
               "M104 T0"}),
    [](const testing::TestParamInfo<Halted>& info) { return std::string(info.param.name); });

// --- a task that needs a controller that is not open fails at once ---

struct ClosedController {
    const char* name;
    bool main;  // which controller is open
    const char* line;
    const char* reason;
};

void PrintTo(const ClosedController& row, std::ostream* out) {
    *out << row.name;
}

class NotOpen : public TaskEndings, public testing::WithParamInterface<ClosedController> {
  protected:
    void SetUp() override {
        ListenUi();
        if (GetParam().main) {
            OpenMain();
        } else {
            OpenTemperature();
        }
    }
};

TEST_P(NotOpen, CancelsTheLineNamingTheControllerAndTheLinesBehind) {
    const ClosedController& row = GetParam();
    // One file, so that the line behind is queued before the first one fails.
    Run(std::string(row.line) + "\nM104 S0\n");
    const json line = Await(row.line, "CANCELLED", -1, 2s);
    ASSERT_FALSE(line.is_null()) << testing::PrintToString(tasks_);
    EXPECT_EQ(line.value("cancellation_reason", ""),
              std::string("Task Execution Error : ") + row.reason);
    EXPECT_EQ(End("M104 S0"), "CANCELLED");
    EXPECT_EQ(Reason("M104 S0"), "Previous Task in Queue Cancelled");
    FinishAndLeave();
}

INSTANTIATE_TEST_SUITE_P(
    Lines, NotOpen,
    testing::Values(ClosedController{"Dwell", false, "G4 P500", "Main controller not open"},
                    ClosedController{"Homing", false, "G28", "Main controller not open"},
                    ClosedController{"Heater", true, "M109 S40",
                                     "Temperature controller not open"}),
    [](const testing::TestParamInfo<ClosedController>& info) {
        return std::string(info.param.name);
    });

// --- a signal ends the server as the UI's close does ---

class SignalDuring : public TaskEndings,
                     public testing::WithParamInterface<std::tuple<int, const char*>> {};

TEST_P(SignalDuring, StopsTheAxesSwitchesTheHeatersOffAndExitsWithZero) {
    const auto [signal, work] = GetParam();
    ASSERT_TRUE(Begin(work));
    server_.Signal(signal);
    EXPECT_EQ(server_.WaitForExit(15s), 0) << server_.Stderr();
    const PrinterSnapshot after = printer_.Snapshot();
    EXPECT_TRUE(after.Standing());
    EXPECT_EQ(after.hot_end_target_c, 0.0);
    EXPECT_EQ(after.bed_target_c, 0.0);
}

INSTANTIATE_TEST_SUITE_P(EachSignal, SignalDuring,
                         testing::Combine(testing::Values(SIGINT, SIGTERM, SIGHUP),
                                          testing::Values("Print", "Jog", "HeatWait")),
                         [](const testing::TestParamInfo<SignalDuring::ParamType>& info) {
                             const int signal = std::get<0>(info.param);
                             return std::string(std::get<1>(info.param)) +
                                    (signal == SIGINT    ? "Sigint"
                                     : signal == SIGTERM ? "Sigterm"
                                                         : "Sighup");
                         });

struct CloseThenSignal {
    const char* name;  // whose close: a signal's, the UI's, or a finish's on the worker
    int status;
};

class SignalDuringTheClose : public TaskEndings,
                             public testing::WithParamInterface<CloseThenSignal> {};

TEST_P(SignalDuringTheClose, EndsTheServerAtOnceOnlyAfterASignal) {
    const CloseThenSignal& row = GetParam();
    ASSERT_TRUE(Begin("Jog"));
    // The close's stop is carried out, but its reply keeps the close waiting
    // (within the limit, so that the close can still end well).
    printer_.HoldReplies(Controller::kMain, "ST", 4s, 1);
    const std::string close = row.name;
    if (close == "Signal") {
        server_.Signal(SIGTERM);
    } else if (close == "Finish") {
        Leave();  // the jog is cancelled, then the worker closes
    } else {
        client_.Close();
    }
    ASSERT_TRUE(printer_.WaitForCommand(Controller::kMain, "ST", 5s));
    server_.Signal(SIGINT);
    EXPECT_EQ(server_.WaitForExit(15s), row.status) << server_.Stderr();
    EXPECT_EQ(server_.Stderr().find("SIGINT ended the server before its close was done") !=
                  std::string::npos,
              row.status != 0)
        << server_.Stderr();
}

INSTANTIATE_TEST_SUITE_P(Closes, SignalDuringTheClose,
                         testing::Values(CloseThenSignal{"Signal", 2}, CloseThenSignal{"Ui", 0},
                                         CloseThenSignal{"Finish", 0}),
                         [](const testing::TestParamInfo<CloseThenSignal>& info) {
                             return std::string(info.param.name);
                         });

// --- a second UI drops the first one's tasks and stops what they set moving ---

TEST_F(TaskEndings, ASecondUiFindsTheFirstOnesPrintStoppedAndItsHeatersAsTheyWere) {
    ASSERT_TRUE(Begin("Print"));
    JsonClient second(server_.Port());
    UdpReceiver second_ui;
    second.Send({{"command", "uiEndpoint"}, {"port", second_ui.Port()}});
    // Its first command is handled once the old tasks are dropped.
    ASSERT_TRUE(second_ui.ReceiveCommand("uiPong"));
    EXPECT_TRUE(printer_.Snapshot().Standing());
    EXPECT_EQ(printer_.Snapshot().hot_end_target_c, 200.0);
    second.Send({{"command", "printTasks"}});
    const auto listed = second_ui.ReceiveCommand("printTasks");
    ASSERT_TRUE(listed);
    EXPECT_EQ(*listed, (json{{"command", "printTasks"}}));
}

// --- a heat wait follows its heater ---

struct HeaterChange {
    const char* name;
    const char* wait;  // the line that waits
    const char* axis;  // the heater "setTemperature" changes meanwhile
    double degrees;
    const char* status;  // how the wait's line ends
    const char* reason;
};

void PrintTo(const HeaterChange& row, std::ostream* out) {
    *out << row.name;
}

class HeatWait : public TaskEndings, public testing::WithParamInterface<HeaterChange> {};

TEST_P(HeatWait, IsJudgedAgainstTheSetPointInForce) {
    const HeaterChange& row = GetParam();
    Type(row.wait);
    Type("G4 P10");
    ASSERT_FALSE(Await(row.wait, "RUNNING").is_null());
    client_.Send(SetTemperature(row.axis, row.degrees));
    const json wait = Await(row.wait, row.status);
    ASSERT_FALSE(wait.is_null()) << testing::PrintToString(tasks_);
    EXPECT_EQ(wait.value("cancellation_reason", ""), row.reason);
    EXPECT_FALSE(Await("G4 P10", std::string(row.status) == "FINISHED" ? "FINISHED" : "CANCELLED")
                     .is_null());
    FinishAndLeave(0, 5s);
    EXPECT_EQ(printer_.Snapshot().hot_end_target_c, 0.0);
    EXPECT_EQ(printer_.Snapshot().bed_target_c, 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Lowered, HeatWait,
    testing::Values(HeaterChange{"HotEndLowered", "M109 S200", "A", 30, "FINISHED", ""},
                    HeaterChange{"HotEndOff", "M109 S200", "A", 0, "CANCELLED",
                                 "HotEnd switched off while waiting for its temperature"},
                    HeaterChange{"HotEndExactLowered", "M109 R200", "A", 30, "FINISHED", ""},
                    HeaterChange{"BedLowered", "M190 S100", "B", 30, "FINISHED", ""},
                    HeaterChange{"BedOff", "M190 S100", "B", 0, "CANCELLED",
                                 "Bed switched off while waiting for its temperature"}),
    [](const testing::TestParamInfo<HeaterChange>& info) { return std::string(info.param.name); });

// --- no move runs in a mode the machine does not keep ---

TEST_F(TaskEndings, AFileThatSwitchesToRelativeAxesHaltsBeforeTheMoveItWouldChange) {
    Run("G4 P1\nG1 X5 F6000\nG91\nG1 X5\nG1 X5\n");
    const json error = Await("G1 X5", "CANCELLED");
    ASSERT_FALSE(error.is_null()) << testing::PrintToString(tasks_);
    EXPECT_EQ(error["cancellation_reason"],
              "<gcode_error>XYZ axes must be set to Absolute Mode with G90.</gcode_error>");
    EXPECT_EQ(error["line_number"], "4");
    EXPECT_FALSE(Await("T_LinearGroup", "FINISHED", 0).is_null());
    const auto stands = [](const PrinterSnapshot& p) { return !p.Moving(0); };
    ASSERT_TRUE(printer_.WaitUntil(stands, 5s));
    const double x = printer_.Snapshot().axes[0].position_counts;
    // The move behind the error waits for good; nothing moves on.
    EXPECT_EQ(Status("T_LinearGroup", 1), "INITIALIZING");
    client_.Sync();
    EXPECT_EQ(printer_.Snapshot().axes[0].position_counts, x);
}

TEST_F(TaskEndings, ASlicersAbsoluteExtruderLinesAroundRelativeMovesPrintAsBefore) {
    Run("M82\nG4 P1\nM83\nG1 X5 E1 F6000\nG1 X6 E1\nM82\nM104 S0\n");
    EXPECT_FALSE(Await("M104 S0", "FINISHED").is_null()) << testing::PrintToString(tasks_);
    for (const auto& [id, task] : tasks_) {
        EXPECT_EQ(task.value("status", ""), "FINISHED") << task.dump();
    }
}

}  // namespace
