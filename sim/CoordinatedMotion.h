// Coordinated (S plane) motion: a buffer of linear segments run one after another.
#pragma once

#include <array>
#include <cstdint>
#include <deque>

#include "SimAxis.h"

namespace sim {

// One "LI" segment: count deltas for axes A to E and a vector speed.
struct LinearSegment {
    std::array<int64_t, 5> delta_counts{};  // per axis A..E
    double speed_counts_s = 0.0;            // along the path
};

// The segment buffer and its execution. Axes run exactly along each segment at
// the segment's speed (no acceleration), and time left over at the end of a
// segment carries into the next one within the same sample.
class CoordinatedMotion {
  public:
    // Places in the segment buffer.
    static constexpr uint16_t kBufferPlaces = 511;

    // "CSS": empties the buffer, ends the motion and zeroes the segment count.
    void Clear(std::array<SimAxis, 5>& axes);
    // "LI": false when the buffer is full.
    bool Add(const LinearSegment& segment);
    // "BGS": starts (or keeps) the motion.
    void Begin(std::array<SimAxis, 5>& axes);
    // "LE": the motion ends when the buffer runs empty.
    void End() { end_requested_ = true; }
    // "STS" and the like: stops at once and drops the segments not yet done.
    void Stop(std::array<SimAxis, 5>& axes);
    // Advances one sample.
    void Step(std::array<SimAxis, 5>& axes);

    // True while the motion runs.
    bool Running() const { return running_; }
    // Segments completed since "CSS" (wraps at 65536).
    uint16_t SegmentCount() const { return segment_count_; }
    // Free places in the buffer (511 when empty; the running segment counts as used).
    uint16_t BufferFree() const;

  private:
    // Starts the front segment from the axes' present positions.
    void StartFront(std::array<SimAxis, 5>& axes);
    // Puts the axes at `fraction` of the running segment.
    void PlaceAxes(std::array<SimAxis, 5>& axes, double fraction);
    // Sets the moving bits of the axes that the running segment moves.
    void MarkAxes(std::array<SimAxis, 5>& axes, bool moving);

    std::deque<LinearSegment> buffer_;      // front is the running or next segment
    bool running_ = false;                  // "BGS" given and not ended
    bool end_requested_ = false;            // "LE" given
    bool front_started_ = false;            // start positions of the front are taken
    std::array<double, 5> start_counts_{};  // physical positions where the front began
    double length_counts_ = 0.0;            // path length of the front segment
    double done_counts_ = 0.0;              // distance run along it
    uint16_t segment_count_ = 0;            // completed since "CSS"
};

}  // namespace sim
