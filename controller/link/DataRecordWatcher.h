// Follows the record streams of both controllers, each on a thread of its own:
// publishes the latest records, stamps each main record with its controller
// time, keeps the sample counter and the homing flags, evaluates the tasks'
// watch conditions and sends the machine status.
#pragma once

#include "ControllerTime.h"
#include "RecordCondition.h"
#include "RecordFields.h"
#include "TaskDirectory.h"
#include "VrxException.h"

#include <zenlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/shared_ptr.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <nlohmann/json.hpp>

class DataRecordWatcher {
  public:
    using Callback = std::function<void(std::string)>;
    using Record = boost::shared_ptr<const ZDataRecord>;
    // A main record with the time the watcher stamped on it.
    struct TimedRecord {
        Record record;
        ControllerTime time;
    };
    // A watch that is also given the time of the record it looks at.
    using TimedCondition = std::function<bool(const ZDataRecord&, const ControllerTime&)>;
    // Counts per millimetre of a G-code axis ("X", "Y", "Z").
    using ResolutionSource = std::function<double(const std::string&)>;

    static DataRecordWatcher& GetInstance();

    // Receives the "updateUI" status messages. Waits for a call of the old
    // callback in progress; a callback must not replace itself.
    void SetUpdateCallback(Callback callback);
    // Receives the record threads' "vrxError" messages; replaced like the above.
    void SetErrorCallback(Callback callback);
    // Hands a "vrxError" message of the task engine (an axis that could not
    // be stopped) to the error callback.
    void SendError(const std::string& message);
    // Installed by the task engine; until then no watch is evaluated. Pass
    // nullptr to uninstall (in the installer's destructor): returns only once
    // no record thread uses the old directory any more. Do not call it while
    // holding a lock that the directory's methods take.
    void SetTaskDirectory(TaskDirectory* directory);
    // Installed by the G-code front end; an empty source restores the
    // defaults X 400, Y 400, Z 1600. Like the directory: uninstall in the
    // installer's destructor, never while holding a lock the source takes.
    void SetResolutionSource(ResolutionSource source);

    // Start a stream's thread on a library handle and return once its first
    // record is in. Throws VrxException (source "ZRecord") when that record
    // fails, besides the thread's own "vrxError" message; the stream that ran
    // before then goes on. Otherwise the new thread takes over from the old
    // one, and the watches stay: the tasks go on waiting on the new stream.
    // A main stream that takes over from a running one goes on with its
    // clock (its records older than the last published are dropped until it
    // catches up); any other opens a new stream of controller time, whose
    // records are after every time of the streams before it.
    void Start(ZHandle handle);
    void StartTemperature(ZHandle handle);
    // End a stream's thread, empty its watch list and drop its latest record.
    void Stop();
    void StopTemperature();

    // How long a running stream may go without a record before it counts as
    // failed; the controller may be busy or the network slow for a while.
    static constexpr std::chrono::milliseconds kStallLimit{5000};
    // Samples by which a record may lag the published one and still count as
    // older (the overlap of two running streams at a hand-over); a record
    // further behind comes from a controller whose clock started again.
    static constexpr uint16_t kStaleWindow = 5000;
    // The period at which the controllers are asked to send records.
    static constexpr std::chrono::microseconds kRecordPeriod{2000};

    // Throw the stream's VrxException while the stream has failed: no record
    // would ever hold for the watch.
    void AddCondition(uint32_t task_id, std::function<bool(ZDataRecord*)> condition);
    void AddTemperatureCondition(uint32_t task_id, std::function<bool(ZDataRecord*)> condition);
    // A main watch given each record's time too.
    void AddTimedCondition(uint32_t task_id, TimedCondition condition);
    // Removes every watch of the task from both lists.
    void RemoveConditions(uint32_t task_id);

    // The latest record of a stream; empty before its first record and after Stop.
    Record GetRecord() const;
    Record GetTemperatureRecord() const;
    // The latest main record, or a record of all zero bytes before the first
    // record and after Stop: readers then answer as if every field were 0.
    Record LatestMainOrZeros() const;
    // The main stream has failed (lost, or silent past kStallLimit) and has
    // not been opened again: no record will show what a command did.
    bool MainStreamFailed() const { return main_.failure_rc.load() != 0; }
    // Throws the error of a stream (the main one first) that has failed and
    // has not been opened again.
    void ThrowIfAStreamFailed() const;

    // The latest main record and its time; no record before the first one
    // and after Stop, and then the time of the last one published.
    TimedRecord GetTimedRecord() const;
    // The time of the latest main record.
    ControllerTime Now() const;
    // The controller's clock `clock` (an "MG TIME" reply, modulo 2^32) as a
    // time of the current main stream: unwrapped against the latest record,
    // which lies within the stall limit of it. The read also ties the
    // stream's times to the controller's clock (ClockAt).
    ControllerTime TimeOfClock(int32_t clock) const;
    // The controller's clock (as "MG TIME" shows it) at `time`; none until a
    // clock was read on the stream of `time`.
    std::optional<int64_t> ClockAt(const ControllerTime& time) const;
    // A main record that shows the effect of the commands answered before
    // `time` (a clock read): the latest record once one stamped after that
    // time is in. Throws the stream's VrxException when it fails or no such
    // record comes within kStallLimit; without a main stream, the latest
    // record or one of zeros.
    TimedRecord RecordAfter(const ControllerTime& time) const;
    // A main record certainly sampled after `moment` of this computer's
    // clock, for when no clock read ties a command to the controller's clock:
    // the latest record once one has come in that the record thread had to
    // wait for (nothing older was queued) and that it began waiting for at
    // least one record period after `moment` (a record crosses the network in
    // less). Throws and answers like RecordAfter.
    TimedRecord RecordTakenAfter(std::chrono::steady_clock::time_point moment) const;

    // wraps x 65536 + sample_number of the latest main record, modulo 2^32.
    uint32_t GetSampleCounter() const;
    // wraps = controller_time / 65536, rounding toward zero.
    void SyncSampleCounter(int32_t controller_time);

    void SetHoming(const std::string& axis, bool homing);
    bool IsHoming(const std::string& axis) const;

    // Bit `bit` of the field of type T at `offset` of the latest main record.
    template <typename T>
    bool CheckBit(int offset, int bit) const;
    // Axis "B", "C" or "D" (anything else means A) moves as a jog: status bit 15
    // set, bits 14, 8, 6 and 0 clear.
    bool IsJogging(std::string axis) const;
    // Status bit 7 (moving negative) of the axis is clear.
    bool IsPositiveDirection(std::string axis) const;

    // Refreshes the status object from a main record, counts sample wraps and
    // evaluates the main watch list.
    void UpdateStatus(nlohmann::json& status, const ZDataRecord* previous, ZDataRecord& record);
    void SendUpdateUI(const nlohmann::json& status);

    void CheckConditions(const ZDataRecord* previous, ZDataRecord& record);
    void CheckTemperatureConditions(const ZDataRecord* previous, ZDataRecord& record);

  private:
    // One thread reading records on one library handle.
    struct Follower {
        explicit Follower(ZHandle h) : handle(h) {}
        const ZHandle handle;
        // The loop goes on while set.
        std::atomic<bool> running{true};
        boost::thread thread;
        // Guards the hand-over below and wakes both sides of it.
        boost::mutex mutex;
        boost::condition_variable changed;
        // Set by the thread: its first record, or its end and the return code
        // of a first record that failed.
        boost::shared_ptr<ZDataRecord> first;
        bool ended = false;
        std::optional<int32_t> failure_rc;
        // Set by Start once this follower has taken over the stream.
        bool adopted = false;
        // Start published its first record (it was not older than the latest).
        bool first_published = false;
        // Another follower ran the stream when this one was made.
        bool replaces_running = false;
        // Its records are not published until one is newer than the latest
        // of the stream it replaces. Guarded by the stream's record_mutex.
        bool catching_up = false;
        // Its records are stamped on a stream of controller time: the one it
        // took over or a new one. Guarded by the stream's record_mutex.
        bool timed = false;
        // The code of the error that ended its loop; 0 while it runs or when
        // it was stopped between two records.
        std::atomic<int32_t> end_rc{0};
    };
    // One record stream: its follower and what it publishes.
    struct Stream {
        explicit Stream(const char* n) : name(n) {}
        // "main controller" or "temperature controller", for failure reasons.
        const char* const name;
        // Serialises Start and Stop of this stream (and the destructor).
        boost::mutex control_mutex;
        // Guards latest, its time, streams and follower (and, for the main
        // stream, wraps_).
        mutable boost::mutex record_mutex;
        Record latest;
        // The time stamped on `latest` (main stream only); kept after Stop.
        ControllerTime latest_time;
        // Streams of controller time opened so far; the last one's number.
        uint32_t streams = 0;
        // Per stream of controller time, the controller's clock minus the
        // samples counted on it, as the clock reads on that stream showed.
        mutable std::map<uint32_t, int64_t> clock_offsets;
        boost::shared_ptr<Follower> follower;
        // Signals a newly published record, a failure and a stop.
        mutable std::condition_variable_any published;
        // The return code that ended the stream's follower; 0 while it runs.
        std::atomic<int32_t> failure_rc{0};
        // When the record thread began waiting for the latest record that it
        // had to wait for; guarded by record_mutex. Judged on the main stream
        // only (RecordTakenAfter).
        std::chrono::steady_clock::time_point waited_since{};
    };
    using PerRecord = std::function<void(const ZDataRecord* previous, ZDataRecord& record,
                                         const ControllerTime& time)>;
    using Conditions = std::vector<RecordCondition>;

    DataRecordWatcher();
    ~DataRecordWatcher();

    void StartStream(Stream& stream, ZHandle handle, bool main);
    void StopStream(Stream& stream, Conditions& conditions);
    // Waits for the follower's first record; throws when it ends without one.
    static void AwaitFirstRecord(Follower& follower);
    // Ends the stream's follower and waits for it, unless called on it.
    static void Retire(Stream& stream);
    static void JoinFollower(Follower& follower);
    // The record loop of one stream (Run for the main, RunTemperature for the other).
    void Run(Follower& follower);
    void RunTemperature(Follower& follower);
    void FollowStream(Stream& stream, Conditions& conditions, Follower& follower, bool count_wraps,
                      const PerRecord& per_record);
    // Hands the first record to Start and waits to be adopted; false when
    // the follower is to end instead.
    static bool AwaitAdoption(Follower& follower, boost::shared_ptr<ZDataRecord> first);
    // The next record of a running stream, waiting out stalls shorter than
    // kStallLimit; the library's return code. `waited_since` is set to when
    // the call began when it had to wait for the record.
    static ZReturnCode NextRecord(
        Follower& follower, ZDataRecord* record,
        std::optional<std::chrono::steady_clock::time_point>& waited_since);
    // Publishes a new record unless it was sampled before the one published
    // while the follower catches up with the stream it replaced; for the main stream also counts
    // a sample wrap in the same step, so no reader sees a wrapped sample with
    // the old wrap count. The time it was published at; none when it is not
    // published.
    std::optional<ControllerTime> Publish(
        Stream& stream, Follower& follower, const boost::shared_ptr<ZDataRecord>& record,
        bool count_wraps, const std::optional<std::chrono::steady_clock::time_point>& waited_since);
    bool PublishLocked(Stream& stream, Follower& follower,
                       const boost::shared_ptr<ZDataRecord>& record, bool count_wraps);
    static bool SampledBefore(const ZDataRecord& record, const ZDataRecord& latest);
    // The time of a record about to be published by `follower`. Its first
    // record goes on with the stream's clock when it follows the latest
    // record of a running stream that it replaces; otherwise it opens a new
    // stream of controller time.
    static ControllerTime StampNext(Stream& stream, Follower& follower, const ZDataRecord& record);
    // The stream's latest record, or the one of zeros, with its time.
    static TimedRecord Timed(const Stream& stream);
    // Waits, with the main record lock held, for a main record for which
    // `taken_after` holds; throws as RecordAfter.
    TimedRecord AwaitMainRecord(const std::function<bool(const Stream&)>& taken_after) const;
    // The time stamped on `record` as it was published; the beginning of time
    // once a Stop has dropped it.
    static ControllerTime StampOf(const Stream& stream,
                                  const boost::shared_ptr<ZDataRecord>& record);
    // The follower's loop ended on an error other than a timeout: its
    // connection is gone, even if it was asked to stop meanwhile.
    static bool LostConnection(const Follower& follower);
    // Ends a follower whose loop met an error: a running stream fails, a
    // first record that failed fails its Start. Never throws.
    void EndFollower(Stream& stream, Conditions& conditions, Follower& follower, bool adopted,
                     int32_t rc) noexcept;
    // A running stream ended: every task that waits on the stream's records
    // fails, since none will come, and the UI hears of it. A task the user
    // holds (paused, or at its breakpoint) waits for none and is left alone.
    void StreamFailed(Stream& stream, Conditions& conditions, int32_t rc);
    // The task is paused or at its breakpoint; with mutex_ held.
    bool HeldByTheUser(uint32_t task_id) const;
    // The error that the tasks of a failed stream fail with.
    static VrxException StreamError(const Stream& stream, int32_t rc);
    void AddTo(Stream& stream, Conditions& conditions, RecordCondition entry);
    void ReportStreamError(int32_t rc);
    void Check(Conditions& conditions, ZDataRecord& record, const ControllerTime& time);

    // Status keys of one main record (everything of UpdateStatus but the wrap
    // count and the watch conditions).
    void RefreshStatus(nlohmann::json& status, const ZDataRecord& record);
    double AxisResolution(const std::string& gcode_axis);
    static bool Jogging(const ZDataRecord& record, const std::string& axis);
    static bool PositiveDirection(const ZDataRecord& record, const std::string& axis);
    static void CountWrap(uint32_t& wraps, const ZDataRecord* previous, const ZDataRecord& record);

    // Each callback is called under its own mutex, so replacing it waits for a
    // call in progress: once a setter returns, the old callback never runs again.
    boost::mutex update_mutex_;
    Callback update_callback_;
    boost::mutex error_mutex_;
    Callback error_callback_;

    Stream main_{"main controller"};
    Stream temperature_{"temperature controller"};
    uint32_t wraps_ = 0;  // guarded by main_.record_mutex

    mutable boost::mutex homing_mutex_;
    std::map<std::string, bool> homing_;

    // Held by a record thread while it calls the source, so an uninstall
    // waits for that call to end.
    boost::mutex resolution_mutex_;
    ResolutionSource resolution_source_;

    // Slack beyond kStallLimit for the clock read's round trip.
    static constexpr std::chrono::milliseconds kFreshRecordMargin{1000};

    // Guards both watch lists and the task directory.
    boost::mutex mutex_;
    Conditions conditions_;
    Conditions temperature_conditions_;
    TaskDirectory* directory_ = nullptr;
    // The tasks whose watches held for the record being checked; kept to
    // spare an allocation per record.
    std::vector<uint32_t> met_;
};

template <typename T>
bool DataRecordWatcher::CheckBit(int offset, int bit) const {
    static_assert(std::is_integral<T>::value, "record fields are integers");
    if (bit < 0 || bit >= static_cast<int>(8 * sizeof(T))) {
        return false;
    }
    const Record record = LatestMainOrZeros();
    const auto value =
        static_cast<uint64_t>(ReadRecordField<std::make_unsigned_t<T>>(*record, offset));
    return ((value >> bit) & 1u) != 0;
}
