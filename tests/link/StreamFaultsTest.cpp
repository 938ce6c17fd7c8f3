// What a UI sees when a controller stalls, goes away or is opened again while
// work runs: through the real server binary, against the virtual printer.
#include "Deadline.h"
#include "ServerPrinterTest.h"
#include "TempDir.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <ostream>
#include <thread>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using sim::Controller;

const char kMainFailure[] = "<cmd>Data Record (main controller)</cmd>";
const char kGroup[] = "T_LinearGroup";

class StreamFaults : public ServerPrinterTest {
  protected:
    // Slow enough that both record streams keep up under the sanitizers, so
    // no command times out but where a test makes it.
    StreamFaults() : ServerPrinterTest(sim::VirtualPrinterOptions{0, 0, 8.0, false}) {}
    void SetUp() override {
        ListenUi();
        OpenMain();
        OpenTemperature();
    }
    // The replies before a pong: what the server said over TCP meanwhile.
    std::string Said() {
        std::string all;
        for (const auto& text : client_.Sync()) {
            all += text;
        }
        return all;
    }
    void Freeze(Controller controller, bool frozen) {
        printer_.StallRecords(controller, frozen);
        printer_.StallReplies(controller, frozen);
    }
    size_t OpenDescriptors() {
        const auto folder = "/proc/" + std::to_string(server_.Pid()) + "/fd";
        return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder),
                                                 std::filesystem::directory_iterator()));
    }
};

TEST_F(StreamFaults, AShortSilenceOfTheRecordsIsWaitedOut) {
    Run("G4 P20000\nG4 P10\n");
    ASSERT_FALSE(Await("G4 P20000", "RUNNING").is_null());
    // The printer's records stop for 1.5 s, longer than one record read waits.
    printer_.StallRecords(Controller::kMain, true);
    std::this_thread::sleep_for(1500ms);
    printer_.StallRecords(Controller::kMain, false);
    EXPECT_FALSE(Await("G4 P10", "FINISHED").is_null());
    EXPECT_EQ(Await("G4 P20000", "FINISHED").value("cancellation_reason", ""), "");
    EXPECT_EQ(Said(), "");
}

TEST_F(StreamFaults, ALongSilenceFailsTheWaitingWorkUntilTheStreamIsOpenedAgain) {
    Run("G1 X900 F600\nG4 P10\n");
    ASSERT_FALSE(Await(kGroup, "RUNNING").is_null());
    Freeze(Controller::kMain, true);
    // The stream fails after five silent seconds; the group's stops then wait
    // as long for their replies.
    const json group = Await(kGroup, "CANCELLED", -1, 20s);
    Freeze(Controller::kMain, false);
    ASSERT_FALSE(group.is_null()) << "the stalled print froze";
    EXPECT_NE(group.value("cancellation_reason", "").find(kMainFailure), std::string::npos);
    EXPECT_EQ(Await("G4 P10", "CANCELLED")["cancellation_reason"],
              "Previous Task in Queue Cancelled");
    EXPECT_NE(Said().find(R"("data":"Data Record")"), std::string::npos);

    // Work that needs the stream fails at once until it is opened again.
    Type("G4 P100");
    EXPECT_NE(Await("G4 P100", "CANCELLED").value("cancellation_reason", "").find(kMainFailure),
              std::string::npos);
    OpenMain();
    Type("G1 X60 F6000");
    EXPECT_FALSE(Await(kGroup, "FINISHED").is_null());

    // The UI leaves: the server ends and switches the machine off.
    printer_.ClearCommandLog(Controller::kMain);
    printer_.ClearCommandLog(Controller::kTemperature);
    FinishAndLeave();
    EXPECT_EQ(printer_.CommandLog(Controller::kMain),
              (std::vector<std::string>{"ST", "MG TIME", "MO"}));
    EXPECT_EQ(printer_.CommandLog(Controller::kTemperature),
              (std::vector<std::string>{"PM 0,0", "setext=0", "setbed=0"}));
}

TEST_F(StreamFaults, ALostChannelOrControllerFailsTheWorkThatWaitsOnIt) {
    Type("M109 S200");
    ASSERT_FALSE(Await("M109 S200", "RUNNING").is_null());
    printer_.CutRecordStreams(Controller::kTemperature);
    const json wait = Await("M109 S200", "CANCELLED");
    EXPECT_NE(wait.value("cancellation_reason", "").find("Data Record (temperature controller)"),
              std::string::npos);
    EXPECT_NE(Said().find(R"("data":"Data Record")"), std::string::npos);

    // The main controller goes away mid-move, as a killed printer does.
    Run("G1 X900 F600\nG4 P10\n");
    ASSERT_FALSE(Await(kGroup, "RUNNING").is_null());
    printer_.CutConnections(Controller::kMain);
    EXPECT_NE(Await(kGroup, "CANCELLED").value("cancellation_reason", "").find(kMainFailure),
              std::string::npos);
    EXPECT_FALSE(Await("G4 P10", "CANCELLED").is_null());
}

TEST_F(StreamFaults, OpeningAStreamAgainKeepsTheWorkGoingAndLeaksNothing) {
    Run("G1 X300 F1200\nM109 S35\nG1 X60 F6000\n");
    ASSERT_FALSE(Await(kGroup, "RUNNING", 0).is_null());
    OpenMain();
    ASSERT_FALSE(Await("M109 S35", "RUNNING").is_null());
    OpenTemperature();
    EXPECT_FALSE(Await(kGroup, "FINISHED", 1).is_null())
        << server_.Stderr() << testing::PrintToString(tasks_);
    EXPECT_FALSE(Await(kGroup, "FINISHED", 0, 0ms).is_null());
    EXPECT_FALSE(Await("M109 S35", "FINISHED", -1, 0ms).is_null());

    const size_t descriptors = OpenDescriptors();
    for (int i = 0; i < 100; ++i) {
        OpenMain();
        OpenTemperature();
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
    // The printer sees the replaced streams close a moment later.
    for (const Controller controller : {Controller::kMain, Controller::kTemperature}) {
        EXPECT_TRUE(WaitFor([&] { return printer_.RecordStreamCount(controller) == 1; }));
    }
}

TEST_F(StreamFaults, AFailedOpenLeavesTheWorkingStreamInUse) {
    // Accepts connections (the backlog does) and never says a word.
    const int silent = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(silent, 8), 0);
    getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string where = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    const size_t descriptors = OpenDescriptors();
    // Only the command's message: the stream in use has not failed.
    EXPECT_EQ(Ask({{"command", "openStream"}, {"ip_address", where}})["data"]["source"], "ZRecord");
    EXPECT_EQ(OpenDescriptors(), descriptors) << "the failed connection is closed";
    close(silent);
    EXPECT_EQ(Said().find("Data Record"), std::string::npos);
    Type("G1 X60 F6000");
    EXPECT_FALSE(Await(kGroup, "FINISHED").is_null());
}

// --- Work held by the UI while the main stream fails ----------------------

enum class Held { kPaused, kBreakpoint };
enum class StreamFault { kRestart, kRestartAhead, kCut, kStall };

struct HeldRow {
    const char* name;
    Held held;
    StreamFault fault;
};

void PrintTo(const HeldRow& row, std::ostream* out) {
    *out << row.name;
}

// At real speed: the records decide how far the print got and where it stands.
class HeldWork : public ServerPrinterTest, public testing::WithParamInterface<HeldRow> {
  protected:
    HeldWork() : ServerPrinterTest(sim::VirtualPrinterOptions{0, 0, 1.0, false}) {}
    void SetUp() override {
        // Far enough from 0 for a restart to set the clock back.
        printer_.SetClock(60000);
        ListenUi();
        OpenMain();
        // X's position is trusted, as after homing.
        Ask({{"command", "terminalCommand"}, {"data", "ZAA=1"}});
    }
    // A zigzag of 100 extruding moves, then a second group behind a dwell.
    void Print(bool breakpoint) {
        const std::string dwell = breakpoint ? "G4 P10\n;BREAKPOINT\n" : "G4 P10\n";
        Run(Zigzag(100) + dwell + "G1 X60 Y60 E1 F3000\nG1 Z1 F600\nG4 P20\n");
    }
    void Fail(StreamFault fault) {
        if (fault == StreamFault::kRestart) {
            printer_.Restart(Controller::kMain, 1000);
        } else if (fault == StreamFault::kRestartAhead) {
            // Only the lost position tells this one from a cut stream.
            printer_.Restart(Controller::kMain, printer_.Snapshot().samples + 4500);
        } else if (fault == StreamFault::kCut) {
            printer_.CutRecordStreams(Controller::kMain);
        } else {
            printer_.StallRecords(Controller::kMain, true);
        }
        EXPECT_EQ(client_.Receive().value_or(json()).value("data", ""), "Data Record");
        printer_.StallRecords(Controller::kMain, false);
    }
};

TEST_P(HeldWork, ResumesExactlyUnlessTheControllerRestarted) {
    const HeldRow& row = GetParam();
    Print(row.held == Held::kBreakpoint);
    const int nth = row.held == Held::kPaused ? 0 : 1;
    if (row.held == Held::kPaused) {
        ASSERT_FALSE(Await(kGroup, "RUNNING", 0).is_null()) << server_.Stderr();
        ASSERT_TRUE(printer_.WaitUntil(
            [](const sim::PrinterSnapshot& p) { return p.segment_count >= 20; }, 10s));
        client_.Send({{"command", "pauseTask"}, {"id", labelled_[kGroup][0]}});
    }
    ASSERT_FALSE(Await(kGroup, row.held == Held::kPaused ? "PAUSED" : "BREAKPOINT", nth).is_null())
        << server_.Stderr();
    Fail(row.fault);
    // Nothing would show what a resume sets going: it waits for the re-open.
    client_.Send({{"command", "resumeTask"}, {"id", labelled_[kGroup][nth]}});
    EXPECT_NE(client_.Receive().value_or(json()).dump().find("Data Record (main controller)"),
              std::string::npos);
    OpenMain();
    printer_.ClearCommandLog(Controller::kMain);
    const auto standing = printer_.Snapshot().axes;
    Await("", "", -1, 300ms);
    EXPECT_EQ(Status(kGroup, nth), row.held == Held::kPaused ? "PAUSED" : "BREAKPOINT");

    client_.Send({{"command", "resumeTask"}, {"id", labelled_[kGroup][nth]}});
    if (row.fault == StreamFault::kRestart || row.fault == StreamFault::kRestartAhead) {
        EXPECT_EQ(End(kGroup, nth), "CANCELLED");
        EXPECT_EQ(Reason(kGroup, nth), "Main controller restarted while the task was held");
        EXPECT_EQ(End("G4 P20"), "CANCELLED");
        EXPECT_EQ(End(kGroup, 1), "CANCELLED");
        EXPECT_EQ(Sent("BGS"), 0u) << "no move runs";
        for (size_t axis = 0; axis < standing.size(); ++axis) {
            EXPECT_EQ(printer_.Snapshot().axes[axis].position_counts,
                      standing[axis].position_counts);
        }
        return;
    }
    EXPECT_EQ(End("G4 P20"), "FINISHED") << Reason(kGroup, nth) << server_.Stderr();
    ASSERT_TRUE(Stands());
    const auto axes = printer_.Snapshot().axes;
    EXPECT_NEAR(axes[0].position_counts, 60 * 400.0, 2.0);
    EXPECT_NEAR(axes[1].position_counts, 60 * 400.0, 2.0);
    EXPECT_NEAR(axes[2].position_counts, 1 * 1600.0, 2.0);
    EXPECT_NEAR(axes[3].position_counts, 100 * 20.0 + 400.0, 3.0);
}

INSTANTIATE_TEST_SUITE_P(
    AcrossAFailedStream, HeldWork,
    testing::Values(HeldRow{"PausedAcrossARestart", Held::kPaused, StreamFault::kRestart},
                    HeldRow{"BreakpointAcrossARestart", Held::kBreakpoint, StreamFault::kRestart},
                    HeldRow{"PausedAcrossARestartWithItsClockAhead", Held::kPaused,
                            StreamFault::kRestartAhead},
                    HeldRow{"PausedAcrossACutStream", Held::kPaused, StreamFault::kCut},
                    HeldRow{"PausedAcrossAStall", Held::kPaused, StreamFault::kStall}),
    [](const testing::TestParamInfo<HeldRow>& info) { return info.param.name; });

}  // namespace
