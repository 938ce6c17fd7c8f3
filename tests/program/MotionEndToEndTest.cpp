// Move groups through the real server binary against the virtual printer at
// (close to) real speed: a paused and resumed print keeps its motion exact,
// motors switched off before a move are switched on again, and a stop that
// lands while a typed move starts ends its group.
#include "Deadline.h"
#include "ServerPrinterTest.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using sim::Controller;

const char kGroup[] = "T_LinearGroup";
constexpr double kCountsPerMm = 400.0;  // X, Y and E by default

std::string Millimetres(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.2f", value);
    return text;
}

// Counts of a target in millimetres as the server computes them (truncated).
double Counts(const std::string& millimetres) {
    return std::trunc(std::stod(millimetres) * kCountsPerMm);
}

class MotionEndToEnd : public ServerPrinterTest {
  protected:
    MotionEndToEnd() : ServerPrinterTest(sim::VirtualPrinterOptions{0, 0, 2.0, false}) {}
    void SetUp() override {
        ListenUi();
        OpenMain();
    }

    void Control(const char* command, uint32_t id) {
        client_.Send({{"command", command}, {"id", id}});
    }
};

TEST_F(MotionEndToEnd, PausesAndResumesLeaveThePrintAsWithoutThem) {
    // A zigzag of 120 moves, each extruding 0.05 mm (20 counts), in M83.
    constexpr int kMoves = 120;
    const std::string x = "50.00";
    const std::string y = Millimetres(50.0 + 0.05 * kMoves);
    Run(Zigzag(kMoves));
    const json started = Await(kGroup, "RUNNING");
    ASSERT_FALSE(started.is_null()) << server_.Stderr();
    const uint32_t group = labelled_[kGroup].back();

    size_t left = kMoves;  // moves the controller has not completed
    for (int pause = 0; pause < 2; ++pause) {
        // Well inside the sequence (after a resume the count starts again at
        // 0): the first pause as a move completes, the second in the middle
        // of one (a move takes 12.5 ms).
        ASSERT_TRUE(printer_.WaitUntil(
            [](const sim::PrinterSnapshot& p) { return p.segment_count >= 30; }, 10s));
        std::this_thread::sleep_for(pause == 0 ? 0ms : 6ms);
        Control("pauseTask", group);
        ASSERT_FALSE(Await(kGroup, "PAUSED").is_null()) << server_.Stderr();
        ASSERT_TRUE(Stands());
        left -= printer_.Snapshot().segment_count;
        std::this_thread::sleep_for(20ms);
        printer_.ClearCommandLog(Controller::kMain);
        Control("resumeTask", group);
        ASSERT_FALSE(Await(kGroup, "RUNNING").is_null()) << server_.Stderr();
        // Every move not completed is sent once again, and no other.
        ASSERT_TRUE(WaitFor([&] { return Sent("LI") >= left; }));
        EXPECT_EQ(Sent("LI"), left) << pause;
    }
    EXPECT_EQ(End(kGroup, -1), "FINISHED") << Reason(kGroup);
    ASSERT_TRUE(Stands());

    // As without a pause: X, Y at the last targets, Z where it was, every
    // count of E extruded once; one count of rounding per pause at most.
    const auto axes = printer_.Snapshot().axes;
    EXPECT_NEAR(axes[0].position_counts, Counts(x), 2.0);
    EXPECT_NEAR(axes[1].position_counts, Counts(y), 2.0);
    EXPECT_NEAR(axes[2].position_counts, 8000.0, 2.0);
    EXPECT_NEAR(axes[3].position_counts, kMoves * 20.0, 2.0);
}

TEST_F(MotionEndToEnd, MovesRightAfterMotorsOffRunAndTheFileRunsToItsEnd) {
    printer_.SetSpeed(1);
    OpenTemperature();
    Run("M104 S60\nM84\nG1 X51 F6000\nM18 X\nG1 X52 Y51\nM18 E\nG1 X53 E0.5\nM18 E\nG1 X54\n"
        "M104 S0\n");
    EXPECT_EQ(End("M104 S0", -1), "FINISHED") << server_.Stderr() << testing::PrintToString(tasks_);
    ASSERT_EQ(labelled_[kGroup].size(), 4u);
    for (int group = 0; group < 4; ++group) {
        EXPECT_EQ(End(kGroup, group, 0ms), "FINISHED") << Reason(kGroup, group);
    }
    ASSERT_TRUE(Stands());
    const sim::PrinterSnapshot printer = printer_.Snapshot();
    EXPECT_EQ(printer.axes[0].reference, 54 * 400);
    EXPECT_EQ(printer.axes[1].reference, 51 * 400);
    EXPECT_EQ(printer.axes[3].reference, 200);
    EXPECT_EQ(printer.hot_end_target_c, 0.0);
}

TEST_F(MotionEndToEnd, AStopThatLandsWhileATypedMoveStartsEndsItsGroup) {
    printer_.SetSpeed(1);
    // About one stop in four that landed while the group started left it
    // running for ever. The delay before the "ST" is steered toward the
    // group's "LI" ... "LE" as each trial shows where the stop landed.
    constexpr int kTrials = 24;
    auto delay = 0us;
    int inside = 0;
    for (int trial = 0; trial < kTrials; ++trial) {
        printer_.ClearCommandLog(Controller::kMain);
        // 10 mm at 100 mm/s: a tenth of a second, far longer than a start.
        Type(std::string("G1 X") + (trial % 2 == 0 ? "60" : "50") + " F6000");
        std::this_thread::sleep_for(delay);
        Type("ST");
        const std::string end = End(kGroup, trial, 3s);
        ASSERT_TRUE(end == "FINISHED" || end == "CANCELLED")
            << "trial " << trial << ": the group is left " << end << " after "
            << testing::PrintToString(printer_.CommandLog(Controller::kMain)) << "\n"
            << server_.Stderr();
        ASSERT_TRUE(Stands()) << trial;
        // The reply to the typed "ST": it has reached the controller.
        ASSERT_TRUE(client_.Receive());

        const auto log = printer_.CommandLog(Controller::kMain);
        const auto at = [&log](const std::function<bool(const std::string&)>& match) {
            return std::find_if(log.begin(), log.end(), match) - log.begin();
        };
        const auto stop = at([](const std::string& line) { return line == "ST"; });
        const auto first = at([](const std::string& line) { return line.rfind("LI", 0) == 0; });
        const auto last = at([](const std::string& line) { return line == "LE"; });
        const bool sent = first < static_cast<long>(log.size());
        // Finished when the controller completed the segment (or there was
        // none to send): a stop before it was sent leaves it be, and so may
        // one that comes late on a loaded host; otherwise stopped.
        if (!sent || printer_.Snapshot().segment_count == 1) {
            EXPECT_EQ(end, "FINISHED")
                << trial << testing::PrintToString(log) << Reason(kGroup, trial);
        } else {
            EXPECT_EQ(end, "CANCELLED") << trial << testing::PrintToString(log);
            EXPECT_EQ(Reason(kGroup, trial), "Motion stopped after 0 of 1 segments");
        }
        if (!sent || stop < first) {
            delay += 200us;
        } else if (stop > last + 1) {
            delay = delay > 150us ? delay - 150us : 0us;
        } else {
            ++inside;
        }
    }
    RecordProperty("stops_between_LI_and_LE", inside);
}

}  // namespace
