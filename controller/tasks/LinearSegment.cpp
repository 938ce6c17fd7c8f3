#include "LinearSegment.h"

#include "AxisModes.h"
#include "T_LinearGroup.h"
#include "T_LinearMove.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

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
        throw std::out_of_range("move value outside the controller's count range");
    }
    return static_cast<int64_t>(value);
}

std::string BuildLinearSegment(T_LinearGroup& group, const boost::shared_ptr<T_LinearMove>& segment,
                               bool& moved) {
    moved = false;
    std::string text = "LI";
    int64_t count_deltas[kSegmentChannels] = {0, 0, 0, 0, 0};
    double mm_deltas[kSegmentChannels] = {0.0, 0.0, 0.0, 0.0, 0.0};
    std::vector<int64_t>& counts = group.PositionCounts();
    std::vector<double>& mm = group.PositionMm();
    const auto letters = ChannelLetters(group.IsProgramRunning());
    for (int i = 0; i < kSegmentChannels; ++i) {
        const std::string& letter = letters[i];
        if (!letter.empty() && segment->HasProperty(letter)) {
            const double value = segment->GetProperty<double>(letter);
            const double resolution = group.Resolution(letter);
            if (AxisModes::GetInstance().IsAbsoluteAxis(letter)) {
                const int64_t target_counts = TruncateToCounts(value * resolution);
                count_deltas[i] = target_counts - counts[i];
                mm_deltas[i] = value - mm[i];
                counts[i] = target_counts;
                mm[i] = value;
            } else {
                // Each distance is truncated by itself: fractions are not carried.
                mm_deltas[i] = value;
                count_deltas[i] = TruncateToCounts(value * resolution);
                counts[i] += count_deltas[i];
                mm[i] += value;
            }
            if (count_deltas[i] != 0) {
                moved = true;
                text += std::to_string(count_deltas[i]);
            }
        }
        text += ",";
    }
    if (!moved) {
        return "";
    }
    text.pop_back();
    const int64_t speed =
        LinearFeedToSpeed(group, mm_deltas, count_deltas, segment->GetProperty<double>("F"));
    return text + " <" + std::to_string(speed);
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
    const auto letters = ChannelLetters(group.IsProgramRunning());
    double resolution = 0.0;
    for (int i = 0; i < kSegmentChannels; ++i) {
        if (!letters[i].empty() && count_deltas[i] != 0) {
            resolution = std::max(resolution, group.Resolution(letters[i]));
        }
    }
    return TruncateToCounts(feed / 60.0 * resolution);
}

double PathLengthMm(T_LinearGroup& group, const double mm_deltas[kSegmentChannels]) {
    const auto letters = ChannelLetters(group.IsProgramRunning());
    std::vector<double> values;
    for (int i = 0; i < kSegmentChannels; ++i) {
        if (!letters[i].empty()) {
            values.push_back(mm_deltas[i]);
        }
    }
    return EuclideanLength(values);
}

int64_t PathLengthCounts(T_LinearGroup& group, const int64_t count_deltas[kSegmentChannels]) {
    const auto letters = ChannelLetters(group.IsProgramRunning());
    std::vector<int64_t> values;
    for (int i = 0; i < kSegmentChannels; ++i) {
        if (!letters[i].empty()) {
            values.push_back(count_deltas[i]);
        }
    }
    return EuclideanLength(values);
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
        // Unsigned arithmetic: the square of a negative count is the same modulo 2^64.
        const uint64_t magnitude = static_cast<uint64_t>(value);
        sum += magnitude * magnitude;
    }
    return static_cast<int64_t>(std::sqrt(static_cast<double>(sum)));
}
