#include "DataRecordWatcher.h"

#include "MainConnection.h"
#include "TemperatureConnection.h"
#include "TemperatureConversion.h"
#include "Utilities.h"
#include "VrxException.h"

#include <algorithm>
#include <iostream>

#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>

namespace {

constexpr uint32_t kStatusFinished = 6;
constexpr uint32_t kStatusPaused = 3;
constexpr uint32_t kStatusBreakpoint = 4;
constexpr int kRecordsPerStatus = 25;
constexpr int32_t kRecordMode = 1;

constexpr uint16_t kMoving = 1u << 15;
constexpr uint16_t kOtherMotionModes = (1u << 14) | (1u << 8) | (1u << 6) | (1u << 0);
constexpr uint16_t kNegativeDirection = 1u << 7;

// Trivially destructible, so it is safe to read on a record thread at exit.
alignas(8) const ZDataRecord kZeroRecord{};

// The record of zeros, shared without ownership: it is never freed.
DataRecordWatcher::Record ZeroRecord() {
    return DataRecordWatcher::Record(&kZeroRecord, [](const ZDataRecord*) {});
}

// A new record of all zero bytes. The packed layout has alignment 1; placing
// it on an 8-byte boundary lets its fields be bound to references safely.
boost::shared_ptr<ZDataRecord> NewRecord() {
    struct alignas(8) Aligned {
        ZDataRecord record;
    };
    auto block = boost::make_shared<Aligned>();  // value-initialised: all zero
    return boost::shared_ptr<ZDataRecord>(block, &block->record);
}

// Controller axis block read by the jog tests: "B", "C", "D"; anything else is A.
int JogAxisIndex(const std::string& axis) {
    if (axis == "B")
        return 1;
    if (axis == "C")
        return 2;
    if (axis == "D")
        return 3;
    return 0;
}

}  // namespace

DataRecordWatcher& DataRecordWatcher::GetInstance() {
    static DataRecordWatcher instance;
    return instance;
}

DataRecordWatcher::DataRecordWatcher() : homing_{{"A", false}, {"B", false}, {"C", false}} {
    // The connections must outlive the record threads that read on their
    // handles: created first, they are destroyed after this watcher, whose
    // destructor joins those threads.
    MainConnection::GetInstance();
    TemperatureConnection::GetInstance();
}

DataRecordWatcher::~DataRecordWatcher() {
    // Each join waits for the pending ZRecord: at most one record period or
    // the library's timeout.
    {
        boost::lock_guard<boost::mutex> lock(main_.control_mutex);
        Retire(main_);
    }
    boost::lock_guard<boost::mutex> lock(temperature_.control_mutex);
    Retire(temperature_);
}

void DataRecordWatcher::SetUpdateCallback(Callback callback) {
    boost::lock_guard<boost::mutex> lock(update_mutex_);
    update_callback_ = std::move(callback);
}

void DataRecordWatcher::SetErrorCallback(Callback callback) {
    boost::lock_guard<boost::mutex> lock(error_mutex_);
    error_callback_ = std::move(callback);
}

void DataRecordWatcher::SetTaskDirectory(TaskDirectory* directory) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    directory_ = directory;
}

void DataRecordWatcher::SetResolutionSource(ResolutionSource source) {
    boost::lock_guard<boost::mutex> lock(resolution_mutex_);
    resolution_source_ = std::move(source);
}

double DataRecordWatcher::AxisResolution(const std::string& gcode_axis) {
    boost::lock_guard<boost::mutex> lock(resolution_mutex_);
    if (resolution_source_) {
        return resolution_source_(gcode_axis);
    }
    return gcode_axis == "Z" ? 1600.0 : 400.0;
}

// ---- Streams -------------------------------------------------------------

void DataRecordWatcher::Start(ZHandle handle) {
    StartStream(main_, handle, true);
}

void DataRecordWatcher::StartTemperature(ZHandle handle) {
    StartStream(temperature_, handle, false);
}

void DataRecordWatcher::Stop() {
    StopStream(main_, conditions_);
}

void DataRecordWatcher::StopTemperature() {
    StopStream(temperature_, temperature_conditions_);
}

void DataRecordWatcher::StartStream(Stream& stream, ZHandle handle, bool main) {
    boost::lock_guard<boost::mutex> control(stream.control_mutex);
    // The stream in use goes on until the new one has shown a record: a new
    // address that accepts and never answers must not take its place.
    auto next = boost::make_shared<Follower>(handle);
    Follower& follower = *next;
    boost::shared_ptr<Follower> previous;
    {
        boost::lock_guard<boost::mutex> lock(stream.record_mutex);
        previous = stream.follower;
        next->replaces_running = stream.follower && stream.failure_rc.load() == 0;
        // Only main records carry the controller's clock to tell their age by,
        // and only two running streams overlap: a failed one's last record
        // may be of a controller whose clock has started again since.
        next->catching_up = main && next->replaces_running;
    }
    // The thread shares ownership: a detached one must not outlive its state.
    follower.thread = boost::thread([this, next, main] {
        if (main) {
            Run(*next);
        } else {
            RunTemperature(*next);
        }
    });
    try {
        AwaitFirstRecord(follower);
    } catch (...) {
        JoinFollower(follower);
        throw;
    }
    Retire(stream);
    {
        boost::lock_guard<boost::mutex> lock(stream.record_mutex);
        if (stream.failure_rc.load() != 0 || (previous && LostConnection(*previous))) {
            // The old stream failed meanwhile, or its connection was found
            // lost as it ended (a controller restarting closes it): its clock
            // says nothing about the new stream's.
            follower.replaces_running = false;
            follower.catching_up = false;
        }
        stream.follower = next;
        // The old stream may have delivered records newer than this one's
        // first: readers never see the machine go back in time.
        follower.first_published = PublishLocked(stream, follower, follower.first, main);
        stream.failure_rc.store(0);
    }
    stream.published.notify_all();
    boost::lock_guard<boost::mutex> lock(follower.mutex);
    follower.adopted = true;
    follower.changed.notify_all();
}

void DataRecordWatcher::AwaitFirstRecord(Follower& follower) {
    boost::unique_lock<boost::mutex> lock(follower.mutex);
    follower.changed.wait(lock, [&follower] { return follower.first || follower.ended; });
    if (follower.first) {
        return;
    }
    if (follower.failure_rc) {
        throw VrxException("ZRecord", *follower.failure_rc, nullptr);
    }
    throw std::runtime_error("record stream ended before its first record");
}

void DataRecordWatcher::StopStream(Stream& stream, Conditions& conditions) {
    boost::lock_guard<boost::mutex> control(stream.control_mutex);
    Retire(stream);
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        conditions.clear();
    }
    {
        boost::lock_guard<boost::mutex> lock(stream.record_mutex);
        stream.latest.reset();
        stream.follower.reset();
        stream.failure_rc.store(0);
    }
    stream.published.notify_all();
}

void DataRecordWatcher::Retire(Stream& stream) {
    boost::shared_ptr<Follower> follower;
    {
        boost::lock_guard<boost::mutex> lock(stream.record_mutex);
        follower = stream.follower;
    }
    if (follower) {
        JoinFollower(*follower);
    }
}

void DataRecordWatcher::JoinFollower(Follower& follower) {
    {
        // Under the hand-over lock, so a follower waiting to be adopted sees it.
        boost::lock_guard<boost::mutex> lock(follower.mutex);
        follower.running.store(false);
        follower.changed.notify_all();
    }
    if (!follower.thread.joinable()) {
        return;
    }
    if (follower.thread.get_id() == boost::this_thread::get_id()) {
        // Asked from the record thread itself (a callback): it sees the
        // cleared running flag after this record and ends on its own.
        follower.thread.detach();
        return;
    }
    follower.thread.join();
}

void DataRecordWatcher::Run(Follower& follower) {
    // The status object lives with the thread; it is sent every 25 records.
    nlohmann::json status;
    int count = 0;
    FollowStream(main_, conditions_, follower, true,
                 [this, &status, &count](const ZDataRecord*, ZDataRecord& record,
                                         const ControllerTime& time) {
                     // UpdateStatus without its wrap count, done on publishing.
                     RefreshStatus(status, record);
                     Check(conditions_, record, time);
                     if (++count == kRecordsPerStatus) {
                         if (!status.empty()) {
                             SendUpdateUI(status);
                             status.clear();
                         }
                         count = 0;
                     }
                 });
}

void DataRecordWatcher::RunTemperature(Follower& follower) {
    FollowStream(temperature_, temperature_conditions_, follower, false,
                 [this](const ZDataRecord*, ZDataRecord& record, const ControllerTime& time) {
                     Check(temperature_conditions_, record, time);
                 });
}

void DataRecordWatcher::FollowStream(Stream& stream, Conditions& conditions, Follower& follower,
                                     bool count_wraps, const PerRecord& per_record) {
    // Held until the next record has been published and handled, so readers
    // of the latest record never race with its release.
    boost::shared_ptr<ZDataRecord> previous;
    bool adopted = false;
    try {
        auto first = NewRecord();
        const ZReturnCode rc = ZRecord(follower.handle, first.get(), kRecordMode);
        if (rc != 0) {
            throw VrxException("ZRecord", rc, nullptr);
        }
        // Start publishes the first record when it adopts this follower.
        adopted = AwaitAdoption(follower, first);
        if (adopted && follower.first_published) {
            per_record(nullptr, *first, StampOf(stream, first));
            previous = std::move(first);
        }
        while (adopted && follower.running.load()) {
            auto record = NewRecord();
            std::optional<std::chrono::steady_clock::time_point> waited_since;
            const ZReturnCode next_rc = NextRecord(follower, record.get(), waited_since);
            if (next_rc != 0) {
                throw VrxException("ZRecord", next_rc, nullptr);
            }
            const std::optional<ControllerTime> time =
                Publish(stream, follower, record, count_wraps, waited_since);
            if (!time) {
                continue;
            }
            per_record(previous.get(), *record, *time);
            previous = std::move(record);
        }
    } catch (const VrxException& error) {
        EndFollower(stream, conditions, follower, adopted, error.GetRc());
    } catch (const std::exception& error) {
        std::cerr << "The " << stream.name << "'s record stream ended: " << error.what()
                  << std::endl;
        EndFollower(stream, conditions, follower, adopted, Z_ERR_CONNECTION_LOST);
    } catch (...) {
        std::cerr << "The " << stream.name << "'s record stream ended by an unknown error"
                  << std::endl;
        EndFollower(stream, conditions, follower, adopted, Z_ERR_CONNECTION_LOST);
    }
    boost::lock_guard<boost::mutex> lock(follower.mutex);
    follower.ended = true;
    follower.changed.notify_all();
}

void DataRecordWatcher::EndFollower(Stream& stream, Conditions& conditions, Follower& follower,
                                    bool adopted, int32_t rc) noexcept {
    follower.end_rc.store(rc);
    // Nothing may leave a record thread: an escaping exception ends the process.
    try {
        if (!adopted) {
            // Start fails with the same code. A stream that still runs has
            // not failed, so the UI hears only of the failed open then.
            if (!follower.replaces_running) {
                ReportStreamError(rc);
            }
            boost::lock_guard<boost::mutex> lock(follower.mutex);
            follower.failure_rc = rc;
        } else if (follower.running.load()) {
            StreamFailed(stream, conditions, rc);
        }
    } catch (const std::exception& error) {
        std::cerr << "Ending the " << stream.name << "'s record stream failed: " << error.what()
                  << std::endl;
    } catch (...) {
        std::cerr << "Ending the " << stream.name << "'s record stream failed" << std::endl;
    }
}

bool DataRecordWatcher::AwaitAdoption(Follower& follower, boost::shared_ptr<ZDataRecord> first) {
    boost::unique_lock<boost::mutex> lock(follower.mutex);
    follower.first = std::move(first);
    follower.changed.notify_all();
    follower.changed.wait(lock, [&follower] { return follower.adopted || !follower.running; });
    return follower.adopted && follower.running;
}

ZReturnCode DataRecordWatcher::NextRecord(
    Follower& follower, ZDataRecord* record,
    std::optional<std::chrono::steady_clock::time_point>& waited_since) {
    const auto give_up = std::chrono::steady_clock::now() + kStallLimit;
    for (;;) {
        const auto asked = std::chrono::steady_clock::now();
        const ZReturnCode rc = ZRecord(follower.handle, record, kRecordMode);
        // A queued record comes back at once; one that takes a good part of
        // a record period was sent by the controller after the call began.
        if (rc == Z_OK && std::chrono::steady_clock::now() - asked > kRecordPeriod / 2) {
            waited_since = asked;
        }
        // Each try waits for the library's timeout; a stream asked to end
        // stops trying.
        if (rc != Z_ERR_TIMEOUT || !follower.running.load() ||
            std::chrono::steady_clock::now() >= give_up) {
            return rc;
        }
    }
}

std::optional<ControllerTime> DataRecordWatcher::Publish(
    Stream& stream, Follower& follower, const boost::shared_ptr<ZDataRecord>& record,
    bool count_wraps, const std::optional<std::chrono::steady_clock::time_point>& waited_since) {
    std::optional<ControllerTime> time;
    {
        boost::lock_guard<boost::mutex> lock(stream.record_mutex);
        if (PublishLocked(stream, follower, record, count_wraps)) {
            time = stream.latest_time;
            if (waited_since) {
                stream.waited_since = *waited_since;
            }
        }
    }
    if (time) {
        stream.published.notify_all();
    }
    return time;
}

bool DataRecordWatcher::PublishLocked(Stream& stream, Follower& follower,
                                      const boost::shared_ptr<ZDataRecord>& record,
                                      bool count_wraps) {
    // A new stream's first records may be older than the last one the old
    // stream delivered; readers must not see the machine go back in time.
    if (follower.catching_up) {
        if (stream.latest && SampledBefore(*record, *stream.latest)) {
            return false;
        }
        follower.catching_up = false;
    }
    // Wraps count against the record readers saw last, so the counter runs
    // on across a change of stream.
    if (count_wraps) {
        CountWrap(wraps_, stream.latest.get(), *record);
        stream.latest_time = StampNext(stream, follower, *record);
    }
    stream.latest = record;
    return true;
}

ControllerTime DataRecordWatcher::StampNext(Stream& stream, Follower& follower,
                                            const ZDataRecord& record) {
    const uint16_t number = SampleNumber(record);
    if (!follower.timed) {
        follower.timed = true;
        // Records older than the latest were dropped while catching up: a
        // first record shortly after it is of the same clock.
        const bool continues =
            follower.replaces_running && stream.latest &&
            static_cast<int16_t>(static_cast<uint16_t>(number - SampleNumber(*stream.latest))) > 0;
        if (!continues) {
            return ControllerTime(++stream.streams, number);
        }
    }
    return stream.latest_time.Next(number);
}

ControllerTime DataRecordWatcher::StampOf(const Stream& stream,
                                          const boost::shared_ptr<ZDataRecord>& record) {
    // Only the record thread publishes, so its record is still the latest
    // unless a Stop has dropped it meanwhile.
    boost::lock_guard<boost::mutex> lock(stream.record_mutex);
    return stream.latest == record ? stream.latest_time : ControllerTime();
}

bool DataRecordWatcher::LostConnection(const Follower& follower) {
    const int32_t rc = follower.end_rc.load();
    return rc != 0 && rc != Z_ERR_TIMEOUT;
}

bool DataRecordWatcher::SampledBefore(const ZDataRecord& record, const ZDataRecord& latest) {
    // Sample numbers wrap at 65536: an older one lies a little behind. A
    // record far behind is a controller whose clock started again.
    const auto behind = static_cast<uint16_t>(SampleNumber(latest) - SampleNumber(record));
    return behind < kStaleWindow;
}

void DataRecordWatcher::StreamFailed(Stream& stream, Conditions& conditions, int32_t rc) {
    const std::exception_ptr error = std::make_exception_ptr(StreamError(stream, rc));
    // The UI hears of the failure and a waiting task is woken even when
    // handing the tasks over fails; that error is passed on last.
    std::exception_ptr hand_over;
    {
        // Under the list's lock, so every watch is either refused or in the list.
        boost::lock_guard<boost::mutex> lock(mutex_);
        stream.failure_rc.store(rc);
        std::vector<uint32_t> ids;
        for (const RecordCondition& entry : conditions) {
            if (std::find(ids.begin(), ids.end(), entry.task_id_) == ids.end() &&
                !HeldByTheUser(entry.task_id_)) {
                ids.push_back(entry.task_id_);
            }
        }
        std::cerr << "The " << stream.name << "'s record stream failed (rc " << rc << "); "
                  << ids.size() << " waiting task(s) fail" << std::endl;
        try {
            if (directory_ != nullptr && !ids.empty()) {
                directory_->OnStreamFailed(ids, error);
            }
        } catch (...) {
            hand_over = std::current_exception();
        }
    }
    // Only now: a control the UI sends when it hears of the failure finds
    // the stream failed and the waiting tasks on their way to fail.
    ReportStreamError(rc);
    {
        // Wakes a task waiting for a record that will not come.
        boost::lock_guard<boost::mutex> records(stream.record_mutex);
        stream.published.notify_all();
    }
    if (hand_over) {
        std::rethrow_exception(hand_over);
    }
}

bool DataRecordWatcher::HeldByTheUser(uint32_t task_id) const {
    if (directory_ == nullptr) {
        return false;
    }
    const std::optional<uint32_t> status = directory_->GetTaskStatus(task_id);
    return status && (*status == kStatusPaused || *status == kStatusBreakpoint);
}

VrxException DataRecordWatcher::StreamError(const Stream& stream, int32_t rc) {
    // Named after the "vrxError" "Data Record" message, with the stream.
    return VrxException(std::string("Data Record (") + stream.name + ")", rc, nullptr);
}

void DataRecordWatcher::SendError(const std::string& message) {
    boost::lock_guard<boost::mutex> lock(error_mutex_);
    if (error_callback_) {
        error_callback_(message);
    }
}

void DataRecordWatcher::ReportStreamError(int32_t rc) {
    const nlohmann::json message = {{"command", "vrxError"}, {"data", "Data Record"}, {"rc", rc}};
    boost::lock_guard<boost::mutex> lock(error_mutex_);
    if (error_callback_) {
        error_callback_(DumpMessage(message));
    }
}

// ---- Latest records, sample counter, homing, bits ------------------------

DataRecordWatcher::Record DataRecordWatcher::GetRecord() const {
    boost::lock_guard<boost::mutex> lock(main_.record_mutex);
    return main_.latest;
}

DataRecordWatcher::Record DataRecordWatcher::GetTemperatureRecord() const {
    boost::lock_guard<boost::mutex> lock(temperature_.record_mutex);
    return temperature_.latest;
}

DataRecordWatcher::TimedRecord DataRecordWatcher::GetTimedRecord() const {
    boost::lock_guard<boost::mutex> lock(main_.record_mutex);
    return {main_.latest, main_.latest_time};
}

ControllerTime DataRecordWatcher::Now() const {
    boost::lock_guard<boost::mutex> lock(main_.record_mutex);
    return main_.latest_time;
}

ControllerTime DataRecordWatcher::TimeOfClock(int32_t clock) const {
    boost::lock_guard<boost::mutex> lock(main_.record_mutex);
    const auto value = static_cast<uint32_t>(clock);
    if (!main_.latest) {
        // Nothing to unwrap against; the next stream's records are after it.
        return ControllerTime(main_.streams, value);
    }
    const ControllerTime time = main_.latest_time.Nearest(value);
    main_.clock_offsets[time.Stream()] = static_cast<int64_t>(value) - time.Samples();
    return time;
}

std::optional<int64_t> DataRecordWatcher::ClockAt(const ControllerTime& time) const {
    boost::lock_guard<boost::mutex> lock(main_.record_mutex);
    const auto found = main_.clock_offsets.find(time.Stream());
    if (found == main_.clock_offsets.end()) {
        return std::nullopt;
    }
    return time.Samples() + found->second;
}

void DataRecordWatcher::ThrowIfAStreamFailed() const {
    for (const Stream* stream : {&main_, &temperature_}) {
        const int32_t failure = stream->failure_rc.load();
        if (failure != 0) {
            throw StreamError(*stream, failure);
        }
    }
}

DataRecordWatcher::TimedRecord DataRecordWatcher::Timed(const Stream& stream) {
    return {stream.latest ? stream.latest : ZeroRecord(), stream.latest_time};
}

DataRecordWatcher::TimedRecord DataRecordWatcher::RecordAfter(const ControllerTime& time) const {
    return AwaitMainRecord([&time](const Stream& main) { return main.latest_time.IsAfter(time); });
}

DataRecordWatcher::TimedRecord DataRecordWatcher::RecordTakenAfter(
    std::chrono::steady_clock::time_point moment) const {
    // A record that was on its way when the thread began waiting was
    // sampled less than a record period before.
    const auto waited_from = moment + kRecordPeriod;
    return AwaitMainRecord(
        [waited_from](const Stream& main) { return main.waited_since >= waited_from; });
}

DataRecordWatcher::TimedRecord DataRecordWatcher::AwaitMainRecord(
    const std::function<bool(const Stream&)>& taken_after) const {
    const auto deadline = std::chrono::steady_clock::now() + kStallLimit + kFreshRecordMargin;
    boost::unique_lock<boost::mutex> lock(main_.record_mutex);
    for (;;) {
        const int32_t failure = main_.failure_rc.load();
        if (failure != 0) {
            throw StreamError(main_, failure);
        }
        if (!main_.follower) {
            // No stream: nothing will show the commands' effect.
            return Timed(main_);
        }
        if (main_.latest && taken_after(main_)) {
            return Timed(main_);
        }
        if (main_.published.wait_until(lock, deadline) == std::cv_status::timeout) {
            throw StreamError(main_, Z_ERR_TIMEOUT);
        }
    }
}

DataRecordWatcher::Record DataRecordWatcher::LatestMainOrZeros() const {
    Record record = GetRecord();
    if (record) {
        return record;
    }
    return ZeroRecord();
}

uint32_t DataRecordWatcher::GetSampleCounter() const {
    boost::lock_guard<boost::mutex> lock(main_.record_mutex);
    // No record yet (or stopped): the sample number counts as 0.
    const uint32_t sample = main_.latest ? SampleNumber(*main_.latest) : 0;
    return wraps_ * 65536u + sample;
}

void DataRecordWatcher::SyncSampleCounter(int32_t controller_time) {
    boost::lock_guard<boost::mutex> lock(main_.record_mutex);
    wraps_ = static_cast<uint32_t>(controller_time / 65536);
}

void DataRecordWatcher::CountWrap(uint32_t& wraps, const ZDataRecord* previous,
                                  const ZDataRecord& record) {
    if (previous != nullptr && SampleNumber(record) < SampleNumber(*previous)) {
        ++wraps;
    }
}

void DataRecordWatcher::SetHoming(const std::string& axis, bool homing) {
    boost::lock_guard<boost::mutex> lock(homing_mutex_);
    homing_[axis] = homing;
}

bool DataRecordWatcher::IsHoming(const std::string& axis) const {
    boost::lock_guard<boost::mutex> lock(homing_mutex_);
    const auto found = homing_.find(axis);
    return found != homing_.end() && found->second;
}

bool DataRecordWatcher::IsJogging(std::string axis) const {
    return Jogging(*LatestMainOrZeros(), axis);
}

bool DataRecordWatcher::IsPositiveDirection(std::string axis) const {
    return PositiveDirection(*LatestMainOrZeros(), axis);
}

bool DataRecordWatcher::Jogging(const ZDataRecord& record, const std::string& axis) {
    const uint16_t status = AxisStatus(record, JogAxisIndex(axis));
    return (status & kMoving) != 0 && (status & kOtherMotionModes) == 0;
}

bool DataRecordWatcher::PositiveDirection(const ZDataRecord& record, const std::string& axis) {
    return (AxisStatus(record, JogAxisIndex(axis)) & kNegativeDirection) == 0;
}

// ---- Watch conditions ----------------------------------------------------

void DataRecordWatcher::AddCondition(uint32_t task_id,
                                     std::function<bool(ZDataRecord*)> condition) {
    AddTo(main_, conditions_, RecordCondition{task_id, std::move(condition), nullptr});
}

void DataRecordWatcher::AddTemperatureCondition(uint32_t task_id,
                                                std::function<bool(ZDataRecord*)> condition) {
    AddTo(temperature_, temperature_conditions_,
          RecordCondition{task_id, std::move(condition), nullptr});
}

void DataRecordWatcher::AddTimedCondition(uint32_t task_id, TimedCondition condition) {
    AddTo(main_, conditions_, RecordCondition{task_id, nullptr, std::move(condition)});
}

void DataRecordWatcher::AddTo(Stream& stream, Conditions& conditions, RecordCondition entry) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    const int32_t failure = stream.failure_rc.load();
    if (failure != 0) {
        throw StreamError(stream, failure);
    }
    conditions.push_back(std::move(entry));
}

void DataRecordWatcher::RemoveConditions(uint32_t task_id) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    for (Conditions* list : {&conditions_, &temperature_conditions_}) {
        list->erase(std::remove_if(list->begin(), list->end(),
                                   [task_id](const RecordCondition& entry) {
                                       return entry.task_id_ == task_id;
                                   }),
                    list->end());
    }
}

void DataRecordWatcher::CheckConditions(const ZDataRecord*, ZDataRecord& record) {
    // A record the watcher did not publish is at the beginning of time.
    Check(conditions_, record, ControllerTime());
}

void DataRecordWatcher::CheckTemperatureConditions(const ZDataRecord*, ZDataRecord& record) {
    Check(temperature_conditions_, record, ControllerTime());
}

void DataRecordWatcher::Check(Conditions& conditions, ZDataRecord& record,
                              const ControllerTime& time) {
    boost::lock_guard<boost::mutex> lock(mutex_);
    if (directory_ == nullptr) {
        return;
    }
    // Every watch sees every record: a watch on a field keeps the value it
    // saw last, and a change that lasts a record or two must not be missed.
    met_.clear();
    for (const RecordCondition& entry : conditions) {
        const std::optional<uint32_t> status = directory_->GetTaskStatus(entry.task_id_);
        // A task that has left the table is skipped like a finished one.
        if (!status || *status == kStatusFinished || *status == kStatusPaused) {
            continue;
        }
        const bool held = entry.timed_condition_ ? entry.timed_condition_(record, time)
                          : entry.condition_     ? entry.condition_(&record)
                                                 : false;
        if (held && (met_.empty() || met_.back() != entry.task_id_)) {
            met_.push_back(entry.task_id_);
        }
    }
    // A task is told once per record, however many of its watches hold.
    std::sort(met_.begin(), met_.end());
    met_.erase(std::unique(met_.begin(), met_.end()), met_.end());
    for (const uint32_t id : met_) {
        directory_->OnConditionMet(id);
    }
}

// ---- Status telemetry ----------------------------------------------------

void DataRecordWatcher::UpdateStatus(nlohmann::json& status, const ZDataRecord* previous,
                                     ZDataRecord& record) {
    {
        boost::lock_guard<boost::mutex> lock(main_.record_mutex);
        CountWrap(wraps_, previous, record);
    }
    RefreshStatus(status, record);
    CheckConditions(previous, record);
}

void DataRecordWatcher::RefreshStatus(nlohmann::json& status, const ZDataRecord& record) {
    static const char* const kGcodeAxes[] = {"X", "Y", "Z"};
    static const char* const kPositionKeys[] = {"rpa", "rpb", "rpc"};
    for (int axis = 0; axis < 3; ++axis) {
        std::string position = "UNTRUSTED";
        if (AxisPositionTrusted(record, axis) == 1) {
            position = FormatNumber(static_cast<double>(AxisReferencePosition(record, axis)) /
                                        AxisResolution(kGcodeAxes[axis]),
                                    1);
        }
        status[kPositionKeys[axis]] = position;
    }
    status["bedCurrent"] = FormatNumber(GetBedTemperature(record), 1);
    status["extCurrent"] = FormatNumber(GetExtruderTemperature(record), 1);
    status["meshEnabled"] = std::to_string(MeshStatus(record) & 1u);

    static const char* const kControllerAxes[] = {"A", "B", "C", "D"};
    static const char* const kSuffixes[] = {"X", "Y", "Z", "E"};
    for (int i = 0; i < 4; ++i) {
        const std::string axis = kControllerAxes[i];
        const bool positive = PositiveDirection(record, axis);
        const bool jogging = Jogging(record, axis);
        const bool free = jogging && !IsHoming(axis);
        status[std::string("jogPos") + kSuffixes[i]] = positive && free;
        status[std::string("jogNeg") + kSuffixes[i]] = !positive && free;
    }
}

void DataRecordWatcher::SendUpdateUI(const nlohmann::json& status) {
    boost::lock_guard<boost::mutex> lock(update_mutex_);
    if (!update_callback_) {
        return;
    }
    const nlohmann::json message = {{"command", "updateUI"}, {"data", status}};
    update_callback_(DumpMessage(message));
}
