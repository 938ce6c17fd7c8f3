#include "T_LinearGroup.h"

#include "AxisModes.h"
#include "DataRecordWatcher.h"
#include "LinearSegment.h"
#include "RecordFields.h"
#include "TaskManager.h"
#include "Utilities.h"

#include <boost/make_shared.hpp>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace {

constexpr uint16_t kMotionBit = 1u << 15;
constexpr uint16_t kMotorOffBit = 1u << 0;
constexpr uint16_t kCoordinatedBit = 1u << 8;
constexpr uint16_t kEmptyBuffer = 511;
const char kAxisLetters[] = "ABCDE";

// The latest main record, or one of all zero bytes before the first record.
DataRecordWatcher::Record LatestMainRecord() {
    DataRecordWatcher::Record record = DataRecordWatcher::GetInstance().GetRecord();
    if (!record) {
        static const ZDataRecord zeros{};
        record = DataRecordWatcher::Record(&zeros, [](const ZDataRecord*) {});
    }
    return record;
}

// Reads "MG _XQ": -1 when no controller program runs; no number counts as none.
bool ProgramRunningFromReply(const std::string& reply) {
    std::istringstream stream(reply);
    long long value = 0;
    if (!(stream >> value)) {
        return false;
    }
    return value != -1;
}

}  // namespace

T_LinearGroup::T_LinearGroup(Parameters data) : Task("T_LinearGroup", std::move(data)) {
    AddCompletionCondition([this] { return NothingPending() && outstanding_segments_.empty(); });
    // A group cancelled while UPDATING (its watches fire all the time while
    // the axes move) gets no OnCancel; the motion must stop all the same.
    AddOnCancel([this] {
        if (HasStarted() && !stopped_on_cancel_) {
            StopAll();
        }
    });
}

void T_LinearGroup::AddMove(const MoveValues& move) {
    const uint32_t id = ReserveIds(1);
    if (move_ids_.empty() ||
        move_ids_.back().second + (moves_.Size() - move_ids_.back().first) != id) {
        move_ids_.emplace_back(moves_.Size(), id);
    }
    moves_.Append(move);
}

void T_LinearGroup::AddMove(Segment segment) {
    const uint32_t id = segment->GetId();
    if (move_ids_.empty() ||
        move_ids_.back().second + (moves_.Size() - move_ids_.back().first) != id) {
        move_ids_.emplace_back(moves_.Size(), id);
    }
    made_.emplace(moves_.Size(), segment);
    moves_.Append(segment->Values());
}

uint32_t T_LinearGroup::MoveId(size_t index) const {
    auto run = std::upper_bound(
        move_ids_.begin(), move_ids_.end(), index,
        [](size_t value, const std::pair<size_t, uint32_t>& entry) { return value < entry.first; });
    --run;
    return run->second + static_cast<uint32_t>(index - run->first);
}

double T_LinearGroup::Resolution(const std::string& letter) {
    return GetProperty<double>("resolution" + letter);
}

double T_LinearGroup::AxisResolution(int axis) {
    static const char* const kLetters[] = {"X", "Y", "Z", "E"};
    if (!resolutions_[axis]) {
        resolutions_[axis] = Resolution(kLetters[axis]);
    }
    return *resolutions_[axis];
}

bool T_LinearGroup::IsAbsolute(int axis) {
    static const char* const kLetters[] = {"X", "Y", "Z", "E"};
    if (!absolute_[axis]) {
        absolute_[axis] = AxisModes::GetInstance().IsAbsoluteAxis(kLetters[axis]);
    }
    return *absolute_[axis];
}

void T_LinearGroup::OnStart() {
    single_move_ = moves_.Size() == 1;
    AddDataRecordCondition<uint16_t>(62, &last_segment_count_);
    AddDataRecordCondition<uint16_t>(70, &last_buffer_free_);
    AddDataRecordCondition<uint16_t>(64, &last_coordinated_status_);
    program_running_ = ProgramRunningFromReply(SendCommand("MG _XQ"));
    StopAll();
    WaitUntilStopped();
    SetUpCoordinateSystem();
    ReadPositions();
    position_mm_ = ReadPositionsInMm();
    CalculateMoves();
    FeedSegments();
}

void T_LinearGroup::OnCancel() {
    stopped_on_cancel_ = true;
    StopAll();
}

void T_LinearGroup::OnUpdate() {
    if (!UpdateCompletedSegments()) {
        // Nothing more is fed or begun: the stop stands, and the program
        // behind the group must not move the machine on its own.
        Cancel(StoppedReason());
        return;
    }
    FeedSegments();
    if (!single_move_) {
        nlohmann::json update = {{"description", "Linear Group|{" +
                                                     std::to_string(completed_segments_) + "}|{" +
                                                     std::to_string(total_segments_) + "}"}};
        QueueUpdate(update);
    }
}

void T_LinearGroup::OnPause() {
    // Segments that a stop dropped are requeued like the others and run on resume.
    UpdateCompletedSegments();
    // From here on the controller counts again from zero.
    segment_offset_ = completed_segments_;
    RequeueOutstanding();
    StopAll();
}

void T_LinearGroup::OnResume() {
    UpdateCompletedSegments();
    ReadPositions();
    position_mm_ = ReadPositionsInMm();
    RebuildFirstSegment();
    SetUpCoordinateSystem();
    FeedSegments();
}

void T_LinearGroup::StopAll() {
    SendCommand("ST ABCDE");
    SendCommand("STS");
}

void T_LinearGroup::WaitUntilStopped() {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopTimeoutMs);
    for (;;) {
        const auto record = LatestMainRecord();
        bool moving = (CoordinatedStatus(*record) & kMotionBit) != 0;
        for (int axis = 0; axis < 5; ++axis) {
            moving = moving || (AxisStatus(*record, axis) & kMotionBit) != 0;
        }
        if (!moving) {
            return;
        }
        // Without fresh records (a stalled or cut stream) the axes cannot be
        // seen to stop; the group gives up rather than hold the worker forever.
        if (std::chrono::steady_clock::now() >= deadline) {
            throw std::runtime_error("the axes did not stop");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void T_LinearGroup::SetUpCoordinateSystem() {
    SendCommand("CSS");
    const auto record = LatestMainRecord();
    const int axes[4] = {0, 1, program_running_ ? 3 : 2, program_running_ ? 4 : 3};
    std::string all;
    std::string motors_off;
    bool all_coordinated = true;
    for (int axis : axes) {
        const uint16_t status = AxisStatus(*record, axis);
        all += kAxisLetters[axis];
        if (status & kMotorOffBit) {
            motors_off += kAxisLetters[axis];
        }
        all_coordinated = all_coordinated && (status & kCoordinatedBit) != 0;
    }
    if (!motors_off.empty()) {
        SendCommand("SH " + motors_off);
    }
    // "LM" replaces the coordinate system, so it names all four axes: naming
    // only the missing ones would drop the others out of it.
    if (!all_coordinated) {
        SendCommand("LM " + all);
    }
}

void T_LinearGroup::ReadPositions() {
    std::vector<int64_t> positions = Split<int64_t>(SendCommand("RP"), ", ");
    if (positions.size() < 5) {
        throw std::runtime_error("\"RP\" gave fewer than five axis positions");
    }
    position_counts_ = std::move(positions);
}

std::vector<double> T_LinearGroup::ReadPositionsInMm() {
    const auto letters = ChannelLetters(program_running_);
    std::vector<double> mm(kSegmentChannels, 0.0);
    for (int i = 0; i < kSegmentChannels; ++i) {
        if (letters[i].empty()) {
            continue;
        }
        const double resolution = Resolution(letters[i]);
        // A zero resolution has no millimetre position; take 0 rather than infinity.
        mm[i] = resolution != 0.0 ? position_counts_[i] * 1.0 / resolution : 0.0;
    }
    return mm;
}

void T_LinearGroup::CalculateMoves() {
    // Every move is planned now, so that a move without a count fails the
    // group before anything is sent and the total is known; the commands
    // are made again, from the same start, as the moves are fed.
    feed_counts_ = position_counts_;
    feed_mm_ = position_mm_;
    const PlannedPosition position{position_counts_, position_mm_};
    for (CompactMoves::Reader reader(moves_); !reader.AtEnd();) {
        if (PlanSegment(*this, reader.Next(), position).moved) {
            ++total_segments_;
        }
    }
}

T_LinearGroup::Segment T_LinearGroup::MakeNextSegment() {
    const size_t index = feed_reader_.Index();
    const MoveValues move = feed_reader_.Next();
    Segment segment;
    const auto made = made_.find(index);
    if (made != made_.end()) {
        segment = std::move(made->second);
        made_.erase(made);
    } else {
        segment = boost::make_shared<T_LinearMove>(MoveId(index), move);
    }
    bool moved = false;
    std::string command =
        BuildLinearSegment(*this, move, PlannedPosition{feed_counts_, feed_mm_}, moved);
    segment->SetCommand(std::move(command), moved);
    if (moved) {
        if (last_moving_) {
            const Segment previous = last_moving_;
            segment->AddStartCondition([previous] { return previous->IsSent(); });
        }
        segment->SetSegmentNumber(++numbered_segments_);
        last_moving_ = segment;
    }
    return segment;
}

void T_LinearGroup::FeedSegments() {
    while (outstanding_segments_.size() < kMaxOutstanding && !NothingPending()) {
        Segment segment;
        if (!requeued_.empty()) {
            segment = std::move(requeued_.front());
            requeued_.pop_front();
        } else {
            segment = MakeNextSegment();
        }
        // A segment fed again after a pause is a child already.
        if (segment->GetParentId() != GetId()) {
            AddParallelTask(segment);
        }
        if (segment->HasMotion()) {
            // Started as a task too, so a pause and a resume of the segment
            // itself do not send its segment a second time.
            segment->Start();
            segment->MarkStarted();
            outstanding_segments_.push(segment);
        } else {
            segment->Skip();
        }
        TaskManager::GetInstance().AddTask(segment);
    }
    if (!begin_sent_ && FrontOutstandingSent() &&
        (CoordinatedStatus(*LatestMainRecord()) & kMotionBit) == 0) {
        SendCommand("BGS");
        begin_sent_ = true;
    }
    if (NothingPending() && FrontOutstandingSent() && !end_sent_) {
        SendCommand("LE");
        end_sent_ = true;
    }
}

bool T_LinearGroup::FrontOutstandingSent() const {
    return !outstanding_segments_.empty() && outstanding_segments_.front()->IsSent();
}

void T_LinearGroup::RetireFront(bool completed) {
    Segment segment = outstanding_segments_.front();
    outstanding_segments_.pop();
    ++completed_segments_;
    if (completed) {
        segment->Complete();
    } else {
        segment->FinishSegment();
    }
}

bool T_LinearGroup::UpdateCompletedSegments() {
    const auto record = LatestMainRecord();
    const int64_t done = (SegmentCount(*record) + static_cast<uint64_t>(segment_offset_)) % 65536;
    while (!outstanding_segments_.empty() &&
           outstanding_segments_.front()->GetSegmentNumber() < done) {
        RetireFront(false);
    }
    if (!outstanding_segments_.empty() &&
        outstanding_segments_.front()->GetSegmentNumber() == done) {
        RetireFront(true);
    }
    NoteSequenceSeen(*record);
    if (!FrontOutstandingSent()) {
        return true;
    }
    // The buffer and the motion are read from the same record as the count:
    // the watch cells can be stale, because a record whose count changed
    // stops the watch evaluation before the other watches.
    const bool empty = SegmentBufferFree(*record) == kEmptyBuffer;
    if (ReachedLastOutstanding(done)) {
        // Numbers past 65535 never equal the count, so only this retires them.
        if (buffer_used_ && empty) {
            while (!outstanding_segments_.empty()) {
                RetireFront(false);
            }
        }
        return true;
    }
    // An empty buffer while the motion still runs is a feed that lags, or a
    // record taken before the last segments arrived: the motion goes on.
    const bool ended = (CoordinatedStatus(*record) & kMotionBit) == 0;
    return !(ended && (motion_seen_ || (buffer_used_ && empty)));
}

void T_LinearGroup::NoteSequenceSeen(const ZDataRecord& record) {
    // Only records that can show this sequence count: before "BGS" the latest
    // record may still be one from before the stop.
    if (!begin_sent_) {
        return;
    }
    buffer_used_ = buffer_used_ || SegmentBufferFree(record) != kEmptyBuffer;
    motion_seen_ = motion_seen_ || (CoordinatedStatus(record) & kMotionBit) != 0;
}

bool T_LinearGroup::ReachedLastOutstanding(int64_t done) const {
    return (outstanding_segments_.back()->GetSegmentNumber() - done) % 65536 == 0;
}

std::string T_LinearGroup::StoppedReason() const {
    return "Motion stopped after " + std::to_string(completed_segments_) + " of " +
           std::to_string(total_segments_) + " segments";
}

void T_LinearGroup::RequeueOutstanding() {
    end_sent_ = false;
    begin_sent_ = false;
    // The stop empties the controller's buffer: an empty buffer seen before the
    // requeued segments are sent again must not retire them.
    buffer_used_ = false;
    motion_seen_ = false;
    std::deque<Segment> requeued;
    while (!outstanding_segments_.empty()) {
        outstanding_segments_.front()->Reset();
        requeued.push_back(std::move(outstanding_segments_.front()));
        outstanding_segments_.pop();
    }
    requeued.insert(requeued.end(), requeued_.begin(), requeued_.end());
    requeued_.swap(requeued);
}

void T_LinearGroup::RebuildFirstSegment() {
    if (NothingPending()) {
        return;
    }
    if (requeued_.empty()) {
        // Made with its planned command first, as the moves after it expect.
        requeued_.push_back(MakeNextSegment());
    }
    bool moved = false;
    std::string command = BuildLinearSegment(*this, requeued_.front(), moved);
    requeued_.front()->SetCommand(std::move(command), moved);
}
