#include "CoordinatedMotion.h"

#include <cmath>

namespace sim {
namespace {

constexpr double kSampleSeconds = 0.001;

double PathLength(const LinearSegment& segment) {
    double sum = 0.0;
    for (int64_t delta : segment.delta_counts) {
        sum += static_cast<double>(delta) * static_cast<double>(delta);
    }
    return std::sqrt(sum);
}

}  // namespace

void CoordinatedMotion::Clear(std::array<SimAxis, 5>& axes) {
    Stop(axes);
    segment_count_ = 0;
}

bool CoordinatedMotion::Add(const LinearSegment& segment) {
    if (buffer_.size() >= kBufferPlaces) {
        return false;
    }
    buffer_.push_back(segment);
    return true;
}

void CoordinatedMotion::Begin(std::array<SimAxis, 5>& axes) {
    running_ = true;
    if (!buffer_.empty() && !front_started_) {
        StartFront(axes);
    }
}

void CoordinatedMotion::Stop(std::array<SimAxis, 5>& axes) {
    MarkAxes(axes, false);
    buffer_.clear();
    running_ = false;
    end_requested_ = false;
    front_started_ = false;
}

uint16_t CoordinatedMotion::BufferFree() const {
    return static_cast<uint16_t>(kBufferPlaces - buffer_.size());
}

void CoordinatedMotion::StartFront(std::array<SimAxis, 5>& axes) {
    for (size_t i = 0; i < axes.size(); ++i) {
        start_counts_[i] = axes[i].PhysicalCounts();
    }
    length_counts_ = PathLength(buffer_.front());
    done_counts_ = 0.0;
    front_started_ = true;
    MarkAxes(axes, true);
}

void CoordinatedMotion::PlaceAxes(std::array<SimAxis, 5>& axes, double fraction) {
    const LinearSegment& segment = buffer_.front();
    for (size_t i = 0; i < axes.size(); ++i) {
        if (segment.delta_counts[i] != 0) {
            axes[i].SetPhysicalCounts(start_counts_[i] +
                                      fraction * static_cast<double>(segment.delta_counts[i]));
        }
    }
}

void CoordinatedMotion::MarkAxes(std::array<SimAxis, 5>& axes, bool moving) {
    for (size_t i = 0; i < axes.size(); ++i) {
        bool moves = moving && !buffer_.empty() && buffer_.front().delta_counts[i] != 0;
        axes[i].SetCoordinatedMoving(moves, moves && buffer_.front().delta_counts[i] < 0);
    }
}

void CoordinatedMotion::Step(std::array<SimAxis, 5>& axes) {
    if (!running_) {
        return;
    }
    double time_left_s = kSampleSeconds;
    while (time_left_s > 0.0 && !buffer_.empty()) {
        if (!front_started_) {
            StartFront(axes);
        }
        double speed = buffer_.front().speed_counts_s;
        double remaining = length_counts_ - done_counts_;
        double reach = speed * time_left_s;
        if (reach < remaining) {
            done_counts_ += reach;
            PlaceAxes(axes, done_counts_ / length_counts_);
            return;
        }
        time_left_s -= speed > 0.0 ? remaining / speed : time_left_s;
        PlaceAxes(axes, 1.0);
        MarkAxes(axes, false);
        buffer_.pop_front();
        front_started_ = false;
        ++segment_count_;
    }
    if (buffer_.empty()) {
        MarkAxes(axes, false);
        if (end_requested_) {
            running_ = false;
            end_requested_ = false;
        }
    }
}

}  // namespace sim
