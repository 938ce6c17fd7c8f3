#include "SimAxis.h"

#include <algorithm>
#include <cmath>

namespace sim {
namespace {

// Where travel ends mechanically, in counts beyond the home switch.
constexpr double kHardStopBeyondSwitchCounts = 400.0;
constexpr double kSampleSeconds = 0.001;

}  // namespace

SimAxis::SimAxis(bool has_switch, double start_physical_counts)
    : has_switch_(has_switch), physical_counts_(start_physical_counts) {}

int32_t SimAxis::ReferenceWhole() const {
    // The record field is 32 bits wide; a position beyond it shows as the nearest end.
    double rounded = std::round(ReferenceCounts());
    return static_cast<int32_t>(std::clamp(rounded, -2147483648.0, 2147483647.0));
}

void SimAxis::DefinePosition(double counts) {
    double shift = counts - ReferenceCounts();
    offset_counts_ += shift;
    target_counts_ += shift;
}

void SimAxis::SetJogSpeed(double counts_per_s) {
    jog_speed_counts_s_ = counts_per_s;
    begin_position_move_ = false;
}

void SimAxis::SetTarget(double counts) {
    target_counts_ = counts;
    if (!tracking_) {
        begin_position_move_ = true;
    }
}

void SimAxis::SetTracking(bool on) {
    if (on == tracking_) {
        return;
    }
    tracking_ = on;
    if (on) {
        // Tracking starts from where the axis stands.
        motion_ = Motion::kIdle;
        coordinated_ = false;
        target_counts_ = ReferenceCounts();
    } else if (std::fabs(target_counts_ - ReferenceCounts()) > 1e-9) {
        // A tracking move under way is finished as an ordinary position move.
        motion_ = Motion::kPositionMove;
    }
}

void SimAxis::Begin() {
    motion_ = begin_position_move_ ? Motion::kPositionMove : Motion::kJog;
    tracking_ = false;
    coordinated_ = false;
}

void SimAxis::Stop() {
    motion_ = Motion::kIdle;
    target_counts_ = ReferenceCounts();
    moving_ = false;
}

void SimAxis::SetMotorOff(bool off) {
    if (off) {
        Stop();
    } else if (motor_off_) {
        target_counts_ = ReferenceCounts();
    }
    motor_off_ = off;
}

void SimAxis::SetCoordinated(bool on) {
    coordinated_ = on;
    if (on) {
        tracking_ = false;
        motion_ = Motion::kIdle;
    }
}

void SimAxis::SetCoordinatedMoving(bool moving, bool negative) {
    coordinated_moving_ = moving;
    coordinated_negative_ = negative;
}

void SimAxis::FollowTarget(double counts) {
    if (tracking_ && motion_ == Motion::kIdle) {
        target_counts_ = counts;
    }
}

bool SimAxis::MovingIndependently() const {
    return motion_ != Motion::kIdle || moving_;
}

void SimAxis::Step() {
    moving_ = false;
    if (motor_off_ || coordinated_moving_) {
        return;
    }
    switch (motion_) {
        case Motion::kJog: {
            double next = physical_counts_ + jog_speed_counts_s_ * kSampleSeconds;
            negative_ = jog_speed_counts_s_ < 0.0;
            bool stopped = ApplyLimits(&next);
            moving_ = next != physical_counts_;
            physical_counts_ = next;
            if (stopped) {
                motion_ = Motion::kIdle;
            }
            break;
        }
        case Motion::kPositionMove:
            if (MoveToward(target_counts_, speed_counts_s_)) {
                motion_ = Motion::kIdle;
            }
            break;
        case Motion::kIdle:
            if (tracking_) {
                MoveToward(target_counts_, speed_counts_s_);
            }
            break;
    }
}

bool SimAxis::MoveToward(double target, double speed_counts_s) {
    double distance = target - ReferenceCounts();
    if (std::fabs(distance) < 1e-9) {
        return true;
    }
    double step = std::fabs(speed_counts_s) * kSampleSeconds;
    double next = std::fabs(distance) <= step ? target - offset_counts_
                                              : physical_counts_ + std::copysign(step, distance);
    negative_ = distance < 0.0;
    bool stopped = ApplyLimits(&next);
    moving_ = next != physical_counts_;
    physical_counts_ = next;
    return stopped || std::fabs(target - ReferenceCounts()) < 1e-9;
}

bool SimAxis::ApplyLimits(double* next_physical) const {
    double next = *next_physical;
    if (next < physical_counts_ && has_switch_) {
        if (ReverseLimitOn() && next <= switch_counts_) {
            *next_physical = std::min(physical_counts_, switch_counts_);
            return true;
        }
        double hard_stop = switch_counts_ - kHardStopBeyondSwitchCounts;
        if (next <= hard_stop) {
            *next_physical = std::min(physical_counts_, hard_stop);
            return true;
        }
    }
    if (next > physical_counts_) {
        double limit_physical = forward_limit_counts_ - offset_counts_;
        if (next >= limit_physical) {
            *next_physical = physical_counts_ > limit_physical ? physical_counts_ : limit_physical;
            return true;
        }
    }
    return false;
}

uint16_t SimAxis::StatusWord() const {
    uint16_t word = 0;
    bool moving = coordinated_moving_ || motion_ != Motion::kIdle || moving_;
    bool negative = coordinated_moving_ ? coordinated_negative_ : negative_;
    if (moving) {
        word |= kAxisMoving;
        if (negative) {
            word |= kAxisNegative;
        }
    }
    if (tracking_) {
        word |= kAxisTracking;
    }
    if (motion_ == Motion::kPositionMove) {
        word |= kAxisPositionMove;
    }
    if (coordinated_) {
        word |= kAxisCoordinated;
    }
    if (motor_off_) {
        word |= kAxisMotorOff;
    }
    return word;
}

uint8_t SimAxis::SwitchByte() const {
    if (forced_switch_ >= 0) {
        return forced_switch_ != 0 ? 0x04 : 0x00;
    }
    if (!has_switch_) {
        return 0x04;
    }
    return physical_counts_ <= switch_counts_ ? 0x00 : 0x04;
}

}  // namespace sim
