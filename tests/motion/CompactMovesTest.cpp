// Packed moves read back exactly as they were added, in order.
#include "CompactMoves.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

MoveValues Move(std::vector<std::pair<int, double>> axes, double feed) {
    MoveValues move;
    for (const auto& [axis, value] : axes) {
        move.Set(axis, value);
    }
    move.feed = feed;
    return move;
}

// Bit for bit, so that NaN and -0.0 count.
bool Same(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

TEST(CompactMoves, ReadBackAsAdded) {
    const std::vector<MoveValues> moves = {
        Move({{0, 10.5}, {1, -2.25}}, 3000.0), Move({}, 3000.0), Move({{3, 0.01}}, 1200.0),
        Move({{2, -0.0}, {3, 1e300}}, std::numeric_limits<double>::quiet_NaN()),
        Move({{0, 1.0}, {1, 2.0}, {2, 3.0}, {3, 4.0}}, -0.0)};
    CompactMoves packed;
    for (const auto& move : moves) {
        packed.Append(move);
    }
    packed.ShrinkToFit();
    ASSERT_EQ(packed.Size(), moves.size());
    CompactMoves::Reader reader(packed);
    for (const auto& expected : moves) {
        SCOPED_TRACE(reader.Index());
        ASSERT_FALSE(reader.AtEnd());
        const MoveValues read = reader.Next();
        EXPECT_EQ(read.given, expected.given);
        for (int axis = 0; axis < MoveValues::kAxes; ++axis) {
            EXPECT_TRUE(!expected.Gives(axis) || Same(read.axis[axis], expected.axis[axis]));
        }
        EXPECT_TRUE(Same(read.feed, expected.feed));
    }
    EXPECT_TRUE(reader.AtEnd());
}
