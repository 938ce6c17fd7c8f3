#include "T_LinearGroup.h"

#include "AxisModes.h"
#include "AxisStopper.h"
#include "DataRecordWatcher.h"
#include "LinearSegment.h"
#include "RecordFields.h"
#include "TaskManager.h"
#include "Utilities.h"

#include <boost/make_shared.hpp>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <utility>

namespace {

constexpr uint16_t kMotionBit = 1u << 15;
constexpr uint16_t kMotorOffBit = 1u << 0;
constexpr uint16_t kCoordinatedBit = 1u << 8;
const char kAxisLetters[] = "ABCDE";

// Reads "MG _XQ": -1 when no controller program runs; no number counts as none.
bool ProgramRunningFromReply(const std::string& reply) {
    return ParseReplyNumber("MG _XQ", reply) != -1.0;
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
    // A motion stopped before any record shows it running changes none of
    // the fields above: the first record of the sequence is looked at anyway.
    AddTimedWatch([this](const ZDataRecord&, const ControllerTime& time) {
        return sequence_begun_.IsPassedBy(time);
    });
    program_running_ = ProgramRunningFromReply(SendCommand("MG _XQ"));
    // Taken after the stop, the record also shows the motors that a command
    // just before the group (M84, M18) switched off.
    const Record stopped = StopAll();
    SetUpCoordinateSystem(stopped.get());
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
    // The count is taken once the stop has taken effect: a record from
    // before it misses the segments completed meanwhile, which would run
    // again on resume. Segments that a stop dropped are requeued like the
    // others and run on resume.
    const Record stopped = StopAll();
    if (IsStatus(PAUSED) && !begin_sent_ && outstanding_segments_.empty()) {
        // Paused again with nothing fed since: what was left was requeued
        // at the first pause. After a resume that failed half-way, what it
        // fed (and perhaps began) is counted and requeued like at a pause.
        return;
    }
    if (begin_sent_) {
        RetireCounted(SegmentCount(*stopped));
    }
    ReadPositions();
    stop_counts_ = position_counts_;
    // From here on the controller counts again from zero.
    segment_offset_ = completed_segments_;
    RequeueOutstanding();
}

void T_LinearGroup::OnResume() {
    // Nothing is counted here: until the sequence set up now begins, records
    // show the old one.
    ReadPositions();
    position_mm_ = ReadPositionsInMm();
    RebuildFirstSegment();
    SetUpCoordinateSystem();
    FeedSegments();
}

T_LinearGroup::Record T_LinearGroup::StopAll() {
    // An older record may show axes standing that a stop has not reached
    // yet, or motors that were switched off since.
    return AxisStopper::ForAll(*this, {"ST ABCDE", "STS"}).Stop();
}

void T_LinearGroup::SetUpCoordinateSystem(const ZDataRecord* record) {
    SendCommand("CSS");
    // Switched off or out of the system since the record was taken, an axis
    // would make "BGS" fail ("Motor off").
    Record taken;
    if (record == nullptr) {
        taken = RecordAfterCommands();
        record = taken.get();
    }
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
    const std::string reply = SendCommand("RP");
    const std::vector<long long> read = ParseReplyIntegers("RP", reply);
    std::vector<int64_t> positions(read.begin(), read.end());
    if (positions.size() < 5) {
        throw std::runtime_error("\"RP\" gave fewer than five axis positions: \"" +
                                 Excerpt(reply, 80) + "\"");
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
    segment->SetPlannedEnd(feed_counts_);
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
        TaskManager::GetInstance().AddTask(segment);
        if (segment->HasMotion()) {
            // Outstanding before it is sent: a segment whose "LI" fails may
            // have reached the controller all the same, and is requeued
            // with the others when the group stops.
            outstanding_segments_.push(segment);
            segment->MarkStarted();
            // Started as a task too, so a pause and a resume of the segment
            // itself do not send its segment a second time.
            segment->Start();
        } else {
            segment->Skip();
        }
    }
    if (!begin_sent_ && FrontOutstandingSent() &&
        (CoordinatedStatus(*DataRecordWatcher::GetInstance().LatestMainOrZeros()) & kMotionBit) ==
            0) {
        // Counted as sent before it is: a "BGS" whose reply fails may have
        // begun the motion, whose completed segments must not run again.
        begin_sent_ = true;
        SendCommand("BGS");
        // Records sampled after this clock read show the sequence begun.
        sequence_begun_.Set(ReadControllerTime());
        sequence_seen_ = false;
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
    if (!begin_sent_) {
        return true;
    }
    const auto [record, time] = DataRecordWatcher::GetInstance().GetTimedRecord();
    if (!record) {
        // No stream: nothing shows the sequence.
        return true;
    }
    if (!sequence_seen_) {
        // Older records may be of the sequence before the last "CSS", whose
        // count means nothing here, or show the motion before "BGS".
        if (!sequence_begun_.IsPassedBy(time)) {
            return true;
        }
        sequence_seen_ = true;
        sequence_begun_.Clear();
    }
    RetireCounted(SegmentCount(*record));
    if ((CoordinatedStatus(*record) & kMotionBit) != 0) {
        return true;
    }
    // The motion of a begun sequence ends by itself only when its buffer has
    // run empty after "LE": before "LE" it waits for more segments. Ended
    // with any segment left is a stop (the user's "ST", a controller stop).
    return outstanding_segments_.empty() && NothingPending();
}

void T_LinearGroup::RetireCounted(uint16_t count) {
    // The count is of this sequence (it started at 0 with its "CSS"); compared
    // with what it has retired so far modulo 65536, so that it may wrap.
    const auto retired = static_cast<uint16_t>(completed_segments_ - segment_offset_);
    const auto done = static_cast<uint16_t>(count - retired);
    if (done > outstanding_segments_.size()) {
        // More than was sent: not a count of this sequence.
        return;
    }
    for (uint16_t i = 1; i <= done; ++i) {
        RetireFront(i == done);
    }
}

std::string T_LinearGroup::StoppedReason() const {
    return "Motion stopped after " + std::to_string(completed_segments_) + " of " +
           std::to_string(total_segments_) + " segments";
}

void T_LinearGroup::RequeueOutstanding() {
    end_sent_ = false;
    begin_sent_ = false;
    // The next sequence is judged from its own "BGS" on.
    sequence_seen_ = false;
    sequence_begun_.Clear();
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
    // The first moving segment not run: the one the pause cut short, or the
    // next one when the pause fell between two.
    Segment cut;
    for (const Segment& segment : requeued_) {
        if (segment->HasMotion()) {
            cut = segment;
            break;
        }
    }
    while (!cut && !feed_reader_.AtEnd()) {
        // Made with its planned command first, as the moves after it expect.
        requeued_.push_back(MakeNextSegment());
        if (requeued_.back()->HasMotion()) {
            cut = requeued_.back();
        }
    }
    if (!cut) {
        return;
    }
    // Toward its planned end on every channel, so the segments after it run
    // as planned: a target axis from where it stands now, a distance axis (E)
    // by the part it has not moved yet.
    const PlannedSegment rest =
        PlanRemainder(*this, cut->PlannedEnd(), position_counts_, stop_counts_, cut->Values().feed);
    cut->SetCommand(SegmentCommand(rest), rest.moved);
    if (!rest.moved) {
        // Nothing of it is left: it is skipped when fed, and counts as done
        // here, outside the new sequence's count.
        ++completed_segments_;
        ++segment_offset_;
    }
}
