// Controller commands that do not go as planned, through the server binary
// and the virtual printer at real speed: replies that come late (within the
// stall limit), replies that cannot be read, lost command connections, and
// the machine left safe at exit.
#include "Deadline.h"
#include "ServerPrinterTest.h"

#include <functional>
#include <string>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using sim::Controller;
using sim::PrinterSnapshot;

const char kGroup[] = "T_LinearGroup";
constexpr int kMovesPerGroup = 100;
constexpr double kCountsPerMm = 400.0;
// Axis A's (X's) status word in the main record, and its bit that shows it moving.
constexpr size_t kXStatus = 82;
constexpr int64_t kMoving = 0x8000;

class CommandFaults : public ServerPrinterTest {
  protected:
    CommandFaults() : ServerPrinterTest(sim::VirtualPrinterOptions{0, 0, 1.0, false}) {}
    void SetUp() override {
        ListenUi();
        OpenMain();
        OpenTemperature();
    }
    bool FirstGroupMoves() {
        return !Await(kGroup, "RUNNING", 0).is_null() &&
               printer_.WaitUntil([](const PrinterSnapshot& p) { return p.segment_count >= 30; },
                                  10s);
    }
    // The zigzag ran as the file says: both groups finished, every move sent
    // once, X, Y and E where the last move puts them.
    void ExpectExactZigzag(size_t lines = 2 * kMovesPerGroup) {
        EXPECT_EQ(End(kGroup, 1), "FINISHED") << Reason(kGroup, 1) << server_.Stderr();
        EXPECT_EQ(End(kGroup, 0, 0ms), "FINISHED") << Reason(kGroup, 0);
        ASSERT_TRUE(Stands());
        EXPECT_EQ(Sent("LI"), lines);
        const auto axes = printer_.Snapshot().axes;
        EXPECT_NEAR(axes[0].position_counts, 50.0 * kCountsPerMm, 2.0);
        EXPECT_NEAR(axes[1].position_counts, 60.0 * kCountsPerMm, 2.0);
        EXPECT_NEAR(axes[3].position_counts, 2 * kMovesPerGroup * 20.0, 2.0);
    }
};

// --- Late replies ------------------------------------------------------------

struct Late {
    const char* name;
    std::function<void(sim::VirtualPrinter&)> fault;
    bool once_moving;  // applied once the first group moves, else before the print
};

void PrintTo(const Late& late, std::ostream* out) {
    *out << late.name;
}

std::function<void(sim::VirtualPrinter&)> Hold(const char* pattern,
                                               std::chrono::milliseconds hold) {
    return [=](sim::VirtualPrinter& printer) {
        printer.HoldReplies(Controller::kMain, pattern, hold, 1);
    };
}

std::function<void(sim::VirtualPrinter&)> Stall(std::chrono::milliseconds duration) {
    return [=](sim::VirtualPrinter& printer) { printer.Stall(Controller::kMain, duration); };
}

class LateReplies : public CommandFaults, public testing::WithParamInterface<Late> {};

TEST_P(LateReplies, LeaveThePrintExact) {
    const Late& late = GetParam();
    if (!late.once_moving) {
        late.fault(printer_);
    }
    Run(Zigzag(2 * kMovesPerGroup, 2400, kMovesPerGroup));
    if (late.once_moving) {
        ASSERT_TRUE(FirstGroupMoves()) << server_.Stderr();
        late.fault(printer_);
    }
    ExpectExactZigzag();
    FinishAndLeave();
}

INSTANTIATE_TEST_SUITE_P(Print, LateReplies,
                         testing::Values(Late{"FirstLI1500ms", Hold("LI*", 1500ms), false},
                                         Late{"RP3s", Hold("RP", 3s), false},
                                         Late{"BGS3s", Hold("BGS", 3s), false},
                                         Late{"SecondGroupLI3s", Hold("LI*", 3s), true},
                                         Late{"SecondGroupLE1500ms", Hold("LE", 1500ms), true},
                                         Late{"DwellClock3s", Hold("MG TIME", 3s), true},
                                         Late{"StallAtStart1500ms", Stall(1500ms), false},
                                         Late{"StallWhileMoving3s", Stall(3s), true}),
                         [](const testing::TestParamInfo<Late>& info) { return info.param.name; });

TEST_F(CommandFaults, APauseSentDuringAStallPausesOnceTheControllerAnswers) {
    Run(Zigzag(2 * kMovesPerGroup, 2400, kMovesPerGroup));
    ASSERT_TRUE(FirstGroupMoves()) << server_.Stderr();
    const uint32_t group = labelled_[kGroup].front();
    printer_.Stall(Controller::kMain, 1500ms);
    client_.Send({{"command", "pauseTask"}, {"id", group}});
    ASSERT_FALSE(Await(kGroup, "PAUSED", 0, 5s).is_null()) << Reason(kGroup, 0) << server_.Stderr();
    ASSERT_TRUE(Stands());
    // Resumed, the group sends again the moves it has not completed.
    const size_t completed = printer_.Snapshot().segment_count;
    client_.Send({{"command", "resumeTask"}, {"id", group}});
    ExpectExactZigzag(3 * kMovesPerGroup - completed);
    FinishAndLeave();
}

// Homing, a jog and a dwell whose commands are answered 1.5 s late.
struct LateWork {
    const char* name;
    const char* held;  // the command whose reply is held
    json message;
    std::string label;
    json stop = nullptr;  // sent once the held command went out, when not null
};

void PrintTo(const LateWork& work, std::ostream* out) {
    *out << work.name;
}

class LateMachineWork : public CommandFaults, public testing::WithParamInterface<LateWork> {};

TEST_P(LateMachineWork, Finishes) {
    const LateWork& work = GetParam();
    printer_.SetAxisPosition('A', 2000);
    printer_.HoldReplies(Controller::kMain, work.held, 1500ms, 1);
    client_.Send(work.message);
    if (!work.stop.is_null()) {
        ASSERT_TRUE(printer_.WaitForCommand(Controller::kMain, work.held, 5s));
        ASSERT_TRUE(printer_.WaitUntil([](const PrinterSnapshot& p) { return p.Moving(0); }, 5s));
        client_.Send(work.stop);
    }
    EXPECT_EQ(End(work.label), "FINISHED") << Reason(work.label) << server_.Stderr();
    EXPECT_TRUE(Stands());
    FinishAndLeave();
}

INSTANTIATE_TEST_SUITE_P(
    Machine, LateMachineWork,
    testing::Values(
        LateWork{"HomeX",
                 "BGA",
                 {{"command", "homeAxis"}, {"axis", "X"}, {"description", "Home|{X}|"}},
                 "T_Home"},
        LateWork{"Jog",
                 "BGA",
                 {{"command", "jogAxis"}, {"axis", "X"}, {"polarity", "Pos"}, {"speed", "2000"}},
                 "T_Jog",
                 {{"command", "stopAxis"}, {"axis", "X"}}},
        LateWork{
            "Dwell", "MG TIME", {{"command", "terminalCommand"}, {"data", "G4 P500"}}, "G4 P500"}),
    [](const testing::TestParamInfo<LateWork>& info) { return info.param.name; });

// --- Replies that cannot be read ----------------------------------------------

struct Garbled {
    const char* name;
    const char* line;     // the line whose task reads the reply
    const char* label;    // that task's label
    const char* command;  // whose reply is garbled
    const char* reply;
    const char* behind;        // the next line
    const char* behind_label;  // its task's label
};

void PrintTo(const Garbled& garbled, std::ostream* out) {
    *out << garbled.name;
}

class GarbledReplies : public CommandFaults, public testing::WithParamInterface<Garbled> {};

TEST_P(GarbledReplies, FailTheTaskNamingCommandAndReply) {
    const Garbled& garbled = GetParam();
    printer_.GarbleReplies(Controller::kMain, garbled.command, garbled.reply);
    Run(std::string(garbled.line) + "\n" + garbled.behind + "\n");
    EXPECT_EQ(End(garbled.label), "CANCELLED") << server_.Stderr();
    const std::string reason = Reason(garbled.label);
    EXPECT_NE(reason.find(std::string("\"") + garbled.command + "\""), std::string::npos) << reason;
    EXPECT_NE(reason.find(std::string("\"") + garbled.reply + "\""), std::string::npos) << reason;
    // The line behind it never runs, and the UI hears it end.
    EXPECT_EQ(End(garbled.behind_label), "CANCELLED") << server_.Stderr();
    EXPECT_EQ(Reason(garbled.behind_label), "Previous Task in Queue Cancelled");
    EXPECT_EQ(Sent("LI"), 0u);
    FinishAndLeave();
}

INSTANTIATE_TEST_SUITE_P(
    Reading, GarbledReplies,
    testing::Values(
        Garbled{"DwellClock", "G4 S5", "G4 S5", "MG TIME", "abc", "G1 X60 F6000", kGroup},
        Garbled{"ProgramFlag", "G1 X55 F6000", kGroup, "MG _XQ", "yes", "G4 P10", "G4 P10"},
        Garbled{"Positions", "G1 X55 F6000", kGroup, "RP", "0, 0, x, 0, 0", "G4 P10", "G4 P10"}),
    [](const testing::TestParamInfo<Garbled>& info) { return info.param.name; });

// --- Lost connections and the machine left safe ------------------------------------

TEST_F(CommandFaults, ALostCommandConnectionMidPrintFailsThePrintAndTheAxesStand) {
    // One group of 400 moves: segments are still fed while the axes move.
    constexpr int kMoves = 400;
    Run(Zigzag(kMoves, 2400));
    ASSERT_TRUE(FirstGroupMoves()) << server_.Stderr();
    printer_.CloseAfter(Controller::kMain, "LI*");
    EXPECT_EQ(End(kGroup), "CANCELLED") << server_.Stderr();
    EXPECT_NE(Reason(kGroup).find("lost"), std::string::npos) << Reason(kGroup);
    // The stop went out on a new connection: the axes stand long before the
    // segments already fed would have run out.
    EXPECT_TRUE(Stands(1s));
    EXPECT_LT(printer_.Snapshot().segment_count, 200);
    FinishAndLeave();
}

TEST_F(CommandFaults, ALostTemperatureConnectionStillSwitchesTheHeatersOffAtExit) {
    printer_.CloseAfter(Controller::kTemperature, "setbed*");
    Type("M104 S60");
    Type("M140 S50");
    EXPECT_EQ(End("M140 S50"), "CANCELLED");
    ASSERT_GT(printer_.Snapshot().bed_target_c, 0.0);
    FinishAndLeave();
    const PrinterSnapshot printer = printer_.Snapshot();
    EXPECT_EQ(printer.hot_end_target_c, 0.0);
    EXPECT_EQ(printer.bed_target_c, 0.0);
}

TEST_F(CommandFaults, AnAxisStillDeceleratingAtTheCloseIsWaitedForAndTheExitIsClean) {
    printer_.ForceRecordField(Controller::kMain, kXStatus, 2, kMoving);
    client_.Close();
    // Its records show X moving after the stop: the close stops it again ...
    ASSERT_TRUE(printer_.WaitForCommand(Controller::kMain, "ST", 10s, 2)) << server_.Stderr();
    EXPECT_TRUE(server_.IsRunning());
    // ... until it stands.
    printer_.ClearForcedRecordFields(Controller::kMain);
    EXPECT_EQ(server_.WaitForExit(20s), 0) << server_.Stderr();
    EXPECT_EQ(server_.Stderr().find("not safe"), std::string::npos) << server_.Stderr();
}

struct Unsafe {
    const char* name;
    std::function<void(sim::VirtualPrinter&)> fault;
    const char* named;  // in the standard error line
};

void PrintTo(const Unsafe& unsafe, std::ostream* out) {
    *out << unsafe.name;
}

class UnsafeExit : public CommandFaults, public testing::WithParamInterface<Unsafe> {};

TEST_P(UnsafeExit, IsNamedAndEndsTheServerWithAFailure) {
    const Unsafe& unsafe = GetParam();
    Type("M104 S60");
    EXPECT_EQ(End("M104 S60"), "FINISHED");
    unsafe.fault(printer_);
    FinishAndLeave(2);
    EXPECT_NE(server_.Stderr().find(std::string("Machine not safe at exit: ") + unsafe.named),
              std::string::npos)
        << server_.Stderr();
}

INSTANTIATE_TEST_SUITE_P(
    Exit, UnsafeExit,
    testing::Values(Unsafe{"HeatersOffRefused",
                           [](sim::VirtualPrinter& printer) {
                               printer.RejectCommand(Controller::kTemperature, "PM*",
                                                     "7 Command not valid");
                           },
                           "the temperature controller did not take \"PM 0,0\""},
                    Unsafe{"MainControllerGone",
                           [](sim::VirtualPrinter& printer) {
                               printer.RefuseConnections(Controller::kMain, true);
                           },
                           "the main controller did not take \"ST\""},
                    Unsafe{"AnAxisThatNeverStops",
                           [](sim::VirtualPrinter& printer) {
                               printer.ForceRecordField(Controller::kMain, kXStatus, 2, kMoving);
                           },
                           "the main controller's axis X still moved after \"ST\" and \"MO\""}),
    [](const testing::TestParamInfo<Unsafe>& info) { return info.param.name; });

}  // namespace
