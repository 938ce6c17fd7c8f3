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
    group->PositionMm() = {counts[0] / 400.0, counts[1] / 400.0, counts[2] / 1600.0,
                           counts[3] / 400.0, 0.0};
    return group;
}

// The command for `move` (3000 mm/min unless it gives F) on `group`; `moved`
// comes in as the opposite of what it should come out as.
std::string Build(T_LinearGroup& group, json move, bool* moved = nullptr) {
    move.emplace("F", 3000.0);
    bool sent = moved != nullptr && *moved;
    const std::string command = BuildLinearSegment(
        group, boost::make_shared<T_LinearMove>(boost::make_shared<json>(move)), sent);
    if (moved != nullptr) {
        *moved = sent;
    }
    return command;
}

}  // namespace

TEST(LinearSegment, CommandsAndPlannedPositions) {
    // Each step: the move, a prefix of its command (empty for none), and a
    // channel whose planned counts and millimetres are checked afterwards.
    struct Step {
        const char* move;
        std::string command;
        int channel = -1;
        int64_t counts = 0;
        double mm = 0.0;
    };
    struct Case {
        std::vector<int64_t> start;
        bool program_running;
        std::vector<Step> steps;
    };
    // clang-format off
    const Case cases[] = {
        // Absolute axes move by the difference.
        {{4000, 0, 0, 0, 0}, false, {{R"({"X":10.5})", "LI200,,,, <20000", 0, 4200, 10.5},
                                     {R"({"X":10.0})", "LI-200,,,, <20000", 0, 4000, 10.0}}},
        // Targets are truncated, not rounded.
        {{0, 0, 0, 0, 0}, false, {{R"({"X":0.29})", "LI115,,,", 0, 115, 0.29}, {R"({"X":-0.29})", "LI-230,,,"}}},
        // Incremental distances are truncated one by one.
        {{0, 0, 0, 0, 0}, false, {{R"({"E":0.003})", "LI,,,1, "}, {R"({"E":0.003})", "LI,,,1, "},
                                  {R"({"E":0.003})", "LI,,,1, ", 3, 3, 0.009}}},
        // Moves without counts give no command, though the plan advances.
        {{4000, 2000, 1600, 0, 0}, false, {{R"({"F":1200})", ""}, {R"({"X":10,"Y":5,"Z":1})", ""},
                                           {R"({"E":0.001})", "", 3, 0, 0.001}}},
        {{0, 0, 0, 0, 0}, false, {{R"({"X":1,"Y":-0.3,"E":0.0875,"F":6000})", "LI400,-120,,35, <39992"},
                                  {R"({"Z":1,"F":60})", "LI,,1600,, <1600", 2, 1600, 1.0},
                                  {R"({"X":4,"Y":3.7})", "LI1200,1600,,, <20000"},
                                  {R"({"X":5,"F":0})", "LI400,,,, <0"}}},
        // While a program runs, C is its own: Z goes to the fifth channel.
        {{0, 0, 0, 0, 0}, true, {{R"({"X":1,"Z":1,"F":60})", "LI400,,,,1600 <", 4, 1600, 1.0},
                                 {R"({"X":1})", "", 2, 0, 0.0}}},
    };
    // clang-format on
    for (const auto& c : cases) {
        auto group = Group(c.start, c.program_running);
        for (const auto& step : c.steps) {
            SCOPED_TRACE(step.move);
            bool moved = step.command.empty();
            const std::string command = Build(*group, json::parse(step.move), &moved);
            EXPECT_EQ(command.substr(0, step.command.size()), step.command);
            EXPECT_EQ(command.empty(), step.command.empty());
            EXPECT_EQ(moved, !step.command.empty());
            if (step.channel >= 0) {
                EXPECT_EQ(group->PositionCounts()[step.channel], step.counts);
                EXPECT_NEAR(group->PositionMm()[step.channel], step.mm, 1e-12);
            }
        }
    }
}

TEST(LinearSegment, CountsWithoutMillimetresMoveAtTheFeedAndValuesWithoutACountAreRefused) {
    // Planned at 4001 counts but 10.0 mm (as after "RP"): the target 10.0 mm
    // moves one count and no millimetre.
    auto group = Group({4001, 0, 0, 0, 0});
    group->PositionMm()[0] = 10.0;
    EXPECT_EQ(Build(*group, {{"X", 10.0}}), "LI-1,,,, <20000");
    // Count lengths are truncated, not rounded (sqrt(8) = 2.83), and need 64 bits.
    EXPECT_EQ(EuclideanLength(std::vector<int64_t>{2, 2}), 2);
    EXPECT_EQ(EuclideanLength(std::vector<int64_t>{-3000000000LL}), 3000000000LL);
    EXPECT_THROW(Build(*Group(), {{"X", 1e300}}), std::out_of_range);
    EXPECT_THROW(Build(*Group(), {{"X", 1.0}, {"F", std::nan("")}}), std::out_of_range);
    // Each value has a count, but the distance between two of them, or the
    // position they add up to, has none.
    group = Group();
    EXPECT_NO_THROW(Build(*group, {{"X", 2e16}}));
    EXPECT_THROW(Build(*group, {{"X", -2e16}}), std::out_of_range);
    group = Group();
    EXPECT_NO_THROW(Build(*group, {{"E", 2e16}}));
    EXPECT_THROW(Build(*group, {{"E", 2e16}}), std::out_of_range);
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
