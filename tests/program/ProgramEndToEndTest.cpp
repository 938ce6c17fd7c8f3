// Terminal lines, raw controller commands and program files through the real
// server binary, against the virtual printer running in this test process.
#include "ServerPrinterTest.h"
#include "TempDir.h"

#include <algorithm>
#include <map>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using sim::Controller;

class ProgramEndToEnd : public ServerPrinterTest {
  protected:
    ProgramEndToEnd() : ServerPrinterTest(sim::VirtualPrinterOptions{0, 0, 50.0, false}) {}
    void SetUp() override { ListenUi(); }
    json Terminal(const std::string& text) {
        return Ask({{"command", "terminalCommand"}, {"data", text}});
    }
    // Follows the task datagrams until a task whose full form satisfies
    // `first_seen` reaches `status`; returns that first form.
    std::optional<json> WaitForTask(const std::function<bool(const json&)>& first_seen,
                                    const std::string& status) {
        std::optional<uint32_t> id;
        std::optional<json> form;
        while (auto update = ui_.ReceiveCommand("updateTasks")) {
            const json& task = (*update)["tasks"][0];
            if (!id && first_seen(task)) {
                id = task["id"].get<uint32_t>();
                form = task;
            }
            if (id && task["id"] == *id && task.value("status", "") == status) {
                return form;
            }
        }
        return std::nullopt;
    }
    void LoadAndRun(const std::string& program, bool execute = true) {
        const std::string path = dir_.WriteFile("p.gcode", program);
        EXPECT_EQ(Ask({{"command", "loadGcode"}, {"file", path}, {"execute", execute}}),
                  (json{{"command", "loadResponse"}, {"status", "success"}}));
    }
    // With only the UI left to release held work, the server ends: the close
    // stops the axes, reads the clock to see them stand, and turns the motors off.
    void LeaveWhileFinishing() {
        printer_.ClearCommandLog(Controller::kMain);
        FinishAndLeave();
        EXPECT_EQ(printer_.CommandLog(Controller::kMain),
                  (std::vector<std::string>{"ST", "MG TIME", "MO"}));
    }
    static std::function<bool(const json&)> Line(const std::string& gcode) {
        return [gcode](const json& task) { return task.value("gcode_command", "") == gcode; };
    }
};

TEST_F(ProgramEndToEnd, TerminalCommandsAnswerWithTheControllersReplyOrARefusal) {
    // Before "openStream" nothing reaches the controller: an empty reply.
    EXPECT_EQ(Terminal("MG TIME").dump(),
              R"({"command":"terminalResponse","response":"","return_char":":","vrx":"MG TIME"})");
    OpenMain();
    printer_.ClearCommandLog(Controller::kMain);
    std::string accents;
    for (int i = 0; i < 300; ++i) {
        accents += "\u00e9";
    }
    const std::string nul("MG 4\0\rXQ", 9);
    const std::string refused = "GCode not supported";
    struct Row {
        std::string text;
        std::optional<std::string> response;
        std::string return_char;  // "" when the controller decides
    };
    const Row rows[] = {
        {"MG \"ok\"", "ok", ":"},
        {"XYZZY", "1 Unrecognized command", "?"},  // rejected by the controller
        {"M105", refused, "?"},
        {"t0", refused, "?"},
        {"G91", refused, "?"},
        {nul, "Not sent: the command holds a NUL character", "?"},
        // Empty and comment-only texts are no G-code: they go out exactly as typed.
        {"", std::nullopt, ":"},
        {" ; note", std::nullopt, ""},
        // The reply buffer ends within the 225th character, which is replaced.
        {"MG \"" + accents + "\"", accents.substr(0, 2 * 224) + "\ufffd", ":"},
    };
    for (const Row& row : rows) {
        if (row.text == "XYZZY") {
            printer_.RejectNext(Controller::kMain, "1 Unrecognized command");
        }
        const json reply = Terminal(row.text);
        EXPECT_EQ(reply["vrx"], row.text);
        if (!row.return_char.empty()) {
            EXPECT_EQ(reply["return_char"], row.return_char) << row.text;
        }
        if (row.response) {
            EXPECT_EQ(reply["response"], *row.response) << row.text;
        }
    }
    EXPECT_EQ(printer_.CommandLog(Controller::kMain),
              (std::vector<std::string>{"MG \"ok\"", "XYZZY", "TC1", "", " ; note", "TC1",
                                        rows[8].text}));
    // A supported line runs as a task and answers nothing; a non-text "data" is dropped.
    client_.Send({{"command", "terminalCommand"}, {"data", "g90"}});
    client_.Send({{"command", "terminalCommand"}, {"data", 5}});
    EXPECT_TRUE(WaitForTask(Line("G90"), "FINISHED"));
    EXPECT_TRUE(client_.Sync().empty());
}

TEST_F(ProgramEndToEnd, LoadGcodeWithoutExecuteStopsAtTheFirstTaskAndBedLevelQueuesForTheUi) {
    LoadAndRun("; header\nG90 X1\n", false);
    const auto form = WaitForTask(Line("G90 X1"), "BREAKPOINT");
    ASSERT_TRUE(form);
    EXPECT_EQ((*form)["line_number"], "2");
    EXPECT_EQ((*form)["origin"], "File");
    client_.Send({{"command", "bedLevel"}, {"enabled", true}, {"recalculate", false}});
    const auto level = ui_.ReceiveWhere([](const json& message) {
        return message.value("command", "") == "updateTasks" &&
               message["tasks"][0].value("name", "") == "T_BedLevel";
    });
    ASSERT_TRUE(level);
    EXPECT_EQ((*level)["tasks"][0]["origin"], "UI");
    // A missing "execute" or bed-levelling flag drops the command without a reply.
    client_.Send({{"command", "loadGcode"}, {"file", dir_.Path() + "/p.gcode"}});
    client_.Send({{"command", "bedLevel"}, {"enabled", true}});
    EXPECT_TRUE(client_.Sync().empty());
    EXPECT_TRUE(
        server_.WaitForStderr("Dropped command {\"command\":\"bedLevel\",\"enabled\":true}"));
}

TEST_F(ProgramEndToEnd, BadJogsAndMovesWithoutACountLeaveTheWorkerToRunTheTasksAfterThem) {
    OpenMain();
    // A move without a count cancels its group before anything moves.
    for (const char* program :
         {"G1 X2e16 F3000\nG1 X-2e16 F3000\n", "G1 E2e16 F3000\nG1 E2e16\n"}) {
        printer_.ClearCommandLog(Controller::kMain);
        LoadAndRun(program);
        const auto cancelled = ui_.ReceiveWhere([](const json& message) {
            return message.value("command", "") == "updateTasks" &&
                   message["tasks"][0].value("status", "") == "CANCELLED";
        });
        ASSERT_TRUE(cancelled) << program;
        EXPECT_EQ((*cancelled)["tasks"][0]["cancellation_reason"],
                  "Task Execution Error : move value outside the controller's count range");
        const auto log = printer_.CommandLog(Controller::kMain);
        EXPECT_TRUE(std::none_of(log.begin(), log.end(),
                                 [](const std::string& sent) { return sent.rfind("LI", 0) == 0; }));
    }
    OpenTemperature();
    // Malformed: dropped before any task exists, like any malformed command.
    client_.Send({{"command", "jogAxis"}, {"axis", "X"}, {"speed", 1000}});
    client_.Send({{"command", "jogAxis"}, {"axis", "X"}});
    EXPECT_TRUE(client_.Sync().empty());
    EXPECT_TRUE(server_.WaitForStderr("jogAxis needs \"polarity\""));
    // Well formed, but the controller has no such axis: the jog fails, and so
    // does the stop that its cancellation sends.
    client_.Send({{"command", "jogAxis"}, {"axis", "Q"}, {"polarity", "+"}, {"speed", "100"}});
    const auto named = [](const std::string& name) {
        return [name](const json& task) { return task.value("name", "") == name; };
    };
    ASSERT_TRUE(WaitForTask(named("T_Jog"), "CANCELLED"));
    // Later tasks still start; how they end is up to the controllers.
    client_.Send({{"command", "setTemperature"}, {"axis", "B"}, {"temperature", 40}});
    ASSERT_TRUE(WaitForTask(named("T_SetTemperature"), "RUNNING")) << server_.Stderr();
    LoadAndRun("G4 P20\n");
    ASSERT_TRUE(WaitForTask(Line("G4 P20"), "RUNNING")) << server_.Stderr();
    EXPECT_EQ(server_.Stderr().find("task execution ended"), std::string::npos);
}

TEST_F(ProgramEndToEnd, ControlsOfAQueuedMoveGroupWaitForItsTurnAndLeaveItsRunAlone) {
    // Homing sends many commands: slow enough that none times out under the sanitizers.
    printer_.SetSpeed(10);
    OpenMain();
    // X's switch never shows, so "G28" homes until the test lets it; far from
    // the switch, so the reverse limit does not stop X there first, which
    // would fail the homing.
    printer_.SetAxisPosition('A', 60000);
    printer_.ForceSwitch('A', 1);
    LoadAndRun("G28\n;BREAKPOINT\nG1 X100 F30\nG4 P1\n");
    // The task updates in order, as "<line or class> <STATUS>", or "<...> breakpoint"
    // for a breakpoint's; the full forms give the ids.
    std::map<uint32_t, std::string> labels;
    std::map<std::string, uint32_t> ids;
    std::vector<std::string> events;
    const auto follow = [&](const std::string& event, long times) {
        while (ids.size() < 3 || std::count(events.begin(), events.end(), event) < times) {
            const auto update = ui_.ReceiveCommand("updateTasks");
            if (!update) {
                return false;
            }
            const json& task = (*update)["tasks"][0];
            std::string& label = labels[task["id"]];
            if (task.contains("name")) {
                label = task.value("gcode_command", task["name"].get<std::string>());
                ids[label] = task["id"];
            } else if (!label.empty()) {
                events.push_back(label + " " + task.value("status", "breakpoint"));
            }
        }
        return true;
    };
    const auto control = [&](const char* command) {
        client_.Send({{"command", command}, {"id", ids["T_LinearGroup"]}});
    };
    const auto sent = [this](const std::string& command) {
        const auto log = printer_.CommandLog(Controller::kMain);
        return std::count(log.begin(), log.end(), command);
    };
    ASSERT_TRUE(follow("G28 RUNNING", 1));
    // While "G28" homes, the group is held and let wait again, never started;
    // a step-over only holds the task after it.
    for (const char* command : {"pauseTask", "resumeTask", "stepOverTask", "resumeTask"}) {
        control(command);
    }
    EXPECT_TRUE(client_.Sync().empty());
    EXPECT_TRUE(server_.WaitForStderr("resumeTask: task " + std::to_string(ids["T_LinearGroup"]) +
                                      " is neither paused nor at a breakpoint"));
    printer_.ForceSwitch('A', -1);
    // In its turn its breakpoint holds it, again after a pause and a resume.
    ASSERT_TRUE(follow("T_LinearGroup BREAKPOINT", 1))
        << testing::PrintToString(events) << server_.Stderr();
    control("pauseTask");
    control("resumeTask");
    ASSERT_TRUE(follow("T_LinearGroup BREAKPOINT", 2));
    EXPECT_EQ(sent("MG _XQ") + sent("ST ABCDE") + sent("STS") + sent("CSS"), 0);
    control("resumeTask");
    ASSERT_TRUE(follow("T_LinearGroup RUNNING", 1));
    // Running: no second set-up ("CSS" would empty the segment buffer).
    control("resumeTask");
    control("stepOverTask");
    control("cancelTask");
    ASSERT_TRUE(follow("G4 P1 CANCELLED", 1));
    EXPECT_EQ(events, (std::vector<std::string>{
                          "G28 RUNNING", "T_LinearGroup PAUSED", "T_LinearGroup INITIALIZING",
                          "G4 P1 breakpoint", "G28 FINISHED", "T_LinearGroup BREAKPOINT",
                          "T_LinearGroup PAUSED", "T_LinearGroup INITIALIZING",
                          "T_LinearGroup BREAKPOINT", "T_LinearGroup RUNNING", "G4 P1 breakpoint",
                          "T_LinearGroup CANCELLED", "G4 P1 CANCELLED"}));
    // Set up once; stopped at its start and at its cancellation.
    EXPECT_EQ((std::vector<long>{sent("MG _XQ"), sent("CSS"), sent("ST ABCDE"), sent("STS")}),
              (std::vector<long>{1, 1, 2, 2}));
}

TEST_F(ProgramEndToEnd, ProgramsQueueBehindThePrintWhateverTheUiAndTheTerminalAddMeanwhile) {
    OpenMain();
    OpenTemperature();
    printer_.SetSpeed(1);  // the print moves until every command below is in
    Run("G1 X60 F600\nG4 P1\n");
    ASSERT_TRUE(printer_.WaitUntil(
        [](const sim::PrinterSnapshot& p) { return p.coordinated_running; }, 10s));
    // A task of the UI's own, finished at once, and a typed line that fails
    // validation, so ends as it is made: neither is anything to wait for.
    client_.Send({{"command", "setFanSpeed"}, {"fan", 6}, {"speed", 127.5}, {"percentage", 50}});
    ASSERT_FALSE(Await("T_SetFanSpeed", "FINISHED").is_null()) << server_.Stderr();
    Run("G1 X0 F3000\nG4 P2\n");
    Type("M104");
    Run("G4 P3\n");
    ASSERT_TRUE(printer_.Snapshot().coordinated_running)
        << "the print stopped or ended before the last load";
    printer_.SetSpeed(10);  // no controller command times out under the sanitizers
    // Each program starts once the one before it has finished.
    ASSERT_FALSE(Await("G4 P1", "FINISHED").is_null()) << server_.Stderr();
    EXPECT_EQ(Status("T_LinearGroup", 0), "FINISHED");
    EXPECT_EQ(Status("T_LinearGroup", 1), "INITIALIZING");
    ASSERT_FALSE(Await("G4 P2", "FINISHED").is_null()) << server_.Stderr();
    EXPECT_EQ(Status("T_LinearGroup", 1), "FINISHED");
    EXPECT_EQ(Status("G4 P3"), "INITIALIZING");
    EXPECT_FALSE(Await("G4 P3", "FINISHED").is_null());
}

TEST_F(ProgramEndToEnd, DebugExecuteLooksAgainAtRunningTasksAndLeavesTheOthersToTheirTurn) {
    printer_.SetSpeed(10);  // no controller command times out under the sanitizers
    OpenMain();
    Run("G1 X60 F600\nG4 P1\n;BREAKPOINT\nG1 X0 F3000\nG4 P2\n;BREAKPOINT\nG4 P5\n");
    const auto debug_execute = [this] { client_.Send({{"command", "debugExecute"}}); };
    const auto resume = [this](const json& task) {
        client_.Send({{"command", "resumeTask"}, {"id", task["id"]}});
    };
    // While the first group moves, the second waits its turn; then it waits
    // at its breakpoint, and the last dwell at its own.
    ASSERT_FALSE(Await("T_LinearGroup", "RUNNING", 0).is_null());
    debug_execute();
    const json group = Await("T_LinearGroup", "BREAKPOINT", 1);
    ASSERT_FALSE(group.is_null()) << server_.Stderr();
    debug_execute();
    resume(group);
    const json dwell = Await("G4 P5", "BREAKPOINT");
    ASSERT_FALSE(dwell.is_null()) << testing::PrintToString(client_.Sync()) << server_.Stderr();
    debug_execute();
    resume(dwell);
    ASSERT_FALSE(Await("G4 P5", "FINISHED").is_null()) << server_.Stderr();
    EXPECT_EQ(Status("T_LinearGroup", 0), "FINISHED");
    EXPECT_EQ(Status("T_LinearGroup", 1), "FINISHED");
    EXPECT_EQ(printer_.Snapshot().axes[0].reference, 0);
    EXPECT_TRUE(server_.IsRunning());
}

TEST_F(ProgramEndToEnd, AMoveStoppedByTheUserCancelsTheProgramAndNothingMovesAfterIt) {
    OpenMain();
    printer_.SetSpeed(10);
    LoadAndRun("G1 X10 F6000\nG1 X200 F600\nG4 P10\nG1 Y60\n");
    // Into the long move (the first ends at X10: 4000 counts), then X stops.
    ASSERT_TRUE(printer_.WaitUntil(
        [](const sim::PrinterSnapshot& p) {
            return p.segment_count == 1 && p.axes[0].reference > 8000;
        },
        10s));
    printer_.ClearCommandLog(Controller::kMain);
    client_.Send({{"command", "stopAxis"}, {"axis", "X"}});
    std::map<uint32_t, json> forms;
    std::map<std::string, std::string> reasons;  // by description or G-code line
    while (reasons.size() < 3) {
        const auto update = ui_.ReceiveCommand("updateTasks");
        ASSERT_TRUE(update) << server_.Stderr();
        const json& task = (*update)["tasks"][0];
        if (task.contains("name")) {
            forms[task["id"]] = task;
        } else if (task.value("status", "") == "CANCELLED") {
            const json& form = forms.at(task["id"]);
            reasons[form.value("gcode_command", form["description"].get<std::string>())] =
                task["cancellation_reason"];
        }
    }
    EXPECT_EQ(reasons, (std::map<std::string, std::string>{
                           {"Linear Group||", "Motion stopped after 1 of 2 segments"},
                           {"G4 P10", "Previous Task in Queue Cancelled"},
                           {"~3Linear Move", "Previous Task in Queue Cancelled"}}));
    EXPECT_EQ(printer_.CommandLog(Controller::kMain),
              (std::vector<std::string>{"STA", "ST ABCDE", "STS", "MG TIME"}));
    EXPECT_FALSE(printer_.Snapshot().coordinated_running);
}

TEST_F(ProgramEndToEnd, AClientLeavingWhileFinishingLetsARunningProgramFinishFirst) {
    OpenMain();
    LoadAndRun("G4 P2000\nG4 P3000\n");
    Leave();
    EXPECT_TRUE(WaitForTask(Line("G4 P3000"), "FINISHED"));
    EXPECT_EQ(server_.WaitForExit(), 0);
}

TEST_F(ProgramEndToEnd, AClientLeavingWhileFinishingAtABreakpointEndsTheServer) {
    OpenMain();
    LoadAndRun("G4 P20\n;BREAKPOINT\nG4 P600000\n");
    ASSERT_TRUE(WaitForTask(Line("G4 P600000"), "BREAKPOINT"));
    LeaveWhileFinishing();
}

TEST_F(ProgramEndToEnd, AClientLeavingWhileFinishingWithAPausedTaskEndsTheServer) {
    OpenMain();
    LoadAndRun("G4 P600000\n");
    const auto form = WaitForTask(Line("G4 P600000"), "RUNNING");
    ASSERT_TRUE(form);
    const uint32_t id = (*form)["id"];
    client_.Send({{"command", "pauseTask"}, {"id", id}});
    ASSERT_TRUE(WaitForTask([id](const json& task) { return task["id"] == id; }, "PAUSED"));
    LeaveWhileFinishing();
}

TEST_F(ProgramEndToEnd, AGroupThatItsResumeCannotStartFailsInsteadOfRunningForEver) {
    OpenMain();
    Run(";BREAKPOINT\nG1 X10 F6000\nG4 P10\n");
    const json group = Await("T_LinearGroup", "BREAKPOINT");
    ASSERT_FALSE(group.is_null());
    printer_.RejectCommand(Controller::kMain, "MG _XQ", "1 Unrecognized command");
    EXPECT_EQ(Ask({{"command", "resumeTask"}, {"id", group["id"]}})["command"], "vrxError");
    const json failed = Await("T_LinearGroup", "CANCELLED");
    EXPECT_EQ(failed.value("cancellation_reason", "").rfind("<vrx_error><cmd>MG _XQ</cmd>", 0), 0u)
        << failed;
    EXPECT_FALSE(Await("G4 P10", "CANCELLED").is_null());
}

}  // namespace
