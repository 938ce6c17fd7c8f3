// A run of consecutive G0/G1 lines streamed into the main controller's
// coordinated-motion buffer as LI segments: at most 255 outstanding, begun
// once, ended once, retired as the controller's segment count advances.
// Pausing stops the axes and requeues what the controller has not completed;
// resuming sends the segment the pause cut toward its planned end and the
// others as planned.
//
// The group judges a sequence only from records sampled after its "BGS"
// (read against the controller's clock): an older record may be of the old
// sequence, before the "CSS" that started this one, or from before a stop.
#pragma once

#include "CompactMoves.h"
#include "T_LinearMove.h"
#include "Task.h"
#include "TimeMark.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <optional>
#include <queue>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/shared_ptr.hpp>

class T_LinearGroup : public Task {
  public:
    using Segment = boost::shared_ptr<T_LinearMove>;

    // Most segments the controller holds from one group at once.
    static constexpr size_t kMaxOutstanding = 255;
    // Parameters: "description", "resolutionX" ... "resolutionE" (counts per mm).
    explicit T_LinearGroup(Parameters data);

    void OnStart() override;
    void OnCancel() override;
    void OnUpdate() override;
    void OnPause() override;
    void OnResume() override;

    // Appends a move; called while the group is built, before it is queued.
    // Its task is made when the group feeds it, under an id kept for it now.
    void AddMove(const MoveValues& move);
    // Appends a move whose task is made already.
    void AddMove(Segment segment);
    // Gives back the room that building left unused.
    void ShrinkToFit() { moves_.ShrinkToFit(); }

    // The planned position per channel A to E, advanced as segments are built.
    std::vector<int64_t>& PositionCounts() { return position_counts_; }
    std::vector<double>& PositionMm() { return position_mm_; }
    // A controller program runs (it drives C; Z moves go to E).
    bool IsProgramRunning() const { return program_running_; }
    void SetProgramRunning(bool running) { program_running_ = running; }
    // Counts per millimetre of a G-code axis, from the parameters.
    double Resolution(const std::string& letter);
    // The same by axis index (X, Y, Z, E), read once.
    double AxisResolution(int axis);
    // True when the move values of the axis (X, Y, Z, E) are targets; asked once.
    bool IsAbsolute(int axis);
    uint32_t TotalSegments() const { return total_segments_; }
    uint32_t CompletedSegments() const { return completed_segments_; }
    uint32_t SegmentOffset() const { return segment_offset_; }

  private:
    // Stops every axis and the coordinated motion ("ST ABCDE", "STS") and
    // returns a record taken after the stop that shows them standing.
    Record StopAll();
    // Sends "CSS", then switches on the motors that are off and sets the
    // coordinate system, as `record` (taken after the commands before the
    // call) shows them; without one, as a record taken after the "CSS" does.
    void SetUpCoordinateSystem(const ZDataRecord* record = nullptr);
    // Sends "RP" and takes the five reference positions as the planned ones.
    void ReadPositions();
    std::vector<double> ReadPositionsInMm();
    void CalculateMoves();
    void FeedSegments();
    // Retires what the controller has run, judged from the latest record once
    // one sampled after "BGS" is in. False when the motion has ended with
    // segments left, sent or not: they were dropped unrun (a stop), and the
    // group must not finish.
    bool UpdateCompletedSegments();
    // Retires the outstanding segments that the controller's segment count
    // of this sequence, `count` (wrapping at 65536), shows completed.
    void RetireCounted(uint16_t count);
    // The cancellation reason of a group whose motion was stopped.
    std::string StoppedReason() const;
    void RequeueOutstanding();
    void RebuildFirstSegment();
    // No segment waits to be fed.
    bool NothingPending() const { return requeued_.empty() && feed_reader_.AtEnd(); }
    // The task of the next packed move, planned from where the moves before it end.
    Segment MakeNextSegment();
    // The id kept for the move at `index`.
    uint32_t MoveId(size_t index) const;
    // The front outstanding segment exists and has been sent.
    bool FrontOutstandingSent() const;
    // Pops the front outstanding segment after finishing or completing it.
    void RetireFront(bool completed);

    // The moves not yet fed are the requeued tasks, then the packed moves
    // from the feed reader on.
    CompactMoves moves_;
    CompactMoves::Reader feed_reader_{moves_};
    std::deque<Segment> requeued_;
    // Runs of consecutive ids: (index of the first move, its id).
    std::vector<std::pair<size_t, uint32_t>> move_ids_;
    // Tasks given with their move, by the move's index.
    std::unordered_map<size_t, Segment> made_;
    // The planned position after the last move made into a task.
    std::vector<int64_t> feed_counts_;
    std::vector<double> feed_mm_;
    // Moving segments made into tasks so far, and the last of them.
    uint32_t numbered_segments_ = 0;
    Segment last_moving_;
    std::optional<double> resolutions_[MoveValues::kAxes];
    std::optional<bool> absolute_[MoveValues::kAxes];
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
    // Watched too: a motion stopped with the buffer already empty changes
    // nothing else when it ends.
    std::atomic<uint16_t> last_coordinated_status_{0};
    bool single_move_ = false;
    bool program_running_ = false;
    // The controller's clock read after the last "BGS", set until a step has
    // seen a record sampled later (which shows the sequence it began); while
    // set, a watch marks the group for a step at every such record, so a
    // motion that ends before any record shows it running (a stop that lands
    // while the group starts) is still seen to end.
    TimeMark sequence_begun_;
    // A record sampled after "BGS" has been seen: every later one is of the sequence.
    bool sequence_seen_ = false;
    // Where the last pause stopped the axes ("RP" after the stop), per channel.
    std::vector<int64_t> stop_counts_;
    // OnCancel has stopped the axes already.
    bool stopped_on_cancel_ = false;
};
