// The record threads against the scripted library: records arrive exactly as
// the test queues them.
#include "DataRecordWatcher.h"
#include "FakeTaskDirectory.h"
#include "ScriptedZenlib.h"
#include "VrxException.h"

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// Spins until `done` holds or 5 seconds have passed.
template <typename Predicate>
bool Eventually(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

// Collects callback messages.
class Inbox {
  public:
    DataRecordWatcher::Callback Sink() {
        return [this](std::string text) {
            std::lock_guard<std::mutex> lock(mutex_);
            messages_.push_back(nlohmann::json::parse(text));
        };
    }
    bool WaitFor(size_t count) {
        return Eventually([&] { return Messages().size() >= count; });
    }
    std::vector<nlohmann::json> Messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }

  private:
    std::mutex mutex_;
    std::vector<nlohmann::json> messages_;
};

const ZHandle kHandle = reinterpret_cast<ZHandle>(1);

ZDataRecord Sample(uint16_t number) {
    ZDataRecord record{};
    record.std.sample_number = number;
    return record;
}

class StreamTest : public testing::Test {
  protected:
    void SetUp() override {
        lib_.Reset();
        watcher_.SetErrorCallback(errors_.Sink());
        watcher_.SetUpdateCallback(updates_.Sink());
        watcher_.SyncSampleCounter(0);
    }
    void TearDown() override {
        lib_.FreeRun();  // lets a thread blocked in ZRecord see the stop at once
        watcher_.Stop();
        watcher_.StopTemperature();
        watcher_.SetErrorCallback(nullptr);
        watcher_.SetUpdateCallback(nullptr);
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
};

TEST_F(StreamTest, StartReturnsWithTheFirstRecordPublished) {
    auto started = std::async(std::launch::async, [this] { watcher_.Start(kHandle); });
    lib_.PushRecord(Sample(77));
    started.get();
    ASSERT_TRUE(watcher_.GetRecord());
    EXPECT_EQ(SampleNumber(*watcher_.GetRecord()), 77);
    EXPECT_EQ(watcher_.GetSampleCounter(), 77u);
    lib_.FreeRun();
    watcher_.Stop();
    EXPECT_FALSE(watcher_.GetRecord());
    // No record: the sample number counts as 0 (wraps remain).
    EXPECT_EQ(watcher_.GetSampleCounter() % 65536u, 0u);
}

TEST_F(StreamTest, FailingRecordSendsDataRecordErrorFirstOrLater) {
    const nlohmann::json data_record_error = {
        {"command", "vrxError"}, {"data", "Data Record"}, {"rc", -1102}};
    lib_.PushRecord({}, Z_ERR_CONNECTION_LOST);
    const VrxException error = Caught([this] { watcher_.Start(kHandle); });
    EXPECT_EQ(error.GetSource(), "ZRecord");
    EXPECT_EQ(error.GetRc(), Z_ERR_CONNECTION_LOST);
    EXPECT_FALSE(watcher_.GetRecord());
    // The thread's own message is sent before Start gives up waiting.
    EXPECT_EQ(errors_.Messages(), std::vector<nlohmann::json>{data_record_error});

    // The next Start joins the ended thread and works.
    StartWith(5);
    lib_.PushRecord({}, Z_ERR_CONNECTION_LOST);
    ASSERT_TRUE(errors_.WaitFor(2));
    EXPECT_EQ(errors_.Messages()[1], data_record_error);
    // The last record stays published until Stop.
    ASSERT_TRUE(watcher_.GetRecord());
    EXPECT_EQ(SampleNumber(*watcher_.GetRecord()), 5);
}

TEST_F(StreamTest, StatusEveryTwentyFiveRecordsWithTheValuesOfTheLast) {
    StartWith(0);
    for (uint16_t n = 1; n < 50; ++n) {
        ZDataRecord record = Sample(n);
        record.std.mesh_status = n == 24 ? 1 : 0;  // the 25th record
        lib_.PushRecord(record);
    }
    ASSERT_TRUE(updates_.WaitFor(2));
    ASSERT_TRUE(lib_.WaitUntilTaken(5s));
    const auto messages = updates_.Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0]["command"], "updateUI");
    EXPECT_EQ(messages[0]["data"]["meshEnabled"], "1");
    EXPECT_EQ(messages[1]["data"]["meshEnabled"], "0");
    EXPECT_EQ(messages[0]["data"].size(), 14u);
}

TEST_F(StreamTest, SampleCounterFollowsWrapsOfTheStream) {
    StartWith(65534);
    for (uint16_t number : {65535, 0, 3})
        lib_.PushRecord(Sample(number));
    EXPECT_TRUE(Eventually([this] { return watcher_.GetSampleCounter() == 65536u + 3u; }));
}

TEST_F(StreamTest, WatchesRunOnTheRecordThreadAndARestartEmptiesOnlyTheMainList) {
    tasks_.SetStatus(9, FakeTaskDirectory::kRunning);
    StartWith(1);
    watcher_.AddCondition(9, [](ZDataRecord* r) { return r->std.sample_number == 42; });
    watcher_.AddTemperatureCondition(9, [](ZDataRecord*) { return true; });
    lib_.PushRecord(Sample(41));
    lib_.PushRecord(Sample(42));
    ASSERT_TRUE(lib_.WaitUntilTaken(5s));
    lib_.FreeRun();
    watcher_.Start(kHandle);  // joins the old stream
    EXPECT_EQ(tasks_.TakeMet(), std::vector<uint32_t>{9});

    lib_.Reset();
    lib_.PushRecord(Sample(42));
    ASSERT_TRUE(lib_.WaitUntilTaken(5s));
    lib_.FreeRun();
    watcher_.Stop();
    EXPECT_TRUE(tasks_.TakeMet().empty()) << "the main watch went with the old stream";
    ZDataRecord record{};
    watcher_.CheckTemperatureConditions(nullptr, record);
    EXPECT_EQ(tasks_.TakeMet(), std::vector<uint32_t>{9});
}

TEST_F(StreamTest, CallbacksMayBeReplacedWhileTheThreadCallsThem) {
    lib_.FreeRun();
    watcher_.Start(kHandle);
    for (int i = 0; i < 200; ++i) {
        Inbox inbox;
        watcher_.SetUpdateCallback(inbox.Sink());
        ASSERT_TRUE(inbox.WaitFor(1));
        watcher_.SetUpdateCallback(nullptr);  // the inbox dies after this
        watcher_.SetHoming("B", i % 2 == 0);
        watcher_.IsJogging("B");
    }
}

TEST_F(StreamTest, DirectoryMayBeUninstalledWhileTheThreadUsesIt) {
    watcher_.AddCondition(1, [](ZDataRecord*) { return true; });
    lib_.FreeRun();
    watcher_.Start(kHandle);
    for (int i = 0; i < 200; ++i) {
        // Each directory is destroyed right after its uninstall returns.
        auto directory = std::make_unique<FakeTaskDirectory>();
        directory->SetStatus(1, FakeTaskDirectory::kRunning);
        ASSERT_TRUE(Eventually([&] { return !directory->TakeMet().empty(); }));
    }
    watcher_.SetTaskDirectory(&tasks_);
}

}  // namespace
