// The maths that turns one linear move into the text of one "LI" segment for
// the main controller: count deltas of the five channels A to E and a vector
// speed in counts per second. Building a segment advances a planned position,
// so segments are built in program order.
#pragma once

#include "MoveValues.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

class T_LinearGroup;
class T_LinearMove;

// Number of channels of a segment: controller axes A, B, C, D, E.
constexpr int kSegmentChannels = 5;

// The G-code letter of each channel ("" for none): X Y Z E - without a
// controller program, X Y - E Z while one runs (it drives C itself).
std::array<std::string, kSegmentChannels> ChannelLetters(bool program_running);

// A position per channel, in counts and in millimetres.
struct PlannedPosition {
    std::vector<int64_t>& counts;
    std::vector<double>& mm;
};

// One move planned from a position: what each channel moves, and the speed.
struct PlannedSegment {
    int64_t count_deltas[kSegmentChannels] = {0, 0, 0, 0, 0};
    double mm_deltas[kSegmentChannels] = {0.0, 0.0, 0.0, 0.0, 0.0};
    bool moved = false;
    // Counts per second; 0 when nothing moves.
    int64_t speed = 0;
};

// Plans `move` from `position` and advances the position to its end. Throws
// std::out_of_range for a move that has no 64-bit count or speed.
PlannedSegment PlanSegment(T_LinearGroup& group, const MoveValues& move, PlannedPosition position);
// What is left of a segment cut short, planned toward its planned end
// `end` on every lettered channel: an axis that takes targets from where it
// stands `now`, one that takes distances by the part it has not moved yet,
// from where the cut `stopped` it (so the E of a cut move is not extruded
// twice). The speed is that of `feed` (mm/min). Throws std::out_of_range
// like PlanSegment.
PlannedSegment PlanRemainder(T_LinearGroup& group, const std::array<int64_t, kSegmentChannels>& end,
                             const std::vector<int64_t>& now, const std::vector<int64_t>& stopped,
                             double feed);
// The LI command of a planned segment, or "" when it moves nothing.
std::string SegmentCommand(const PlannedSegment& segment);

// The LI command of `move` from `position` (advanced), or "" when no channel
// moves; `moved` tells which.
std::string BuildLinearSegment(T_LinearGroup& group, const MoveValues& move,
                               PlannedPosition position, bool& moved);
// The same from the group's own planned position.
std::string BuildLinearSegment(T_LinearGroup& group, const boost::shared_ptr<T_LinearMove>& segment,
                               bool& moved);

// Vector speed in counts per second for a feed in millimetres per minute.
int64_t LinearFeedToSpeed(T_LinearGroup& group, const double mm_deltas[kSegmentChannels],
                          const int64_t count_deltas[kSegmentChannels], double feed);

// Length of the path over the four lettered channels, in millimetres / counts.
double PathLengthMm(T_LinearGroup& group, const double mm_deltas[kSegmentChannels]);
int64_t PathLengthCounts(T_LinearGroup& group, const int64_t count_deltas[kSegmentChannels]);

// Square root of the sum of squares; for counts summed in unsigned 64-bit
// arithmetic and truncated toward zero.
double EuclideanLength(const std::vector<double>& values);
int64_t EuclideanLength(const std::vector<int64_t>& values);

// `value` truncated toward zero; throws std::out_of_range when it is not a
// finite number inside the signed 64-bit range.
int64_t TruncateToCounts(double value);
