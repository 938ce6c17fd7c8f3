// The link subsystem against the virtual printer in this process, through the
// real controller library.
#include "DataRecordWatcher.h"
#include "FakeTaskDirectory.h"
#include "MainConnection.h"
#include "TemperatureConnection.h"
#include "VirtualPrinter.h"
#include "VrxException.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using sim::Controller;

// One printer for the whole binary: the connections are process-wide and
// stay open once connected.
class LinkPrinterTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Made before the connections, so it is destroyed after them: their
        // exit-time commands still reach it, and its threads end cleanly.
        static sim::VirtualPrinter printer;
        printer_ = &printer;
        MainConnection::GetInstance().Connect(printer_->Address(Controller::kMain));
        TemperatureConnection::GetInstance().Connect(printer_->Address(Controller::kTemperature));
    }
    void TearDown() override {
        watcher_.Stop();
        watcher_.StopTemperature();
        printer_->ClearRejections(Controller::kMain);
        printer_->StallRecords(Controller::kMain, false);
    }

    // A fresh handle: a cut or stalled stream does not outlive its test.
    static ZHandle Reconnect() {
        auto& main = MainConnection::GetInstance();
        main.Connect(printer_->Address(Controller::kMain));
        return main.GetHandle();
    }

    static sim::VirtualPrinter* printer_;
    DataRecordWatcher& watcher_ = DataRecordWatcher::GetInstance();
    FakeTaskDirectory tasks_;
};

sim::VirtualPrinter* LinkPrinterTest::printer_ = nullptr;

TEST_F(LinkPrinterTest, RejectedCommandGivesTheControllersText) {
    printer_->RejectNext(Controller::kMain, "7 Command not valid");
    try {
        MainConnection::GetInstance().CommandIfEnabled("XYZZY");
        FAIL() << "a rejected command must throw";
    } catch (const VrxException& error) {
        EXPECT_EQ(error.GetRc(), -10000);
        EXPECT_EQ(error.GetSource(), "XYZZY");
        EXPECT_EQ(error.GetErrorString(), "7 Command not valid");  // no "\r\n:"
    }
    const auto log = printer_->CommandLog(Controller::kMain);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "XYZZY");
    EXPECT_EQ(log.back(), "TC1");
}

TEST_F(LinkPrinterTest, StalledFirstRecordFailsStart) {
    const ZHandle handle = Reconnect();
    printer_->StallRecords(Controller::kMain, true);
    try {
        watcher_.Start(handle);
        FAIL() << "Start must give up when no record comes";
    } catch (const VrxException& error) {
        EXPECT_EQ(error.GetSource(), "ZRecord");
        EXPECT_NE(error.GetRc(), 0);
    }
}

TEST_F(LinkPrinterTest, TemperatureWatchesSeeTheTemperatureRecord) {
    tasks_.SetStatus(12, FakeTaskDirectory::kRunning);
    printer_->SetTemperatures(180.0, 60.0);
    watcher_.StartTemperature(TemperatureConnection::GetInstance().GetHandle());
    std::mutex mutex;
    std::condition_variable seen;
    bool held = false;
    watcher_.AddTemperatureCondition(12, [&](ZDataRecord* record) {
        std::lock_guard<std::mutex> lock(mutex);
        held = record->temperature.temperature_input_a >= 170 &&
               record->temperature.temperature_input_b >= 50;
        seen.notify_all();
        return held;
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(seen.wait_for(lock, 10s, [&] { return held; }));
    }
    // The watch refers to this frame: it must be gone before the frame is.
    watcher_.RemoveConditions(12);
}

// The process ends (exit code 0, no sanitizer report) while both record
// threads run and a task directory is installed: the watcher joins its
// threads before the connections send their last commands and close.
TEST_F(LinkPrinterTest, ExitWhileRecordThreadsRun) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            tasks_.SetStatus(1, FakeTaskDirectory::kRunning);
            watcher_.AddCondition(1, [](ZDataRecord*) { return true; });
            watcher_.Start(Reconnect());
            watcher_.StartTemperature(TemperatureConnection::GetInstance().GetHandle());
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
