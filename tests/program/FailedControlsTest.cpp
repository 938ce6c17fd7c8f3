// Controls whose controller commands are refused or answered past the
// command limit, through the server binary and the virtual printer at real
// speed: the task ends in a clear state, the axes stand, a failed resume sent
// again finishes exactly, and the server exits 0 at the end.
#include "ServerPrinterTest.h"

#include <algorithm>
#include <cmath>
#include <ostream>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using sim::Controller;

const char kGroup[] = "T_LinearGroup";
const char kJog[] = "T_Jog";
// Longer than any controller command is waited for.
constexpr auto kLate = 6000ms;
constexpr Controller kMain = Controller::kMain;

enum class Fault { kRefuse, kHold };

std::string Name(const std::string& pattern, Fault fault, const std::string& then) {
    std::string name = (fault == Fault::kRefuse ? "Refused" : "Late");
    for (const char c : pattern) {
        name += std::isalnum(static_cast<unsigned char>(c)) ? std::string(1, c) : "";
    }
    return name + then;
}

class FailedControls : public ServerPrinterTest {
  protected:
    FailedControls() : ServerPrinterTest(sim::VirtualPrinterOptions{0, 0, 1.0, false}) {}
    void SetUp() override {
        ListenUi();
        OpenMain();
    }
    void Inject(Fault fault, const std::string& pattern) {
        if (fault == Fault::kRefuse) {
            printer_.RejectCommand(kMain, pattern, "1 Unrecognized command");
        } else {
            printer_.HoldReplies(kMain, pattern, kLate, 1);
        }
    }
    // Sends a control and returns the server's replies to it once handled.
    std::deque<std::string> Control(const char* command, uint32_t id) {
        client_.Send({{"command", command}, {"id", id}});
        return client_.Sync(30s);
    }
    // Takes in the task updates sent so far.
    void Drain() { Await("", "", -1, 300ms); }
    // The id of the newest task so labelled; 0 (no task) when none was seen.
    uint32_t Id(const std::string& label) {
        const auto& ids = labelled_[label];
        EXPECT_FALSE(ids.empty()) << label;
        return ids.empty() ? 0 : ids.back();
    }
    // Runs a zigzag print of `moves` moves; its last X and Y targets in
    // millimetres.
    std::pair<double, double> Print(int moves) {
        Run(Zigzag(moves));
        return {moves % 2 == 1 ? 50.5 : 50.0, 50.0 + 0.05 * moves};
    }
    // The print ended where the file says, every count of E extruded once.
    void ExpectExactEnd(std::pair<double, double> last, int moves) {
        const auto axes = printer_.Snapshot().axes;
        EXPECT_NEAR(axes[0].position_counts, std::trunc(std::round(last.first * 100) * 4), 2.0);
        EXPECT_NEAR(axes[1].position_counts, std::trunc(std::round(last.second * 100) * 4), 2.0);
        EXPECT_NEAR(axes[3].position_counts, moves * 20.0, 3.0);
    }
    void PauseThePrint(int after_segments) {
        ASSERT_FALSE(Await(kGroup, "RUNNING").is_null()) << server_.Stderr();
        ASSERT_TRUE(printer_.WaitUntil(
            [&](const sim::PrinterSnapshot& p) { return p.segment_count >= after_segments; }, 10s));
    }
};

// --- A resume of a paused print that fails at one of its commands ---------

struct ResumeRow {
    std::string pattern;
    Fault fault;
    bool then_cancel;
    const char* control = "resumeTask";  // or "stepOverTask", which resumes too
};

void PrintTo(const ResumeRow& row, std::ostream* out) {
    *out << row.control << " with " << row.pattern;
}

class FailedResume : public FailedControls, public testing::WithParamInterface<ResumeRow> {};

TEST_P(FailedResume, LeavesThePrintPausedAndStandingToResumeAgainOrCancel) {
    const ResumeRow row = GetParam();
    constexpr int kMoves = 200;
    const auto last = Print(kMoves);
    PauseThePrint(40);
    EXPECT_TRUE(Control("pauseTask", Id(kGroup)).empty());
    ASSERT_FALSE(Await(kGroup, "PAUSED").is_null());
    ASSERT_TRUE(Stands());

    Inject(row.fault, row.pattern);
    const auto replies = Control(row.control, Id(kGroup));
    printer_.ClearFaults(kMain);
    ASSERT_EQ(replies.size(), 1u) << server_.Stderr();
    EXPECT_NE(replies.front().find("\"vrxError\""), std::string::npos) << replies.front();
    Drain();
    EXPECT_EQ(Status(kGroup), "PAUSED");
    ASSERT_TRUE(Stands());

    if (row.then_cancel) {
        client_.Send({{"command", "cancelTask"}, {"id", Id(kGroup)}});
        ASSERT_FALSE(Await(kGroup, "CANCELLED").is_null());
        EXPECT_EQ(Reason(kGroup), "Cancelled by User Interface");
        EXPECT_TRUE(Stands());
    } else {
        EXPECT_TRUE(Control("resumeTask", Id(kGroup)).empty());
        ASSERT_FALSE(Await(kGroup, "FINISHED", -1, 20s).is_null())
            << Status(kGroup) << " " << Reason(kGroup) << server_.Stderr();
        ASSERT_TRUE(Stands());
        ExpectExactEnd(last, kMoves);
    }
    FinishAndLeave();
}

INSTANTIATE_TEST_SUITE_P(
    Print, FailedResume,
    testing::Values(ResumeRow{"LI*", Fault::kRefuse, false}, ResumeRow{"LI*", Fault::kHold, true},
                    ResumeRow{"BGS", Fault::kRefuse, false}, ResumeRow{"BGS", Fault::kHold, false},
                    ResumeRow{"CSS", Fault::kHold, true}, ResumeRow{"RP", Fault::kRefuse, false},
                    ResumeRow{"LI*", Fault::kRefuse, false, "stepOverTask"},
                    ResumeRow{"LE", Fault::kRefuse, false}, ResumeRow{"LE", Fault::kHold, true}),
    [](const testing::TestParamInfo<ResumeRow>& info) {
        return Name(info.param.pattern, info.param.fault,
                    std::string(info.param.control == std::string("resumeTask") ? "" : "StepOver") +
                        (info.param.then_cancel ? "ThenCancel" : "ThenResume"));
    });

// --- A pause of a running print that fails at one of its commands ---------

struct PauseRow {
    std::string pattern;
    Fault fault;
    std::string status;  // how the pause leaves the group
};

void PrintTo(const PauseRow& row, std::ostream* out) {
    *out << "pause with " << row.pattern;
}

class FailedPause : public FailedControls, public testing::WithParamInterface<PauseRow> {};

TEST_P(FailedPause, StopsThePrintAndPausesOrFailsIt) {
    const PauseRow row = GetParam();
    constexpr int kMoves = 200;
    const auto last = Print(kMoves);
    PauseThePrint(40);
    Inject(row.fault, row.pattern);
    const auto replies = Control("pauseTask", Id(kGroup));
    printer_.ClearFaults(kMain);
    ASSERT_FALSE(Await(kGroup, row.status).is_null()) << Status(kGroup) << server_.Stderr();
    ASSERT_TRUE(Stands());
    if (row.status == "CANCELLED") {
        // The controller's error is the reason, and the UI heard of it.
        EXPECT_EQ(Reason(kGroup).rfind("<vrx_error><cmd>" + row.pattern + "</cmd>", 0), 0u)
            << Reason(kGroup);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_NE(replies.front().find("\"vrxError\""), std::string::npos);
    } else {
        // A stop sent again, or judged from the records, pauses all the same.
        EXPECT_TRUE(replies.empty()) << testing::PrintToString(replies);
        EXPECT_TRUE(Control("resumeTask", Id(kGroup)).empty());
        ASSERT_FALSE(Await(kGroup, "FINISHED", -1, 20s).is_null()) << Reason(kGroup);
        ExpectExactEnd(last, kMoves);
    }
    FinishAndLeave();
}

INSTANTIATE_TEST_SUITE_P(Print, FailedPause,
                         testing::Values(PauseRow{"ST ABCDE", Fault::kRefuse, "PAUSED"},
                                         PauseRow{"STS", Fault::kHold, "PAUSED"},
                                         PauseRow{"MG TIME", Fault::kHold, "PAUSED"},
                                         PauseRow{"RP", Fault::kRefuse, "CANCELLED"}),
                         [](const testing::TestParamInfo<PauseRow>& info) {
                             return Name(info.param.pattern, info.param.fault, "");
                         });

// --- Every reply past the limit while the records flow ---------------------

struct LateRow {
    const char* control;
    // How long the UI's next command waits at most: one reply limit (5 s)
    // for each command of the control, and a little for the records.
    std::chrono::seconds bound;
    const char* reason_start;  // the group's cancellation reason
};

void PrintTo(const LateRow& row, std::ostream* out) {
    *out << row.control;
}

class LateStop : public FailedControls, public testing::WithParamInterface<LateRow> {};

TEST_P(LateStop, IsJudgedOnceFromTheRecordsAndHoldsTheUiOnlyForItsOwnCommands) {
    const LateRow row = GetParam();
    Print(200);
    PauseThePrint(40);
    printer_.ClearCommandLog(kMain);
    printer_.HoldReplies(kMain, "*", kLate);
    client_.Send({{"command", row.control}, {"id", Id(kGroup)}});
    std::deque<std::string> replies;
    EXPECT_NO_THROW(replies = client_.Sync(row.bound)) << server_.Stderr();
    printer_.ClearFaults(kMain);
    ASSERT_FALSE(Await(kGroup, "CANCELLED").is_null()) << Status(kGroup) << server_.Stderr();
    EXPECT_EQ(Reason(kGroup).rfind(row.reason_start, 0), 0u) << Reason(kGroup);
    EXPECT_EQ(Reason(kGroup).find("could not be"), std::string::npos) << Reason(kGroup);
    EXPECT_TRUE(Stands());
    // The records showed the axes standing from the first stop on: one round.
    const auto log = printer_.CommandLog(kMain);
    EXPECT_EQ(std::count(log.begin(), log.end(), "ST ABCDE"), 1) << server_.Stderr();
    FinishAndLeave();
}

INSTANTIATE_TEST_SUITE_P(Print, LateStop,
                         testing::Values(LateRow{"pauseTask", 18s, "<vrx_error><cmd>RP</cmd>"},
                                         LateRow{"cancelTask", 13s, "Cancelled by User Interface"}),
                         [](const testing::TestParamInfo<LateRow>& info) {
                             return std::string(info.param.control);
                         });

// --- A resume of a paused jog that fails at one of its commands -----------

struct JogRow {
    std::string pattern;
    Fault fault;
};

void PrintTo(const JogRow& row, std::ostream* out) {
    *out << "jog resume with " << row.pattern;
}

class FailedJogResume : public FailedControls, public testing::WithParamInterface<JogRow> {
  protected:
    void Jog() {
        printer_.SetAxisPosition('A', 20000);
        client_.Send(
            {{"command", "jogAxis"}, {"axis", "X"}, {"polarity", "Pos"}, {"speed", "2000"}});
        ASSERT_FALSE(Await(kJog, "RUNNING").is_null()) << server_.Stderr();
        ASSERT_TRUE(
            printer_.WaitUntil([](const sim::PrinterSnapshot& p) { return p.Moving(0); }, 5s));
    }
};

TEST_P(FailedJogResume, LeavesItPausedWithTheAxisStandingAndItsCancelEndsIt) {
    const JogRow row = GetParam();
    Jog();
    EXPECT_TRUE(Control("pauseTask", Id(kJog)).empty());
    ASSERT_FALSE(Await(kJog, "PAUSED").is_null());
    Inject(row.fault, row.pattern);
    const auto replies = Control("resumeTask", Id(kJog));
    printer_.ClearFaults(kMain);
    ASSERT_EQ(replies.size(), 1u) << server_.Stderr();
    Drain();
    EXPECT_EQ(Status(kJog), "PAUSED");
    ASSERT_TRUE(Stands());
    client_.Send({{"command", "cancelTask"}, {"id", Id(kJog)}});
    ASSERT_FALSE(Await(kJog, "CANCELLED").is_null());
    EXPECT_EQ(Reason(kJog), "Cancelled by User Interface");
    EXPECT_TRUE(Stands());
    FinishAndLeave();
}

INSTANTIATE_TEST_SUITE_P(Jog, FailedJogResume,
                         testing::Values(JogRow{"JGA=*", Fault::kRefuse},
                                         JogRow{"JGA=*", Fault::kHold}, JogRow{"STA", Fault::kHold},
                                         JogRow{"SHA", Fault::kRefuse},
                                         JogRow{"BGA", Fault::kRefuse}, JogRow{"BGA", Fault::kHold},
                                         JogRow{"MG TIME", Fault::kHold}),
                         [](const testing::TestParamInfo<JogRow>& info) {
                             return Name(info.param.pattern, info.param.fault, "");
                         });

// --- Homing and levelling -------------------------------------------------

TEST_F(FailedControls, AHomingWhoseResumeIsRefusedStaysPausedAndItsCancelStopsX) {
    printer_.SetAxisPosition('A', 20000);
    client_.Send({{"command", "homeAxis"}, {"axis", "X"}});
    ASSERT_FALSE(Await("T_Home", "RUNNING").is_null()) << server_.Stderr();
    ASSERT_TRUE(printer_.WaitUntil([](const sim::PrinterSnapshot& p) { return p.Moving(0); }, 5s));
    EXPECT_TRUE(Control("pauseTask", Id("T_Home")).empty());
    ASSERT_FALSE(Await("T_Home", "PAUSED").is_null());
    Inject(Fault::kRefuse, "BGA");
    EXPECT_EQ(Control("resumeTask", Id("T_Home")).size(), 1u);
    printer_.ClearFaults(kMain);
    Drain();
    EXPECT_EQ(Status("T_Home"), "PAUSED");
    ASSERT_TRUE(Stands());
    client_.Send({{"command", "cancelTask"}, {"id", Id("T_Home")}});
    ASSERT_FALSE(Await("T_Home", "CANCELLED").is_null());
    EXPECT_TRUE(Stands());
    FinishAndLeave();
}

TEST_F(FailedControls, ALevellingRunPausedWhileTravellingStandsAndResumesToItsEnd) {
    client_.Send({{"command", "setForwardLimit"}, {"axis", "X"}, {"limit", 16000}});
    client_.Send({{"command", "setForwardLimit"}, {"axis", "Y"}, {"limit", 8000}});
    client_.Send({{"command", "bedLevel"}, {"enabled", false}, {"recalculate", true}});
    ASSERT_FALSE(Await("T_BedLevel", "RUNNING").is_null()) << server_.Stderr();
    ASSERT_TRUE(printer_.WaitForCommand(kMain, "PA8000,0,4000", 10s)) << server_.Stderr();
    ASSERT_TRUE(printer_.WaitUntil([](const sim::PrinterSnapshot& p) { return p.Moving(0); }, 5s));
    EXPECT_TRUE(Control("pauseTask", Id("T_BedLevel")).empty());
    ASSERT_FALSE(Await("T_BedLevel", "PAUSED").is_null());
    ASSERT_TRUE(Stands());
    EXPECT_LT(printer_.Snapshot().axes[0].reference, 8000);
    EXPECT_TRUE(Control("resumeTask", Id("T_BedLevel")).empty());
    ASSERT_FALSE(Await("T_BedLevel", "FINISHED", -1, 30s).is_null())
        << Reason("T_BedLevel") << server_.Stderr();
    EXPECT_EQ(printer_.Array("zoffsets").size(), 4u);
    FinishAndLeave();
}

// --- Stops that the controller refuses ------------------------------------

using RefusedStop = FailedJogResume;

TEST_F(RefusedStop, OfAJogIsSentAgainUntilTheAxisStands) {
    Jog();
    // Pausing, then cancelling: each stop refused once.
    printer_.RejectNext(kMain, "1 Unrecognized command");
    EXPECT_TRUE(Control("pauseTask", Id(kJog)).empty());
    ASSERT_FALSE(Await(kJog, "PAUSED").is_null());
    EXPECT_TRUE(Stands());
    EXPECT_TRUE(Control("resumeTask", Id(kJog)).empty());
    ASSERT_TRUE(printer_.WaitUntil([](const sim::PrinterSnapshot& p) { return p.Moving(0); }, 5s));
    printer_.RejectNext(kMain, "1 Unrecognized command");
    EXPECT_TRUE(Control("cancelTask", Id(kJog)).empty());
    ASSERT_FALSE(Await(kJog, "CANCELLED").is_null());
    EXPECT_EQ(Reason(kJog), "Cancelled by User Interface");
    EXPECT_TRUE(Stands());
    FinishAndLeave();
}

TEST_F(RefusedStop, ForGoodIsReportedAndNamedInTheReason) {
    Jog();
    printer_.RejectCommand(kMain, "STA", "1 Unrecognized command");
    const auto replies = Control("cancelTask", Id(kJog));
    ASSERT_FALSE(Await(kJog, "CANCELLED").is_null());
    EXPECT_EQ(Reason(kJog).rfind("Cancelled by User Interface; Axis X could not be stopped: "
                                 "<vrx_error><cmd>STA</cmd>",
                                 0),
              0u)
        << Reason(kJog);
    ASSERT_EQ(replies.size(), 1u);
    const json error = json::parse(replies.front());
    EXPECT_EQ(error["command"], "vrxError");
    EXPECT_EQ(error["data"]["source"], "STA");
    printer_.ClearFaults(kMain);
    client_.Send({{"command", "stopAxis"}, {"axis", "X"}});
    EXPECT_TRUE(Stands());
    FinishAndLeave();
}

TEST_F(RefusedStop, WithNoRecordsToJudgeBySaysSoAndNeverStillMoving) {
    Jog();
    printer_.StallRecords(kMain, true);
    // The UI hears of the stop (and of the stream).
    const auto replies = Control("cancelTask", Id(kJog));
    EXPECT_EQ(std::count_if(replies.begin(), replies.end(),
                            [](const std::string& reply) {
                                return reply.find("could not be seen standing") !=
                                       std::string::npos;
                            }),
              1)
        << testing::PrintToString(replies);
    ASSERT_FALSE(Await(kJog, "CANCELLED").is_null());
    EXPECT_EQ(Reason(kJog).rfind("Cancelled by User Interface; Axis X could not be seen standing: "
                                 "no main record to judge the stop by",
                                 0),
              0u)
        << Reason(kJog);
    EXPECT_EQ(Reason(kJog).find("still moving"), std::string::npos) << Reason(kJog);
    printer_.StallRecords(kMain, false);
    EXPECT_TRUE(Stands());
    FinishAndLeave();
}

TEST_F(RefusedStop, OfAPrintStillSendsTheCoordinatedStopAndIsSentAgain) {
    Print(200);
    PauseThePrint(40);
    printer_.ClearCommandLog(kMain);
    printer_.RejectNext(kMain, "1 Unrecognized command");
    EXPECT_TRUE(Control("cancelTask", Id(kGroup)).empty());
    ASSERT_FALSE(Await(kGroup, "CANCELLED").is_null());
    EXPECT_EQ(Reason(kGroup), "Cancelled by User Interface");
    const auto log = printer_.CommandLog(kMain);
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ((std::vector<std::string>(log.begin(), log.begin() + 4)),
              (std::vector<std::string>{"ST ABCDE", "TC1", "STS", "MG TIME"}));
    EXPECT_TRUE(Stands());
    FinishAndLeave();
}

}  // namespace
