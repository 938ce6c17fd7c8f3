// A run of consecutive G0/G1 lines streamed into the main controller's
// coordinated-motion buffer as LI segments: at most 255 outstanding, begun
// once, ended once, retired as the controller's segment count advances.
// Pausing requeues what is not done; resuming goes on from where the axes stopped.
#pragma once

#include "T_LinearMove.h"
#include "Task.h"

#include <atomic>
#include <cstdint>
#include <queue>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

class T_LinearGroup : public Task {
  public:
    using Segment = boost::shared_ptr<T_LinearMove>;

    // Most segments the controller holds from one group at once.
    static constexpr size_t kMaxOutstanding = 255;
    // How long the group waits for the axes to stop before it gives up.
    static constexpr int kStopTimeoutMs = 10000;

    // Parameters: "description", "resolutionX" ... "resolutionE" (counts per mm).
    explicit T_LinearGroup(Parameters data);

    void OnStart() override;
    void OnCancel() override;
    void OnUpdate() override;
    void OnPause() override;
    void OnResume() override;

    // Appends a move; called while the group is built, before it is queued.
    void AddMove(Segment segment);

    // The planned position per channel A to E, advanced as segments are built.
    std::vector<int64_t>& PositionCounts() { return position_counts_; }
    std::vector<double>& PositionMm() { return position_mm_; }
    // A controller program runs (it drives C; Z moves go to E).
    bool IsProgramRunning() const { return program_running_; }
    void SetProgramRunning(bool running) { program_running_ = running; }
    // Counts per millimetre of a G-code axis, from the parameters.
    double Resolution(const std::string& letter);
    uint32_t TotalSegments() const { return total_segments_; }
    uint32_t CompletedSegments() const { return completed_segments_; }
    uint32_t SegmentOffset() const { return segment_offset_; }

  private:
    void StopAll();
    void WaitUntilStopped();
    void SetUpCoordinateSystem();
    // Sends "RP" and takes the five reference positions as the planned ones.
    void ReadPositions();
    std::vector<double> ReadPositionsInMm();
    void CalculateMoves();
    void FeedSegments();
    void UpdateCompletedSegments();
    void RequeueOutstanding();
    void RebuildFirstSegment();
    // The front outstanding segment exists and has been sent.
    bool FrontOutstandingSent() const;
    // Pops the front outstanding segment after finishing or completing it.
    void RetireFront(bool completed);

    std::queue<Segment> pending_segments_;
    std::queue<Segment> outstanding_segments_;
    bool end_sent_ = false;
    bool begin_sent_ = false;
    uint32_t total_segments_ = 0;
    uint32_t completed_segments_ = 0;
    uint32_t segment_offset_ = 0;
    std::vector<int64_t> position_counts_;
    std::vector<double> position_mm_;
    // Written by the record thread's watches, read by the worker.
    std::atomic<uint16_t> last_buffer_free_{511};
    std::atomic<uint16_t> last_segment_count_{0};
    bool single_move_ = false;
    bool program_running_ = false;
    bool buffer_used_ = false;
    // OnCancel has stopped the axes already.
    bool stopped_on_cancel_ = false;
};
