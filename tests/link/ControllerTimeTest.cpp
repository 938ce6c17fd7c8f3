// Controller time: the stamp every "sampled after" rule compares, and the
// mark a task sets on the worker and tests on a record thread.
#include "ControllerTime.h"
#include "TimeMark.h"

#include <gtest/gtest.h>

namespace {

TEST(ControllerTimeTest, LaterSamplesOrALaterStreamAreAfter) {
    struct Row {
        ControllerTime time, other;
        bool after;
    };
    const Row rows[] = {
        {{1, 10}, {1, 9}, true},
        {{1, 9}, {1, 10}, false},
        {{1, 10}, {1, 10}, false},    // the same sample is not after
        {{2, 0}, {1, 100000}, true},  // a stream opened later, whatever its clock
        {{1, 100000}, {2, 0}, false},
        {{1, 40000 + (1ll << 32)}, {1, 40000}, true},  // no wrap, however long
        {{}, {}, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.time.IsAfter(row.other), row.after)
            << row.time.Stream() << ":" << row.time.Samples() << " vs " << row.other.Stream() << ":"
            << row.other.Samples();
    }
    EXPECT_EQ(ControllerTime(3, 5).Plus(40000), ControllerTime(3, 40005));
}

TEST(ControllerTimeTest, RecordsUnwrapForwardAndClockReadsToTheNearest) {
    struct Row {
        ControllerTime from;
        uint32_t low_bits;
        int64_t next, nearest;
    };
    const Row rows[] = {
        {{1, 65530}, 2, 65538, 65538},       // across a wrap either way
        {{1, 65530}, 65530, 65530, 65530},   // the same sample
        {{1, 70000}, 4465, 70001, 70001},    // 70000 is 4464 past a wrap
        {{1, 65540}, 65535, 131071, 65535},  // a clock read just behind the record
        {{1, 65540}, 131077, 65541, 65541},  // a 32-bit clock: its low 16 bits count
        {{1, 65540}, 40004, 105540, 40004},  // 40 s on: next records only go forward
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.from.Next(static_cast<uint16_t>(row.low_bits)).Samples(), row.next)
            << row.low_bits;
        EXPECT_EQ(row.from.Nearest(row.low_bits), ControllerTime(1, row.nearest)) << row.low_bits;
    }
}

TEST(ControllerTimeTest, AMarkIsPassedOnlyWhileSetAndByLaterTimes) {
    TimeMark mark;
    EXPECT_FALSE(mark.IsPassedBy({5, 0}));
    mark.Set({2, 100});
    EXPECT_TRUE(mark.IsSet());
    EXPECT_FALSE(mark.IsPassedBy({2, 100}));
    EXPECT_TRUE(mark.IsPassedBy({2, 101}));
    EXPECT_TRUE(mark.IsPassedBy({3, 0}));
    EXPECT_FALSE(mark.IsPassedBy({1, 1000000}));
    mark.Clear();
    EXPECT_FALSE(mark.IsPassedBy({3, 0}));
}

}  // namespace
