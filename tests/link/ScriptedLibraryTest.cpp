// The link subsystem against a scripted controller library: the test decides every reply,
// rejection and record, so the record threads see records exactly as the test queues them.
// The record watcher's lists and status are also fed hand-made records on the test thread.
#include "DataRecordWatcher.h"
#include "MainConnection.h"
#include "MotionStop.h"
#include "TaskDirectory.h"
#include "TemperatureConnection.h"
#include "VrxException.h"

#include <zenlib.h>
#include <zenlibo.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

struct ScriptedZenlib {
    static ScriptedZenlib& Get() {
        // Never destroyed: the connections call in at exit.
        static ScriptedZenlib* instance = new ScriptedZenlib;
        return *instance;
    }

    // Forget every script, log and queued record.
    void Reset() {
        std::lock_guard<std::mutex> lock(mutex);
        script = Script{};
    }
    // ZCommand of this text returns rc and, with Z_OK, this reply (without "\r\n:").
    // Commands never answered get Z_OK and "".
    void Answer(const std::string& command, ZReturnCode rc, const std::string& reply = "") {
        std::lock_guard<std::mutex> lock(mutex);
        script.answers[command] = {rc, reply};
    }
    // Queues one record for ZRecord on `handle`, or one failing ZRecord call
    // when rc is not Z_OK.
    void PushRecord(const ZDataRecord& record, ZReturnCode rc = Z_OK,
                    ZHandle handle = reinterpret_cast<ZHandle>(1)) {
        std::lock_guard<std::mutex> lock(mutex);
        script.records.push_back({handle, record, rc});
        changed.notify_all();
    }
    // From now until Reset, ZRecord on an empty queue delivers a record of
    // zeros but for a running sample number at once (lets a test stop a stream
    // without waiting for a timeout).
    void FreeRun() {
        std::lock_guard<std::mutex> lock(mutex);
        script.free_run = true;
        changed.notify_all();
    }
    // Waits until every queued record has been taken by ZRecord.
    bool WaitUntilTaken(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [this] { return script.records.empty(); });
    }
    // Every command sent, in order.
    std::vector<std::string> Log() {
        std::lock_guard<std::mutex> lock(mutex);
        return script.log;
    }

    struct Queued {
        ZHandle handle;
        ZDataRecord record;
        ZReturnCode rc;
    };
    struct Script {
        std::map<std::string, std::pair<ZReturnCode, std::string>> answers;
        std::deque<Queued> records;
        std::vector<std::string> log;
        bool free_run = false;
        uint16_t free_run_sample = 0;
    };
    std::mutex mutex;  // guards script; the library calls take it too
    std::condition_variable changed;
    Script script;
};

// The library calls, as the link code makes them.
extern "C" {

ZReturnCode ZOpen(const char*, ZHandle* handle) {
    *handle = reinterpret_cast<ZHandle>(1);
    return Z_OK;
}

ZReturnCode ZCommand(ZHandle, const char* command, char* reply, ZSize size, ZSize* count) {
    auto& lib = ScriptedZenlib::Get();
    std::lock_guard<std::mutex> lock(lib.mutex);
    lib.script.log.push_back(command);
    const auto [rc, answer] = lib.script.answers[command];
    if (rc != Z_OK)
        return rc;
    const std::string text = answer + "\r\n:";
    *count = static_cast<ZSize>(std::min<size_t>(text.size(), size));
    std::memcpy(reply, text.data(), *count);
    return Z_OK;
}

ZReturnCode ZRecord(ZHandle handle, ZDataRecord* record, int32_t) {
    auto& lib = ScriptedZenlib::Get();
    std::unique_lock<std::mutex> lock(lib.mutex);
    auto& records = lib.script.records;
    auto mine = [&] {
        return std::find_if(records.begin(), records.end(),
                            [handle](const auto& queued) { return queued.handle == handle; });
    };
    // Like the real library: a record within the timeout, or a timeout error.
    if (!lib.changed.wait_for(lock, std::chrono::seconds(1),
                              [&] { return mine() != records.end() || lib.script.free_run; }))
        return Z_ERR_TIMEOUT;
    const auto next = mine();
    if (next == records.end()) {
        *record = ZDataRecord{};
        record->std.sample_number = ++lib.script.free_run_sample;
        return Z_OK;
    }
    const ScriptedZenlib::Queued queued = *next;
    records.erase(next);
    lib.changed.notify_all();
    if (queued.rc == Z_OK)
        *record = queued.record;
    return queued.rc;
}

ZReturnCode ZClose(ZHandle handle) {
    return handle == nullptr ? Z_ERR_BAD_HANDLE : Z_OK;
}

ZReturnCode ZRecordRate(ZHandle, double) {
    return Z_OK;
}

ZReturnCode ZError(ZReturnCode rc, char* text, ZSize text_size) {
    std::snprintf(text, text_size, "scripted error %d", static_cast<int>(rc));
    return Z_OK;
}
}

namespace {

using namespace std::chrono_literals;
using Ids = std::vector<uint32_t>;
using Json = nlohmann::json;
using Texts = std::vector<std::string>;

// The VrxException `call` throws; a test failure when it throws none.
template <typename Call>
VrxException Caught(Call call) {
    try {
        call();
    } catch (const VrxException& error) {
        return error;
    }
    ADD_FAILURE() << "no VrxException";
    return VrxException("", 0, nullptr);
}

enum : uint32_t { kRunning = 1, kPaused = 3, kFinished = 6 };  // task statuses

// Spins until `done` holds or 5 seconds have passed.
template <typename Predicate>
bool Eventually(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    bool held = false;
    while (!(held = done()) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    return held;
}

// Statuses set by the test, met conditions recorded; the watcher's directory while it lives.
class FakeTaskDirectory : public TaskDirectory {
  public:
    FakeTaskDirectory() { DataRecordWatcher::GetInstance().SetTaskDirectory(this); }
    ~FakeTaskDirectory() override { DataRecordWatcher::GetInstance().SetTaskDirectory(nullptr); }
    void Set(const std::map<uint32_t, uint32_t>& statuses) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [id, status] : statuses)
            statuses_[id] = status;
    }
    // Ids reported so far; clears the list.
    Ids TakeMet() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(met_, {});
    }
    std::optional<uint32_t> GetTaskStatus(uint32_t id) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return statuses_.count(id) ? std::optional<uint32_t>(statuses_[id]) : std::nullopt;
    }
    void OnConditionMet(uint32_t id) override {
        std::lock_guard<std::mutex> lock(mutex_);
        met_.push_back(id);
    }
    void OnStreamFailed(const Ids& ids, std::exception_ptr error) override {
        std::lock_guard<std::mutex> lock(mutex_);
        failed_.insert(failed_.end(), ids.begin(), ids.end());
        failure_ = error;
        if (throw_on_failure_)
            throw std::runtime_error("the directory failed too");
    }
    void ThrowOnFailure() {
        std::lock_guard<std::mutex> lock(mutex_);
        throw_on_failure_ = true;
    }
    // Ids failed so far with the error they failed with.
    std::pair<Ids, std::exception_ptr> Failed() {
        std::lock_guard<std::mutex> lock(mutex_);
        return {failed_, failure_};
    }

  private:
    std::mutex mutex_;
    std::map<uint32_t, uint32_t> statuses_;
    Ids met_;
    Ids failed_;
    std::exception_ptr failure_;
    bool throw_on_failure_ = false;
};

// Collects callback messages.
class Inbox {
  public:
    DataRecordWatcher::Callback Sink() {
        return [this](std::string text) {
            std::lock_guard<std::mutex> lock(mutex_);
            messages_.push_back(Json::parse(text));
        };
    }
    std::vector<Json> Messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    bool WaitFor(size_t count) {
        return Eventually([&] { return Messages().size() >= count; });
    }

  private:
    std::mutex mutex_;
    std::vector<Json> messages_;
};

const ZHandle kHandle = reinterpret_cast<ZHandle>(1);
const ZHandle kOtherHandle = reinterpret_cast<ZHandle>(2);

ZDataRecord Sample(uint16_t number) {
    ZDataRecord record{};
    record.std.sample_number = number;
    return record;
}

class WatcherTest : public testing::Test {
  protected:
    void SetUp() override {
        lib_.Reset();
        watcher_.SetErrorCallback(errors_.Sink());
        watcher_.SetUpdateCallback(updates_.Sink());
        watcher_.SyncSampleCounter(0);
    }
    void TearDown() override {
        lib_.FreeRun();   // lets a thread blocked in ZRecord see the stop at once
        watcher_.Stop();  // empties the main list and drops the latest record
        watcher_.StopTemperature();
        watcher_.SetErrorCallback(nullptr);
        watcher_.SetUpdateCallback(nullptr);
        watcher_.SetResolutionSource(nullptr);
        for (const char* axis : {"A", "B", "C", "D"})
            watcher_.SetHoming(axis, false);
        lib_.Reset();
    }
    // Starts the main stream on a first record with this sample number.
    void StartWith(uint16_t number) {
        lib_.PushRecord(Sample(number));
        watcher_.Start(kHandle);
    }

    ScriptedZenlib& lib_ = ScriptedZenlib::Get();
    DataRecordWatcher& watcher_ = DataRecordWatcher::GetInstance();
    FakeTaskDirectory tasks_;
    Inbox errors_;
    Inbox updates_;
    ZDataRecord record_{};
};

// ---- The record threads ------------------------------------------------------

TEST_F(WatcherTest, ReadersSeeZerosUntilTheFirstRecordAndFailingRecordsSendDataRecordError) {
    const Json message = {{"command", "vrxError"}, {"data", "Data Record"}, {"rc", -1102}};
    // Before the first record the readers see zeros.
    EXPECT_FALSE(watcher_.GetTemperatureRecord());
    EXPECT_FALSE(watcher_.IsJogging("A") || watcher_.IsHoming("Q"));
    EXPECT_TRUE(watcher_.IsPositiveDirection("A"));
    EXPECT_FALSE(watcher_.CheckBit<uint16_t>(82, 15));
    EXPECT_FALSE(watcher_.CheckBit<uint8_t>(600, 0));  // outside the record
    EXPECT_FALSE(watcher_.CheckBit<uint8_t>(51, 9));   // outside the field
    EXPECT_EQ(watcher_.GetSampleCounter(), 0u);
    lib_.PushRecord({}, Z_ERR_CONNECTION_LOST);
    const VrxException error = Caught([this] { watcher_.Start(kHandle); });
    EXPECT_EQ(error.GetSource(), "ZRecord");
    EXPECT_EQ(error.GetRc(), Z_ERR_CONNECTION_LOST);
    EXPECT_FALSE(watcher_.GetRecord());
    // The thread's own message is sent before Start gives up waiting.
    EXPECT_EQ(errors_.Messages(), std::vector<Json>{message});

    // The next Start joins the ended thread and returns with the first record published.
    auto started = std::async(std::launch::async, [this] { watcher_.Start(kHandle); });
    lib_.PushRecord(Sample(77));
    started.get();
    EXPECT_EQ(watcher_.GetSampleCounter(), 77u);
    lib_.PushRecord({}, Z_ERR_CONNECTION_LOST);
    ASSERT_TRUE(errors_.WaitFor(2));
    EXPECT_EQ(errors_.Messages()[1], message);
    // The last record stays published until Stop; then the sample number counts as 0.
    ASSERT_TRUE(watcher_.GetRecord());
    EXPECT_EQ(SampleNumber(*watcher_.GetRecord()), 77);
    watcher_.Stop();
    EXPECT_FALSE(watcher_.GetRecord());
    EXPECT_EQ(watcher_.GetSampleCounter() % 65536u, 0u);
}

TEST_F(WatcherTest, StatusEveryTwentyFiveRecordsWithTheValuesOfTheLastAndWrapsCounted) {
    StartWith(65535);
    for (uint16_t n = 0; n < 49; ++n) {
        ZDataRecord record = Sample(n);
        record.std.mesh_status = n == 23 ? 1 : 0;  // the 25th record
        lib_.PushRecord(record);
    }
    ASSERT_TRUE(updates_.WaitFor(2));
    ASSERT_TRUE(lib_.WaitUntilTaken(5s));
    EXPECT_TRUE(Eventually([this] { return watcher_.GetSampleCounter() == 65536u + 48u; }));
    const std::vector<Json> messages = updates_.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0]["command"], "updateUI");
    EXPECT_EQ(messages[0]["data"]["meshEnabled"], "1");
    EXPECT_EQ(messages[1]["data"]["meshEnabled"], "0");
    EXPECT_EQ(messages[0]["data"].size(), 14u);
}

TEST_F(WatcherTest, WatchesRunOnTheRecordThreadAndOutliveARestartButNotAStop) {
    tasks_.Set({{9, kRunning}});
    StartWith(1);
    watcher_.AddCondition(9, [](ZDataRecord* r) { return r->std.sample_number >= 42; });
    watcher_.AddTemperatureCondition(9, [](ZDataRecord*) { return true; });
    lib_.PushRecord(Sample(41));
    lib_.PushRecord(Sample(42));
    ASSERT_TRUE(lib_.WaitUntilTaken(5s));
    EXPECT_TRUE(Eventually([this] { return tasks_.TakeMet() == Ids{9}; }));

    // A new stream takes over the watches: the task goes on waiting on it.
    lib_.PushRecord(Sample(43), Z_OK, kOtherHandle);
    watcher_.Start(kOtherHandle);
    EXPECT_TRUE(Eventually([this] { return tasks_.TakeMet() == Ids{9}; }));
    lib_.FreeRun();
    watcher_.Stop();
    tasks_.TakeMet();
    lib_.Reset();
    StartWith(42);
    lib_.PushRecord(Sample(42));
    ASSERT_TRUE(lib_.WaitUntilTaken(5s));
    lib_.FreeRun();
    watcher_.Stop();
    EXPECT_TRUE(tasks_.TakeMet().empty()) << "the main watch went with the stop";
    ZDataRecord record{};
    watcher_.CheckTemperatureConditions(nullptr, record);
    EXPECT_EQ(tasks_.TakeMet(), Ids{9});
}

TEST_F(WatcherTest, AStallIsWaitedOutButALostStreamFailsItsWatchersUntilTheNextStart) {
    tasks_.Set({{6, kPaused}, {7, kRunning}, {8, kRunning}});
    StartWith(1);
    watcher_.AddCondition(6, [](ZDataRecord*) { return false; });
    watcher_.AddCondition(7, [](ZDataRecord* r) { return r->std.sample_number == 3; });
    watcher_.AddCondition(7, [](ZDataRecord*) { return false; });
    watcher_.AddTemperatureCondition(8, [](ZDataRecord*) { return false; });
    // Longer than the library's timeout: the stream waits it out.
    const auto resumed = std::chrono::steady_clock::now() + 1500ms;
    while (std::chrono::steady_clock::now() < resumed)
        std::this_thread::yield();
    lib_.PushRecord(Sample(3));
    EXPECT_TRUE(Eventually([this] { return tasks_.TakeMet() == Ids{7}; }));
    EXPECT_TRUE(errors_.Messages().empty());

    lib_.PushRecord({}, Z_ERR_CONNECTION_LOST);
    ASSERT_TRUE(errors_.WaitFor(1));
    EXPECT_EQ(errors_.Messages()[0]["data"], "Data Record");
    ASSERT_TRUE(Eventually([this] { return !tasks_.Failed().first.empty(); }));
    const auto [ids, error] = tasks_.Failed();
    EXPECT_EQ(ids, Ids{7}) << "once per task, only the main stream's, and no paused one";
    const VrxException refused = Caught([this] { watcher_.AddCondition(9, nullptr); });
    for (const VrxException& thrown : {Caught([&] { std::rethrow_exception(error); }), refused}) {
        EXPECT_EQ(thrown.GetSource(), "Data Record (main controller)");
        EXPECT_EQ(thrown.GetRc(), Z_ERR_CONNECTION_LOST);
    }
    watcher_.AddTemperatureCondition(9, nullptr);  // that stream is fine
    StartWith(5);
    watcher_.AddCondition(9, nullptr);
}

TEST_F(WatcherTest, AHandOverNeverSendsTheRecordOrTheCounterBack) {
    tasks_.Set({{9, kRunning}});
    StartWith(65530);
    lib_.PushRecord(Sample(65534));
    ASSERT_TRUE(Eventually([this] { return watcher_.GetSampleCounter() == 65534u; }));
    const ControllerTime handed_over = watcher_.GetTimedRecord().time;
    // Shared with the watch, which the record thread runs until the stop.
    struct Seen {
        std::mutex mutex;
        std::vector<uint16_t> numbers;
    };
    const auto seen = std::make_shared<Seen>();
    watcher_.AddCondition(9, [seen](ZDataRecord* r) {
        std::lock_guard<std::mutex> lock(seen->mutex);
        seen->numbers.push_back(r->std.sample_number);
        return false;
    });
    // The new stream starts behind the old one's last record, then crosses a wrap.
    lib_.PushRecord(Sample(65532), Z_OK, kOtherHandle);
    watcher_.Start(kOtherHandle);
    EXPECT_EQ(SampleNumber(*watcher_.GetRecord()), 65534);
    for (uint16_t number : {65533, 65535, 2})
        lib_.PushRecord(Sample(number), Z_OK, kOtherHandle);
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(seen->mutex);
        return !seen->numbers.empty() && seen->numbers.back() == 2;
    }));
    EXPECT_EQ(watcher_.GetSampleCounter(), 65536u + 2);
    // The same controller's clock: its time runs on.
    EXPECT_EQ(watcher_.GetTimedRecord().time, handed_over.Plus(4));
    std::lock_guard<std::mutex> lock(seen->mutex);
    for (uint16_t stale : {65532, 65533})
        EXPECT_EQ(std::count(seen->numbers.begin(), seen->numbers.end(), stale), 0) << stale;
}

TEST_F(WatcherTest, AnyErrorOnARecordThreadEndsTheStreamAsALostOne) {
    tasks_.Set({{7, kRunning}});
    tasks_.ThrowOnFailure();  // nor may the failure handling's own error escape
    StartWith(1);
    watcher_.AddCondition(7, [](ZDataRecord* r) {
        return r->std.sample_number == 2 ? throw std::logic_error("bad watch") : false;
    });
    lib_.PushRecord(Sample(2));
    ASSERT_TRUE(Eventually([this] { return !tasks_.Failed().first.empty(); }));
    EXPECT_EQ(tasks_.Failed().first, Ids{7});
    ASSERT_TRUE(errors_.WaitFor(1));
    EXPECT_EQ(errors_.Messages()[0]["data"], "Data Record");
    EXPECT_EQ(Caught([this] { watcher_.AddCondition(9, nullptr); }).GetSource(),
              "Data Record (main controller)");
}

TEST_F(WatcherTest, ARecordSampledAfterAClockReadIsWaitedFor) {
    ZDataRecord zeros{};
    EXPECT_EQ(std::memcmp(watcher_.RecordAfter(watcher_.TimeOfClock(5)).record.get(), &zeros,
                          sizeof zeros),
              0)
        << "no stream: nothing to wait for";
    StartWith(65534);
    const ControllerTime read = watcher_.TimeOfClock(65535);
    auto fresh = std::async(std::launch::async,
                            [&] { return SampleNumber(*watcher_.RecordAfter(read).record); });
    for (uint16_t number : {65535, 1})  // the same millisecond is not after it
        lib_.PushRecord(Sample(number));
    EXPECT_EQ(fresh.get(), 1);
    lib_.PushRecord({}, Z_ERR_CONNECTION_LOST);
    EXPECT_EQ(Caught([this] { watcher_.RecordAfter(watcher_.TimeOfClock(7)); }).GetRc(),
              Z_ERR_CONNECTION_LOST);
}

TEST_F(WatcherTest, WithoutAClockReadOnlyARecordTheThreadHadToWaitForIsTakenAsLater) {
    StartWith(1);
    // The thread waits for records from a moment a little ahead on: records
    // queued before it, found at once, may have been sampled before it.
    const auto moment = std::chrono::steady_clock::now() + 20ms;
    for (uint16_t number : {2, 3, 4})
        lib_.PushRecord(Sample(number));
    ASSERT_TRUE(lib_.WaitUntilTaken(1s));
    auto later = std::async(std::launch::async, [&] {
        return SampleNumber(*watcher_.RecordTakenAfter(moment).record);
    });
    // A controller sending a record every few milliseconds; the answer is
    // one sent a record period after the moment or later.
    uint16_t number = 5;
    uint16_t first_later = 0;
    while (later.wait_for(3ms) == std::future_status::timeout && number < 1000) {
        if (first_later == 0 &&
            std::chrono::steady_clock::now() >= moment + DataRecordWatcher::kRecordPeriod)
            first_later = number;
        lib_.PushRecord(Sample(number++));
    }
    ASSERT_NE(first_later, 0);
    EXPECT_GE(later.get(), first_later);
    lib_.PushRecord({}, Z_ERR_CONNECTION_LOST);
    EXPECT_EQ(Caught([&] { watcher_.RecordTakenAfter(std::chrono::steady_clock::now()); }).GetRc(),
              Z_ERR_CONNECTION_LOST);
}

TEST_F(WatcherTest, AnUnansweredStopIsJudgedOnceFromRecordsWithoutTheClockOrSaysThereAreNone) {
    lib_.PushRecord(Sample(1));
    MainConnection::GetInstance().Connect("scripted", [this](ZHandle h) { watcher_.Start(h); });
    lib_.Answer("ST", Z_ERR_TIMEOUT);
    const auto stop = [this] {
        return std::async(std::launch::async, [this] {
            return MotionStop(MainConnection::GetInstance(), watcher_, {"ST"},
                              MotionStop::AllAxes(), true)
                .Run();
        });
    };
    auto standing = stop();
    for (uint16_t number = 2;
         standing.wait_for(3ms) == std::future_status::timeout && number < 2000; ++number)
        lib_.PushRecord(Sample(number));
    const MotionStop::Outcome outcome = standing.get();
    EXPECT_EQ(outcome.verdict, MotionStop::Verdict::kStanding);
    EXPECT_EQ(outcome.rounds, 1);
    EXPECT_EQ(Caught([&] { std::rethrow_exception(outcome.error); }).GetRc(), Z_ERR_TIMEOUT);
    const Texts log = lib_.Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "MG TIME"), 0);

    lib_.PushRecord({}, Z_ERR_CONNECTION_LOST);
    const MotionStop::Outcome lost = stop().get();
    EXPECT_EQ(lost.verdict, MotionStop::Verdict::kNoRecords);
    EXPECT_EQ(Caught([&] { std::rethrow_exception(lost.records_error); }).GetRc(),
              Z_ERR_CONNECTION_LOST);
}

TEST_F(WatcherTest, RecordTimesRunOnAcrossWrapsAndWatchesSeeThem) {
    tasks_.Set({{9, kRunning}});
    StartWith(65000);
    const ControllerTime start = watcher_.GetTimedRecord().time;
    // Shared with the watch, which the record thread runs until the stop.
    struct Seen {
        std::mutex mutex;
        std::vector<ControllerTime> times;
    };
    const auto seen = std::make_shared<Seen>();
    watcher_.AddTimedCondition(9, [seen](const ZDataRecord&, const ControllerTime& time) {
        std::lock_guard<std::mutex> lock(seen->mutex);
        seen->times.push_back(time);
        return false;
    });
    // 40 s, then a whole wrap of 65.5 s, then a step back to the same number.
    for (uint16_t number : {40000 - 536, 65000, 100})
        lib_.PushRecord(Sample(number));
    ASSERT_TRUE(lib_.WaitUntilTaken(5s));
    const ControllerTime last = start.Plus(65536 + 636);
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(seen->mutex);
        return !seen->times.empty() && seen->times.back() == last;
    }));
    std::lock_guard<std::mutex> lock(seen->mutex);
    // The watch may have seen the first record too.
    ASSERT_GE(seen->times.size(), 3u);
    const std::vector<ControllerTime> times(seen->times.end() - 3, seen->times.end());
    EXPECT_EQ(times, (std::vector<ControllerTime>{start.Plus(40000), start.Plus(65536), last}));
    EXPECT_EQ(watcher_.GetTimedRecord().time, last);
    EXPECT_TRUE(times[1].IsAfter(start.Plus(40000)));
}

// A controller whose clock started again (60.5 s after a failure, or a
// restart behind or ahead of the old clock): after a failed stream, the
// next open is a stream of its own, published at once and after every time
// of the old one; clock reads are judged against it.
TEST_F(WatcherTest, AStreamOpenedAfterAFailureIsJudgedByItsOwnRecords) {
    const uint16_t restarts[] = {7000, 12000, static_cast<uint16_t>(10100 + 60600)};
    for (const uint16_t restarted : restarts) {
        SCOPED_TRACE(restarted);
        const size_t errors = errors_.Messages().size();
        StartWith(10000);
        lib_.PushRecord(Sample(10100));
        ASSERT_TRUE(Eventually([this] { return SampleNumber(*watcher_.GetRecord()) == 10100; }));
        const ControllerTime old = watcher_.GetTimedRecord().time;
        lib_.PushRecord({}, Z_ERR_CONNECTION_LOST);
        ASSERT_TRUE(errors_.WaitFor(errors + 1));
        StartWith(restarted);
        const auto [record, time] = watcher_.GetTimedRecord();
        EXPECT_EQ(SampleNumber(*record), restarted);
        EXPECT_EQ(time, ControllerTime(old.Stream() + 1, restarted));
        EXPECT_TRUE(time.IsAfter(old));
        const ControllerTime read = watcher_.TimeOfClock(restarted + 5);
        EXPECT_EQ(read, time.Plus(5));
        lib_.PushRecord(Sample(restarted + 6));
        EXPECT_EQ(SampleNumber(*watcher_.RecordAfter(read).record), restarted + 6);
        lib_.FreeRun();
        watcher_.Stop();
        lib_.Reset();
    }
}

TEST_F(WatcherTest, CallbacksAndTheDirectoryMayBeReplacedWhileTheThreadUsesThem) {
    watcher_.AddCondition(1, [](ZDataRecord*) { return true; });
    lib_.FreeRun();
    watcher_.Start(kHandle);
    for (int i = 0; i < 200; ++i) {
        // Each inbox and directory is destroyed right after its uninstall returns.
        Inbox inbox;
        watcher_.SetUpdateCallback(inbox.Sink());
        ASSERT_TRUE(inbox.WaitFor(1));
        watcher_.SetUpdateCallback(nullptr);
        watcher_.SetHoming("B", i % 2 == 0);
        watcher_.IsJogging("B");
        FakeTaskDirectory directory;
        directory.Set({{1, kRunning}});
        ASSERT_TRUE(Eventually([&] { return !directory.TakeMet().empty(); }));
    }
    watcher_.SetTaskDirectory(&tasks_);
}

// ---- Lists and status, on the test thread ------------------------------------

TEST_F(WatcherTest, EveryWatchOfARunningTaskSeesEveryRecordAndATaskIsToldOncePerRecord) {
    bool holds = true;
    int evaluated = 0, later = 0;
    tasks_.Set({{1, kPaused}, {2, kFinished}, {4, kRunning}, {5, kRunning}});
    for (uint32_t id : {1u, 2u, 3u})  // 3 is missing from the directory
        watcher_.AddCondition(id, [&](ZDataRecord*) { return ++evaluated, holds; });
    watcher_.AddCondition(4, [&](ZDataRecord*) { return holds; });
    watcher_.AddCondition(5, [&](ZDataRecord*) { return holds; });
    // A later watch of a task already told still sees the record (it keeps
    // the value it saw last), but the task is not told twice.
    watcher_.AddCondition(4, [&](ZDataRecord*) { return ++later, true; });
    watcher_.CheckConditions(nullptr, record_);
    EXPECT_EQ(evaluated, 0);
    EXPECT_EQ(later, 1);
    EXPECT_EQ(tasks_.TakeMet(), (Ids{4, 5}));
    holds = false;
    watcher_.CheckConditions(nullptr, record_);
    EXPECT_EQ(later, 2);
    EXPECT_EQ(tasks_.TakeMet(), Ids{4});
    // Entries stay in the list after they held; a paused task that runs again is reported again.
    holds = true;
    tasks_.Set({{1, kRunning}});
    watcher_.CheckConditions(nullptr, record_);
    EXPECT_EQ(tasks_.TakeMet(), (Ids{1, 4, 5}));
    // Without a directory nothing is evaluated.
    watcher_.SetTaskDirectory(nullptr);
    evaluated = 0;
    watcher_.CheckConditions(nullptr, record_);
    EXPECT_EQ(evaluated, 0);
    watcher_.SetTaskDirectory(&tasks_);
}

TEST_F(WatcherTest, TemperatureWatchesSeeTheirRecordAndRemoveOrStopEmptyTheLists) {
    tasks_.Set({{1, kRunning}, {2, kRunning}, {3, kRunning}, {4, kRunning}});
    watcher_.AddTemperatureCondition(
        4, [](ZDataRecord* r) { return r->temperature.temperature_input_a >= 200; });
    record_.temperature.temperature_input_a = 200;
    watcher_.CheckConditions(nullptr, record_);
    EXPECT_TRUE(tasks_.TakeMet().empty()) << "temperature watches are no main watches";
    for (uint32_t id : {1u, 2u, 3u})
        watcher_.AddCondition(id, [](ZDataRecord*) { return true; });
    watcher_.AddTemperatureCondition(2, [](ZDataRecord*) { return true; });
    watcher_.RemoveConditions(2);  // from both lists
    watcher_.RemoveConditions(1);
    watcher_.CheckConditions(nullptr, record_);
    EXPECT_EQ(tasks_.TakeMet(), Ids{3});  // the rest keeps its order
    record_.temperature.temperature_input_a = 199;
    watcher_.CheckTemperatureConditions(nullptr, record_);
    EXPECT_TRUE(tasks_.TakeMet().empty());
    // Stop empties only the main list.
    watcher_.Stop();
    record_.temperature.temperature_input_a = 200;
    watcher_.CheckConditions(nullptr, record_);
    watcher_.CheckTemperatureConditions(nullptr, record_);
    EXPECT_EQ(tasks_.TakeMet(), Ids{4});
}

TEST_F(WatcherTest, SampleCounterWrapsAndSyncs) {
    Json status;
    ZDataRecord previous{};
    previous.std.sample_number = 65535;
    // The first record has no previous one: no wrap.
    watcher_.UpdateStatus(status, nullptr, previous);
    watcher_.UpdateStatus(status, &previous, record_);
    // One wrap; without a stream the sample number reads as 0.
    EXPECT_EQ(watcher_.GetSampleCounter(), 65536u);
    watcher_.UpdateStatus(status, &record_, record_);  // equal numbers: no wrap
    EXPECT_EQ(watcher_.GetSampleCounter(), 65536u);
    for (const auto& [time, counter] :
         {std::pair{-1, 0u}, std::pair{131072, 131072u}, std::pair{131071, 65536u}}) {
        watcher_.SyncSampleCounter(time);
        EXPECT_EQ(watcher_.GetSampleCounter(), counter) << time;
    }
}

// ---- Status ----------------------------------------------------------------

constexpr uint16_t kJog = 1u << 15;
constexpr uint16_t kNegative = 1u << 7;
constexpr uint16_t kCoordinated = 1u << 8;

TEST_F(WatcherTest, StatusKeysAndValues) {
    // Per axis block A-D: reference position, trusted flag, status word, analog input.
    const std::tuple<int32_t, uint8_t, uint16_t, uint16_t> axes[] = {
        {2000, 1, kJog, 0},                  // jogging forward
        {-200, 1, kJog | kNegative, 60000},  // jogging backward; extruder 127 degrees
        {1600, 2, kJog | kCoordinated, 0},   // not exactly 1: untrusted; coordinated is no jog
        {0, 0, kJog | kNegative, 50000}};    // bed 23 degrees
    for (int i = 0; i < 4; ++i) {
        auto& block = record_.std.axis_block[i];
        block.axis_reference_position = std::get<0>(axes[i]);
        block.axis_position_trusted = std::get<1>(axes[i]);
        block.axis_status = std::get<2>(axes[i]);
        block.axis_analog_input = std::get<3>(axes[i]);
    }
    record_.std.mesh_status = 3;
    Json status;
    watcher_.UpdateStatus(status, nullptr, record_);
    const Json expected = {
        {"rpa", "5"},          {"rpb", "-0.5"},      {"rpc", "UNTRUSTED"}, {"bedCurrent", "23"},
        {"extCurrent", "127"}, {"meshEnabled", "1"}, {"jogPosX", true},    {"jogNegX", false},
        {"jogPosY", false},    {"jogNegY", true},    {"jogPosZ", false},   {"jogNegZ", false},
        {"jogPosE", false},    {"jogNegE", true},
    };
    EXPECT_EQ(status, expected);
    // A homing axis shows no jog; the resolution comes from the installed source.
    watcher_.SetHoming("A", true);
    watcher_.SetResolutionSource([](const std::string& axis) { return axis == "X" ? 100.0 : 1.0; });
    watcher_.UpdateStatus(status, nullptr, record_);
    EXPECT_EQ(status["jogPosX"], false);
    EXPECT_EQ(status["rpa"], "20");
    EXPECT_EQ(status["rpb"], "-200");
}

TEST(ConnectionTest, ErrorsCarryTheControllersExplanationOrElseTheLibraryText) {
    auto& lib = ScriptedZenlib::Get();
    // The command, its code, the "TC1" reply (nullptr: "TC1" fails too), the error text, and
    // whether "TC1" is asked (once only, even when it fails).
    using Row = std::tuple<std::string, ZReturnCode, const char*, std::string, bool>;
    for (const auto& [command, rc, explanation, text, asked] :
         {Row{"setext=999", Z_ERR_COMMAND_REJECTED, "6 Out of range", "6 Out of range", true},
          Row{"speed=1", Z_ERR_COMMAND_REJECTED, nullptr, "scripted error -10000", true},
          Row{"PM 0,0", Z_ERR_TIMEOUT, "unasked", "scripted error -1100", false}}) {
        SCOPED_TRACE(command);
        lib.Reset();
        lib.Answer(command, rc);
        lib.Answer("TC1", explanation ? Z_OK : Z_ERR_COMMAND_REJECTED,
                   explanation ? explanation : "");
        const VrxException error =
            Caught([&] { TemperatureConnection::GetInstance().Command(command); });
        EXPECT_EQ(error.GetSource(), command);
        EXPECT_EQ(error.GetRc(), rc);
        EXPECT_EQ(error.GetErrorString(), text);
        EXPECT_EQ(error.what(), text);
        EXPECT_EQ(lib.Log(), (asked ? Texts{command, "TC1"} : Texts{command}));
    }
    // Without a connection to ask, a rejection has the library's text.
    EXPECT_EQ(VrxException("ZRecord", -10000, nullptr).GetErrorString(), "scripted error -10000");
}

}  // namespace
