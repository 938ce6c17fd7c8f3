// The record watcher: its lists and status fed with hand-made records on the
// test thread, and its record threads against the scripted library, where
// records arrive exactly as the test queues them.
#include "DataRecordWatcher.h"
#include "ScriptedZenlib.h"
#include "TaskDirectory.h"
#include "VrxException.h"

#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Ids = std::vector<uint32_t>;
using Json = nlohmann::json;

constexpr uint32_t kRunning = 1;
constexpr uint32_t kPaused = 3;
constexpr uint32_t kFinished = 6;

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
        const auto found = statuses_.find(id);
        return found == statuses_.end() ? std::nullopt : std::optional<uint32_t>(found->second);
    }
    void OnConditionMet(uint32_t id) override {
        std::lock_guard<std::mutex> lock(mutex_);
        met_.push_back(id);
    }

  private:
    std::mutex mutex_;
    std::map<uint32_t, uint32_t> statuses_;
    Ids met_;
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
    // A watch that holds while `*holds` is true.
    static std::function<bool(ZDataRecord*)> When(const bool* holds) {
        return [holds](ZDataRecord*) { return *holds; };
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

TEST_F(WatcherTest, WatchesRunOnTheRecordThreadAndARestartEmptiesOnlyTheMainList) {
    tasks_.Set({{9, kRunning}});
    StartWith(1);
    watcher_.AddCondition(9, [](ZDataRecord* r) { return r->std.sample_number == 42; });
    watcher_.AddTemperatureCondition(9, [](ZDataRecord*) { return true; });
    lib_.PushRecord(Sample(41));
    lib_.PushRecord(Sample(42));
    ASSERT_TRUE(lib_.WaitUntilTaken(5s));
    lib_.FreeRun();
    watcher_.Start(kHandle);  // joins the old stream
    EXPECT_EQ(tasks_.TakeMet(), Ids{9});

    lib_.Reset();
    lib_.PushRecord(Sample(42));
    ASSERT_TRUE(lib_.WaitUntilTaken(5s));
    lib_.FreeRun();
    watcher_.Stop();
    EXPECT_TRUE(tasks_.TakeMet().empty()) << "the main watch went with the old stream";
    ZDataRecord record{};
    watcher_.CheckTemperatureConditions(nullptr, record);
    EXPECT_EQ(tasks_.TakeMet(), Ids{9});
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

TEST_F(WatcherTest, OnlyTheFirstHoldingWatchOfARunningTaskIsReportedPerRecord) {
    bool holds = true, first = true;
    int evaluated = 0;
    tasks_.Set({{1, kPaused}, {2, kFinished}, {4, kRunning}, {5, kRunning}});
    for (uint32_t id : {1u, 2u, 3u})  // 3 is missing from the directory
        watcher_.AddCondition(id, [&](ZDataRecord*) { return ++evaluated, holds; });
    watcher_.AddCondition(4, When(&first));
    watcher_.AddCondition(5, When(&holds));
    watcher_.CheckConditions(nullptr, record_);
    EXPECT_EQ(evaluated, 0);
    EXPECT_EQ(tasks_.TakeMet(), Ids{4});
    first = false;
    watcher_.CheckConditions(nullptr, record_);
    EXPECT_EQ(tasks_.TakeMet(), Ids{5});
    // Entries stay in the list after they held; a paused task that runs again is reported again.
    first = true;
    watcher_.CheckConditions(nullptr, record_);
    EXPECT_EQ(tasks_.TakeMet(), Ids{4});
    tasks_.Set({{1, kRunning}});
    watcher_.CheckConditions(nullptr, record_);
    EXPECT_EQ(tasks_.TakeMet(), Ids{1});
    // Without a directory nothing is evaluated.
    watcher_.SetTaskDirectory(nullptr);
    evaluated = 0;
    watcher_.CheckConditions(nullptr, record_);
    EXPECT_EQ(evaluated, 0);
    watcher_.SetTaskDirectory(&tasks_);
}

TEST_F(WatcherTest, TemperatureWatchesSeeTheirRecordAndRemoveOrStopEmptyTheLists) {
    bool holds = true;
    tasks_.Set({{1, kRunning}, {2, kRunning}, {3, kRunning}, {4, kRunning}});
    watcher_.AddTemperatureCondition(
        4, [](ZDataRecord* r) { return r->temperature.temperature_input_a >= 200; });
    record_.temperature.temperature_input_a = 200;
    watcher_.CheckConditions(nullptr, record_);
    EXPECT_TRUE(tasks_.TakeMet().empty()) << "temperature watches are no main watches";
    for (uint32_t id : {1u, 2u, 3u})
        watcher_.AddCondition(id, When(&holds));
    watcher_.AddTemperatureCondition(2, When(&holds));
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

}  // namespace
