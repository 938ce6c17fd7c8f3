#include "LinearSegment.h"

#include "T_LinearGroup.h"
#include "T_LinearMove.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

const char kNoCount[] = "move value outside the controller's count range";

// Index into MoveValues of each channel's letter, -1 for none.
const int* ChannelAxes(bool program_running) {
    static const int kIdle[kSegmentChannels] = {0, 1, 2, 3, -1};
    static const int kRunning[kSegmentChannels] = {0, 1, -1, 3, 2};
    return program_running ? kRunning : kIdle;
}

int64_t CheckedAdd(int64_t a, int64_t b) {
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        throw std::out_of_range(kNoCount);
    }
    return sum;
}

int64_t CheckedSubtract(int64_t a, int64_t b) {
    int64_t difference = 0;
    if (__builtin_sub_overflow(a, b, &difference)) {
        throw std::out_of_range(kNoCount);
    }
    return difference;
}

}  // namespace

std::array<std::string, kSegmentChannels> ChannelLetters(bool program_running) {
    if (program_running) {
        return {"X", "Y", "", "E", "Z"};
    }
    return {"X", "Y", "Z", "E", ""};
}

int64_t TruncateToCounts(double value) {
    // 2^63 is exactly representable; anything at or beyond it (or NaN) has no count.
    constexpr double kLimit = 9223372036854775808.0;
    if (!(value > -kLimit && value < kLimit)) {
        throw std::out_of_range(kNoCount);
    }
    return static_cast<int64_t>(value);
}

PlannedSegment PlanSegment(T_LinearGroup& group, const MoveValues& move, PlannedPosition position) {
    PlannedSegment segment;
    const int* axes = ChannelAxes(group.IsProgramRunning());
    for (int i = 0; i < kSegmentChannels; ++i) {
        const int axis = axes[i];
        if (axis < 0 || !move.Gives(axis)) {
            continue;
        }
        const double value = move.axis[axis];
        const double resolution = group.AxisResolution(axis);
        if (group.IsAbsolute(axis)) {
            const int64_t target_counts = TruncateToCounts(value * resolution);
            segment.count_deltas[i] = CheckedSubtract(target_counts, position.counts[i]);
            segment.mm_deltas[i] = value - position.mm[i];
            position.counts[i] = target_counts;
            position.mm[i] = value;
        } else {
            // Each distance is truncated by itself: fractions are not carried.
            segment.mm_deltas[i] = value;
            segment.count_deltas[i] = TruncateToCounts(value * resolution);
            position.counts[i] = CheckedAdd(position.counts[i], segment.count_deltas[i]);
            position.mm[i] += value;
        }
        segment.moved = segment.moved || segment.count_deltas[i] != 0;
    }
    if (segment.moved) {
        segment.speed =
            LinearFeedToSpeed(group, segment.mm_deltas, segment.count_deltas, move.feed);
    }
    return segment;
}

PlannedSegment PlanRemainder(T_LinearGroup& group, const std::array<int64_t, kSegmentChannels>& end,
                             const std::vector<int64_t>& now, const std::vector<int64_t>& stopped,
                             double feed) {
    PlannedSegment segment;
    const int* axes = ChannelAxes(group.IsProgramRunning());
    for (int i = 0; i < kSegmentChannels; ++i) {
        const int axis = axes[i];
        if (axis < 0) {
            continue;
        }
        const std::vector<int64_t>& from =
            group.IsAbsolute(axis) || stopped.size() <= static_cast<size_t>(i) ? now : stopped;
        segment.count_deltas[i] = CheckedSubtract(end[i], from.at(i));
        const double resolution = group.AxisResolution(axis);
        segment.mm_deltas[i] =
            resolution != 0.0 ? static_cast<double>(segment.count_deltas[i]) / resolution : 0.0;
        segment.moved = segment.moved || segment.count_deltas[i] != 0;
    }
    if (segment.moved) {
        segment.speed = LinearFeedToSpeed(group, segment.mm_deltas, segment.count_deltas, feed);
    }
    return segment;
}

std::string SegmentCommand(const PlannedSegment& segment) {
    if (!segment.moved) {
        return "";
    }
    std::string text = "LI";
    for (int i = 0; i < kSegmentChannels; ++i) {
        if (i > 0) {
            text += ',';
        }
        if (segment.count_deltas[i] != 0) {
            text += std::to_string(segment.count_deltas[i]);
        }
    }
    text += " <";
    text += std::to_string(segment.speed);
    return text;
}

std::string BuildLinearSegment(T_LinearGroup& group, const MoveValues& move,
                               PlannedPosition position, bool& moved) {
    const PlannedSegment segment = PlanSegment(group, move, position);
    moved = segment.moved;
    return SegmentCommand(segment);
}

std::string BuildLinearSegment(T_LinearGroup& group, const boost::shared_ptr<T_LinearMove>& segment,
                               bool& moved) {
    return BuildLinearSegment(group, segment->Values(),
                              PlannedPosition{group.PositionCounts(), group.PositionMm()}, moved);
}

int64_t LinearFeedToSpeed(T_LinearGroup& group, const double mm_deltas[kSegmentChannels],
                          const int64_t count_deltas[kSegmentChannels], double feed) {
    const double length_mm = PathLengthMm(group, mm_deltas);
    const double length_counts = static_cast<double>(PathLengthCounts(group, count_deltas));
    if (length_mm != 0.0) {
        return TruncateToCounts(length_counts / (length_mm / feed * 60.0));
    }
    // Truncation left counts to move but no millimetres: move them at the feed
    // converted with the finest resolution among the moving channels.
    const int* axes = ChannelAxes(group.IsProgramRunning());
    double resolution = 0.0;
    for (int i = 0; i < kSegmentChannels; ++i) {
        if (axes[i] >= 0 && count_deltas[i] != 0) {
            resolution = std::max(resolution, group.AxisResolution(axes[i]));
        }
    }
    return TruncateToCounts(feed / 60.0 * resolution);
}

double PathLengthMm(T_LinearGroup& group, const double mm_deltas[kSegmentChannels]) {
    const int* axes = ChannelAxes(group.IsProgramRunning());
    double sum = 0.0;
    for (int i = 0; i < kSegmentChannels; ++i) {
        if (axes[i] >= 0) {
            sum += mm_deltas[i] * mm_deltas[i];
        }
    }
    return std::sqrt(sum);
}

int64_t PathLengthCounts(T_LinearGroup& group, const int64_t count_deltas[kSegmentChannels]) {
    const int* axes = ChannelAxes(group.IsProgramRunning());
    uint64_t sum = 0;
    for (int i = 0; i < kSegmentChannels; ++i) {
        if (axes[i] >= 0) {
            // Unsigned arithmetic: the square of a negative count is the same modulo 2^64.
            const uint64_t magnitude = static_cast<uint64_t>(count_deltas[i]);
            sum += magnitude * magnitude;
        }
    }
    return static_cast<int64_t>(std::sqrt(static_cast<double>(sum)));
}

double EuclideanLength(const std::vector<double>& values) {
    double sum = 0.0;
    for (double value : values) {
        sum += value * value;
    }
    return std::sqrt(sum);
}

int64_t EuclideanLength(const std::vector<int64_t>& values) {
    uint64_t sum = 0;
    for (int64_t value : values) {
        const uint64_t magnitude = static_cast<uint64_t>(value);
        sum += magnitude * magnitude;
    }
    return static_cast<int64_t>(std::sqrt(static_cast<double>(sum)));
}
