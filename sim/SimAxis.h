// One motor axis of the main controller: position, motion modes, limits.
#pragma once

#include <cstdint>

namespace sim {

// Status word bits of an axis as the main record carries them.
enum AxisStatusBit : uint16_t {
    kAxisMotorOff = 1u << 0,
    kAxisPositionMove = 1u << 6,  // independent move to a "PA" target
    kAxisNegative = 1u << 7,      // moving in the negative direction
    kAxisCoordinated = 1u << 8,   // axis belongs to the coordinated system ("LM")
    kAxisTracking = 1u << 14,     // position-tracking mode ("PT")
    kAxisMoving = 1u << 15,
};

// Positions are kept in physical counts; the reference position the
// controller reports is physical + offset, so "DP" only moves the offset.
// Axes with a home switch have it at physical 0 (Z's moves with a tilted bed)
// and a hard stop a little beyond it; driven past the switch with the reverse
// limit disabled they stall at the hard stop.
class SimAxis {
  public:
    // Independent motion an axis can be in.
    enum class Motion { kIdle, kJog, kPositionMove };

    // `has_switch`: the axis has the home switch and hard stop (A, B, C).
    SimAxis(bool has_switch, double start_physical_counts);

    // Advances one sample (one controller millisecond) of independent motion.
    void Step();

    // Reference position in counts (what "RP" and the record report).
    double ReferenceCounts() const { return physical_counts_ + offset_counts_; }
    // Reference position rounded to whole counts.
    int32_t ReferenceWhole() const;
    // Physical position in counts (the switch is at 0).
    double PhysicalCounts() const { return physical_counts_; }
    // Moves the axis physically (coordinated motion, test hook); the offset stays.
    void SetPhysicalCounts(double counts) { physical_counts_ = counts; }
    // "DP": the current place gets the reference position `counts`.
    void DefinePosition(double counts);

    // "JG": jog speed in counts per second; changes a running jog at once.
    void SetJogSpeed(double counts_per_s);
    // "SP": speed of position moves and tracking, counts per second.
    void SetSpeed(double counts_per_s) { speed_counts_s_ = counts_per_s; }
    // "PA": target reference position; tracked at once in "PT" mode.
    void SetTarget(double counts);
    // "PT": position-tracking mode on or off.
    void SetTracking(bool on);
    // "BG": begins a jog, or a move to the "PA" target if that came last.
    void Begin();
    // "ST": stops independent motion and leaves tracking mode.
    void Stop();
    // "SH" / "MO": motor on or off (off also stops).
    void SetMotorOff(bool off);
    // "LD": 0 both limits on, 1 forward off, 2 reverse off, 3 both off.
    void SetLimitDisable(int value) { limit_disable_ = value; }
    // "FL": forward software limit, reference counts.
    void SetForwardLimit(double counts) { forward_limit_counts_ = counts; }
    // "ZA": user value, reported as position-trusted.
    void SetUserValue(int32_t value) { user_value_ = value; }
    // Joins or leaves the coordinated system ("LM").
    void SetCoordinated(bool on);
    // The controller program's tracking of this axis: the tracking target
    // becomes `counts` while the axis is in tracking mode and otherwise idle.
    void FollowTarget(double counts);
    // Marks the axis as driven by running coordinated motion.
    void SetCoordinatedMoving(bool moving, bool negative);

    // Status word for the record.
    uint16_t StatusWord() const;
    // Switch byte for the record (bit 2: 1 off the switch, 0 on or beyond it).
    uint8_t SwitchByte() const;
    // True while the axis moves on its own (jog, position move, tracking).
    bool MovingIndependently() const;
    // True when motion needs a motor that is off.
    bool MotorOff() const { return motor_off_; }
    // True in position-tracking mode.
    bool Tracking() const { return tracking_; }
    // True while the axis belongs to the coordinated system.
    bool Coordinated() const { return coordinated_; }
    // "ZA" value.
    int32_t UserValue() const { return user_value_; }
    // Moves the home switch to a physical position (Z's switch follows the bed).
    void SetSwitchCounts(double counts) { switch_counts_ = counts; }
    // Forces the switch bit to a value (-1: follow the position again).
    void ForceSwitch(int state) { forced_switch_ = state; }
    // The independent motion in progress.
    Motion CurrentMotion() const { return motion_; }

  private:
    // Moves toward `target` by at most one sample at `speed`; true when there.
    bool MoveToward(double target, double speed_counts_s);
    // Clamps a step against the switch, the hard stop and the forward limit;
    // true when the axis had to stop.
    bool ApplyLimits(double* next_physical) const;
    // True when the reverse limit is honoured.
    bool ReverseLimitOn() const { return limit_disable_ != 2 && limit_disable_ != 3; }

    bool has_switch_;                             // home switch and hard stop present
    double switch_counts_ = 0.0;                  // physical position of the switch
    double physical_counts_;                      // where the axis is
    double offset_counts_ = 0.0;                  // reference minus physical
    Motion motion_ = Motion::kIdle;               // independent motion in progress
    bool begin_position_move_ = false;            // the next "BG" moves to the target
    bool tracking_ = false;                       // "PT" mode
    bool motor_off_ = false;                      // "MO"
    bool coordinated_ = false;                    // in the "LM" set
    bool coordinated_moving_ = false;             // coordinated motion drives the axis
    bool coordinated_negative_ = false;           // its direction
    bool moving_ = false;                         // moved during the last sample
    bool negative_ = false;                       // direction of the last sample's motion
    double jog_speed_counts_s_ = 0.0;             // "JG"
    double speed_counts_s_ = 25000.0;             // "SP"
    double target_counts_ = 0.0;                  // "PA" target, reference counts
    int limit_disable_ = 0;                       // "LD"
    double forward_limit_counts_ = 2147483647.0;  // "FL"
    int32_t user_value_ = 0;                      // "ZA"
    int forced_switch_ = -1;                      // test override of the switch bit
};

}  // namespace sim
