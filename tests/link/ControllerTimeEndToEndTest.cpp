// Controller time as the UI meets it, through the server binary and the
// virtual printer: a main controller that restarts with its clock behind or
// ahead is judged by its own records once the UI opens it again, and a stop
// long into a switch jog is seen at once.
#include "ServerPrinterTest.h"

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using sim::Controller;
using sim::PrinterSnapshot;

constexpr double kCountsPerMm = 400.0;

// At real speed: the records a restart leaves behind would stand for the new
// controller's for seconds.
class RestartedController : public ServerPrinterTest, public testing::WithParamInterface<int64_t> {
  protected:
    RestartedController() : ServerPrinterTest(sim::VirtualPrinterOptions{0, 0, 1.0, false}) {}
    void SetUp() override {
        // Far enough from 0 for a restart behind it.
        printer_.SetClock(60000);
        ListenUi();
        OpenMain();
        // X's position is trusted, so the status shows it.
        Ask({{"command", "terminalCommand"}, {"data", "ZAA=1"}});
    }
    // Waits for a status whose X position reads `mm`.
    bool StatusShowsX(const std::string& mm, std::chrono::milliseconds timeout) {
        return ui_
            .ReceiveWhere(
                [&](const json& message) {
                    return message.value("command", "") == "updateUI" &&
                           message["data"].value("rpa", "") == mm;
                },
                timeout)
            .has_value();
    }
};

TEST_P(RestartedController, IsJudgedByItsOwnRecords) {
    // The records say that the axes are in the coordinate system.
    Type("G1 X10 F6000");
    ASSERT_FALSE(Await("T_LinearGroup", "FINISHED").is_null())
        << testing::PrintToString(tasks_) << server_.Stderr();
    const uint64_t before = printer_.Snapshot().samples;
    printer_.Restart(Controller::kMain, before + GetParam());
    // The UI hears that the stream failed, and opens it again.
    EXPECT_EQ(client_.Receive().value_or(json()).value("data", ""), "Data Record");
    OpenMain();
    // The power cycle forgot that X's position is trusted.
    Ask({{"command", "terminalCommand"}, {"data", "ZAA=1"}});
    EXPECT_TRUE(StatusShowsX("10", 1s)) << "the status comes from the new stream at once";

    Type("G1 X20 F6000");
    const json move = Await("T_LinearGroup", "FINISHED", 1, 3s);
    ASSERT_FALSE(move.is_null()) << testing::PrintToString(tasks_) << server_.Stderr();
    EXPECT_NEAR(printer_.Snapshot().axes[0].position_counts, 20 * kCountsPerMm, 1.0);
    EXPECT_TRUE(StatusShowsX("20", 1s));

    Type("G4 P1000");
    ASSERT_FALSE(Await("G4 P1000", "RUNNING", -1, 2s).is_null());
    const uint64_t dwell_start = printer_.Snapshot().samples;
    ASSERT_FALSE(Await("G4 P1000", "FINISHED", -1, 3s).is_null());
    const auto dwelt = static_cast<int64_t>(printer_.Snapshot().samples - dwell_start);
    EXPECT_GE(dwelt, 900);
    EXPECT_LE(dwelt, 1300);

    client_.Send({{"command", "jogAxis"}, {"axis", "X"}, {"polarity", "Pos"}, {"speed", "2000"}});
    EXPECT_TRUE(printer_.WaitUntil([](const PrinterSnapshot& p) { return p.Moving(0); }, 2s));
    client_.Send({{"command", "stopAxis"}, {"axis", "X"}});
    EXPECT_FALSE(Await("T_Jog", "FINISHED", -1, 2s).is_null());
}

// The old controller's clock was ahead of the new one's by less than the
// hand-over window, or behind it.
INSTANTIATE_TEST_SUITE_P(Clock, RestartedController, testing::Values(-4500, 4500),
                         [](const testing::TestParamInfo<int64_t>& info) {
                             return info.param < 0 ? std::string("Behind") : std::string("Ahead");
                         });

// Faster than real time: the fault is about sample numbers, not wall time.
class LongSwitchJog : public ServerPrinterTest {
  protected:
    LongSwitchJog() : ServerPrinterTest(sim::VirtualPrinterOptions{0, 0, 10.0, false}) {}
    void SetUp() override {
        ListenUi();
        OpenMain();
    }
};

TEST_F(LongSwitchJog, AStopFortySecondsInEndsTheHomingWithinAFewRecords) {
    // Homing X from 245 mm takes about 49 s.
    printer_.SetAxisPosition('A', 245 * kCountsPerMm);
    client_.Send({{"command", "homeAxis"}, {"axis", "X"}, {"description", "Home|{X}|"}});
    ASSERT_TRUE(printer_.WaitForCommand(Controller::kMain, "BGA", 5s));
    const uint64_t begun = printer_.Snapshot().samples;
    ASSERT_TRUE(printer_.WaitUntil(
        [&](const PrinterSnapshot& p) { return p.samples >= begun + 40000; }, 20s));
    ASSERT_TRUE(printer_.Snapshot().Moving(0));
    client_.Send({{"command", "stopAxis"}, {"axis", "X"}});
    const json homing = Await("T_Home", "CANCELLED", -1, 5s);
    ASSERT_FALSE(homing.is_null()) << testing::PrintToString(tasks_);
    // Long before 65.5 s, where 16-bit sample numbers would have shown it.
    EXPECT_LT(printer_.Snapshot().samples - begun, 55000u) << "seen within a few records";
    EXPECT_EQ(homing.value("cancellation_reason", ""), "Axis X stopped short of its limit switch");
}

}  // namespace
