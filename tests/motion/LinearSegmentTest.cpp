// The segment maths: count deltas, planned positions, truncation, channels
// and speeds, on groups that are never started.
#include "AxisModes.h"
#include "LinearSegment.h"
#include "T_LinearGroup.h"
#include "T_LinearMove.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include <boost/make_shared.hpp>

using nlohmann::json;

namespace {

// A group at 400 counts/mm on X, Y, E and 1600 on Z, planned at `counts`.
boost::shared_ptr<T_LinearGroup> Group(std::vector<int64_t> counts = {0, 0, 0, 0, 0},
                                       bool program_running = false) {
    auto group = boost::make_shared<T_LinearGroup>(
        boost::make_shared<json>(json{{"description", "Linear Group||"},
                                      {"resolutionX", 400.0},
                                      {"resolutionY", 400.0},
                                      {"resolutionZ", 1600.0},
                                      {"resolutionE", 400.0}}));
    group->SetProgramRunning(program_running);
    group->PositionCounts() = counts;
    const auto letters = ChannelLetters(program_running);
    group->PositionMm().assign(5, 0.0);
    for (int i = 0; i < 5; ++i) {
        if (!letters[i].empty()) {
            group->PositionMm()[i] = counts[i] / group->Resolution(letters[i]);
        }
    }
    return group;
}

boost::shared_ptr<T_LinearMove> Move(json values) {
    if (!values.contains("F")) {
        values["F"] = 3000.0;
    }
    return boost::make_shared<T_LinearMove>(boost::make_shared<json>(values));
}

std::string Build(T_LinearGroup& group, json values, bool* moved = nullptr) {
    bool local = false;
    std::string text = BuildLinearSegment(group, Move(std::move(values)), local);
    if (moved) {
        *moved = local;
    }
    return text;
}

}  // namespace

TEST(LinearSegment, AbsoluteAxesMoveByTheDifferenceAndKeepThePlannedPosition) {
    auto group = Group({4000, 0, 0, 0, 0});
    EXPECT_EQ(Build(*group, {{"X", 10.5}}), "LI200,,,, <20000");
    EXPECT_EQ(group->PositionCounts()[0], 4200);
    EXPECT_DOUBLE_EQ(group->PositionMm()[0], 10.5);
    EXPECT_EQ(Build(*group, {{"X", 10.0}}), "LI-200,,,, <20000");
    EXPECT_EQ(group->PositionCounts()[0], 4000);
}

TEST(LinearSegment, TargetsAreTruncatedNotRounded) {
    auto group = Group();
    EXPECT_EQ(Build(*group, {{"X", 0.29}}).substr(0, 8), "LI115,,,");
    EXPECT_EQ(group->PositionCounts()[0], 115);
    EXPECT_EQ(Build(*group, {{"X", -0.29}}).substr(0, 9), "LI-230,,,");
}

TEST(LinearSegment, IncrementalDistancesAreTruncatedOneByOne) {
    auto group = Group();
    for (int i = 0; i < 3; ++i) {
        bool moved = false;
        EXPECT_EQ(Build(*group, {{"E", 0.003}}, &moved).substr(0, 8), "LI,,,1, ");
        EXPECT_TRUE(moved);
    }
    EXPECT_EQ(group->PositionCounts()[3], 3);
    EXPECT_NEAR(group->PositionMm()[3], 0.009, 1e-12);
}

TEST(LinearSegment, MovesWithoutCountsGiveNoCommand) {
    auto group = Group({4000, 2000, 1600, 0, 0});
    bool moved = true;
    EXPECT_EQ(Build(*group, {{"F", 1200.0}}, &moved), "");
    EXPECT_FALSE(moved);
    moved = true;
    EXPECT_EQ(Build(*group, {{"X", 10.0}, {"Y", 5.0}, {"Z", 1.0}}, &moved), "");
    EXPECT_FALSE(moved);
    // A distance below one count moves nothing either, though the plan advances.
    EXPECT_EQ(Build(*group, {{"E", 0.001}}, &moved), "");
    EXPECT_FALSE(moved);
    EXPECT_DOUBLE_EQ(group->PositionMm()[3], 0.001);
}

TEST(LinearSegment, ChannelsFollowTheControllerProgram) {
    auto idle = Group();
    EXPECT_EQ(Build(*idle, {{"X", 1.0}, {"Y", -0.3}, {"E", 0.0875}, {"F", 6000.0}}),
              "LI400,-120,,35, <39992");
    EXPECT_EQ(Build(*idle, {{"Z", 1.0}, {"F", 60.0}}), "LI,,1600,, <1600");
    // While a program runs, C is its own; Z goes to E and the length counts it.
    auto running = Group({0, 0, 0, 0, 0}, true);
    EXPECT_EQ(Build(*running, {{"Z", 1.0}, {"F", 60.0}}), "LI,,,,1600 <1600");
    EXPECT_EQ(running->PositionCounts()[4], 1600);
    EXPECT_EQ(running->PositionCounts()[2], 0);
}

TEST(LinearSegment, SpeedIsThePathLengthOverTheDuration) {
    auto group = Group();
    EXPECT_EQ(Build(*group, {{"X", 3.0}, {"Y", 4.0}, {"F", 3000.0}}), "LI1200,1600,,, <20000");
    const double mm[5] = {3.0, 4.0, 0.0, 0.0, 0.0};
    const int64_t counts[5] = {1200, 1600, 0, 0, 0};
    EXPECT_DOUBLE_EQ(PathLengthMm(*group, mm), 5.0);
    EXPECT_EQ(PathLengthCounts(*group, counts), 2000);
    EXPECT_EQ(LinearFeedToSpeed(*group, mm, counts, 3000.0), 20000);
    // A feed of zero gives a speed of zero.
    EXPECT_EQ(LinearFeedToSpeed(*group, mm, counts, 0.0), 0);
    // The fifth channel carries no letter without a program: not in the length.
    const double spare_mm[5] = {0.0, 0.0, 0.0, 0.0, 7.0};
    EXPECT_DOUBLE_EQ(PathLengthMm(*group, spare_mm), 0.0);
}

TEST(LinearSegment, CountsWithoutMillimetresMoveAtTheFeed) {
    // Planned at 4001 counts but 10.0 mm (as after "RP"): the target 10.0 mm
    // moves one count and no millimetre.
    auto group = Group({4001, 0, 0, 0, 0});
    group->PositionMm()[0] = 10.0;
    EXPECT_EQ(Build(*group, {{"X", 10.0}, {"F", 3000.0}}), "LI-1,,,, <20000");
}

TEST(LinearSegment, EuclideanLengths) {
    EXPECT_DOUBLE_EQ(EuclideanLength(std::vector<double>{}), 0.0);
    EXPECT_DOUBLE_EQ(EuclideanLength(std::vector<double>{-3.0, 4.0}), 5.0);
    EXPECT_EQ(EuclideanLength(std::vector<int64_t>{-3, 4, 0}), 5);
    // Truncated, not rounded: sqrt(8) = 2.83.
    EXPECT_EQ(EuclideanLength(std::vector<int64_t>{2, 2}), 2);
    EXPECT_EQ(EuclideanLength(std::vector<int64_t>{-3000000000LL}), 3000000000LL);
}

TEST(LinearSegment, ValuesWithoutACountAreRefused) {
    auto group = Group();
    bool moved = false;
    EXPECT_THROW(BuildLinearSegment(*group, Move({{"X", 1e300}}), moved), std::out_of_range);
    EXPECT_THROW(BuildLinearSegment(*group, Move({{"X", 1.0}, {"F", std::nan("")}}), moved),
                 std::out_of_range);
    // Each value has a count, but the distance between two of them, or the
    // position they add up to, has none.
    EXPECT_NO_THROW(BuildLinearSegment(*group, Move({{"X", 2e16}}), moved));
    EXPECT_THROW(BuildLinearSegment(*group, Move({{"X", -2e16}}), moved), std::out_of_range);
    auto extruding = Group();
    EXPECT_NO_THROW(BuildLinearSegment(*extruding, Move({{"E", 2e16}}), moved));
    EXPECT_THROW(BuildLinearSegment(*extruding, Move({{"E", 2e16}}), moved), std::out_of_range);
    EXPECT_EQ(TruncateToCounts(-2.9), -2);
    EXPECT_THROW(TruncateToCounts(std::numeric_limits<double>::infinity()), std::out_of_range);
}

TEST(LinearSegment, AxisModesComeFromTheInstalledSource) {
    AxisModes& modes = AxisModes::GetInstance();
    EXPECT_TRUE(modes.IsAbsoluteAxis("X"));
    EXPECT_FALSE(modes.IsAbsoluteAxis("E"));
    modes.SetAbsoluteAxisSource([](const std::string&) { return false; });
    auto group = Group({4000, 0, 0, 0, 0});
    EXPECT_EQ(Build(*group, {{"X", 1.0}}).substr(0, 8), "LI400,,,");
    EXPECT_EQ(group->PositionCounts()[0], 4400);
    modes.SetAbsoluteAxisSource(nullptr);
    EXPECT_TRUE(modes.IsAbsoluteAxis("Z"));
}
