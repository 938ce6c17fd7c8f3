// The controller library against the virtual printer over loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "Deadline.h"
#include "UnusedPort.h"
#include "VirtualPrinter.h"
#include "zenlib.h"
#include "zenlibo.h"

namespace {

using sim::Controller;
using namespace std::chrono_literals;

class ZenlibTest : public ::testing::Test {
  protected:
    ZenlibTest() : printer_(sim::VirtualPrinterOptions{0, 0, 20.0}) {}
    ~ZenlibTest() override { ZClose(handle_); }

    // Opens the main controller with the options the server uses.
    void OpenMain(const std::string& options = " -s DR -t 1000") {
        std::string address = printer_.Address(Controller::kMain) + options;
        ASSERT_EQ(ZOpen(address.c_str(), &handle_), Z_OK);
    }

    // Sends a command; the code, and the whole reply in `reply`.
    static ZReturnCode Send(ZHandle handle, const std::string& command, std::string* reply) {
        char buffer[449];
        ZSize count = 0;
        const ZReturnCode rc = ZCommand(handle, command.c_str(), buffer, sizeof(buffer), &count);
        reply->assign(buffer, count);
        return rc;
    }
    ZReturnCode Send(const std::string& command) { return Send(handle_, command, &reply_); }

    sim::VirtualPrinter printer_;
    ZHandle handle_ = nullptr;
    std::string reply_;
};

TEST_F(ZenlibTest, BadCallsGetTheirOwnCodesAndTexts) {
    ZHandle handle = nullptr;
    const std::string nobody = "127.0.0.1:" + std::to_string(UnusedPort()) + " -s DR -t 1000";
    EXPECT_EQ(ZOpen(nobody.c_str(), &handle), Z_ERR_CONNECTION_REFUSED);
    for (const char* address : {"", "127.0.0.1:99999", "127.0.0.1:1 -t x"})
        EXPECT_EQ(ZOpen(address, &handle), Z_ERR_BAD_ADDRESS) << address;
    EXPECT_EQ(ZOpen(nullptr, &handle), Z_ERR_BAD_ARGUMENT);
    EXPECT_EQ(handle, nullptr);

    OpenMain(" -t 1000");  // no record stream
    ZDataRecord record;
    EXPECT_EQ(ZRecordRate(handle_, 2.0), Z_ERR_NO_STREAM);
    EXPECT_EQ(ZRecord(handle_, &record, 1), Z_ERR_NO_STREAM);
    EXPECT_EQ(ZRecord(handle_, nullptr, 1), Z_ERR_BAD_ARGUMENT);
    EXPECT_EQ(ZClose(handle_), Z_OK);
    for (ZReturnCode rc : {Send("SHA"), ZRecord(handle_, &record, 1), ZRecordRate(handle_, 2.0),
                           ZClose(handle_), ZClose(nullptr), Send(nullptr, "SH", &reply_)})
        EXPECT_EQ(rc, Z_ERR_BAD_HANDLE);
    handle_ = nullptr;

    char text[32];
    EXPECT_EQ(ZError(-4242, text, sizeof(text)), Z_OK);
    EXPECT_STREQ(text, "Unknown error -4242");
    EXPECT_EQ(ZError(Z_ERR_TIMEOUT, text, 4), Z_OK);
    EXPECT_EQ(std::strlen(text), 3u) << "cut to the buffer";
}

TEST_F(ZenlibTest, LongRepliesAreCutLateOnesDroppedRecordsComeAtTheirPeriodAndCutsAreLost) {
    OpenMain(" -s DR -t 100");
    char buffer[6];
    ZSize count = 99;
    ASSERT_EQ(ZCommand(handle_, "RP", buffer, sizeof(buffer), &count), Z_OK);
    EXPECT_EQ(std::string(buffer, count), "20000,");
    printer_.StallReplies(Controller::kMain, true);
    EXPECT_EQ(Send("MG 1"), Z_ERR_TIMEOUT);
    printer_.StallReplies(Controller::kMain, false);
    // Neither the rest of the long reply nor the late "1.0000" is taken as the next reply.
    EXPECT_EQ(Send("MG 2"), Z_OK);
    EXPECT_EQ(reply_, "2.0000\r\n:");

    ASSERT_EQ(ZRecordRate(handle_, 8.0), Z_OK);
    ZDataRecord record, next;
    // A loaded host may delay a record past the short timeout; the stream still flows.
    const auto record_arrives = [&](ZDataRecord* into) {
        return WaitFor([&] { return ZRecord(handle_, into, 1) == Z_OK; }, 10s);
    };
    // Records already under way drain first; then the stream gives this code.
    const auto drained = [&] {
        ZReturnCode rc = Z_OK;
        while (rc == Z_OK)
            rc = ZRecord(handle_, &record, 1);
        return rc;
    };
    ASSERT_TRUE(record_arrives(&record) && record_arrives(&next));
    EXPECT_EQ(static_cast<uint16_t>(next.std.sample_number - record.std.sample_number), 8);
    // Packed fields are copied out: a reference to them would be misaligned.
    EXPECT_EQ(uint16_t{next.std.segment_buffer_free}, 511);
    EXPECT_EQ(int32_t{next.std.axis_block[0].axis_reference_position}, 20000);
    printer_.StallRecords(Controller::kMain, true);
    EXPECT_EQ(drained(), Z_ERR_TIMEOUT);
    printer_.StallRecords(Controller::kMain, false);
    EXPECT_TRUE(record_arrives(&record));

    printer_.CutRecordStreams(Controller::kMain);
    EXPECT_EQ(drained(), Z_ERR_CONNECTION_LOST);
    // Commands go on over their own connection, until that is cut too.
    EXPECT_EQ(Send("SHA"), Z_OK);
    printer_.CutConnections(Controller::kMain);
    EXPECT_EQ(Send("SHA"), Z_ERR_CONNECTION_LOST);
}

TEST_F(ZenlibTest, CommandsAndRecordsRunConcurrentlyOnOneHandle) {
    // A long timeout: a stall of a loaded host is no fault of the handle's sharing.
    OpenMain(" -s DR -t 10000");
    ASSERT_EQ(ZRecordRate(handle_, 2.0), Z_OK);
    // The threads get their own copy: the fixture's member is cleared below.
    const ZHandle handle = handle_;
    std::atomic<bool> stop{false};
    std::atomic<int> records{0}, failures{0};
    std::thread reader([&] {
        ZDataRecord record;
        while (!stop)
            ++(ZRecord(handle, &record, 1) == Z_OK ? records : failures);
    });
    std::thread second_sender([&] {
        std::string reply;
        for (int i = 0; i < 100; ++i)
            failures += Send(handle, "MG 7", &reply) != Z_OK || reply != "7.0000\r\n:";
    });
    // Commands go on until records have come in beside them. Under load each thread on
    // the record path (the printer's stream reader, its clock, its writer, our reader)
    // may wait a scheduler slice, so the first record can trail a fixed run of commands.
    constexpr int kRecordsWanted = 20;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (int sent = 0;
         sent < 100 || (records < kRecordsWanted && std::chrono::steady_clock::now() < deadline);
         ++sent) {
        ASSERT_EQ(Send("RP"), Z_OK);
        ASSERT_EQ(reply_.substr(reply_.size() - 3), "\r\n:");
    }
    second_sender.join();
    // Closing wakes the reader from its wait.
    stop = true;
    EXPECT_EQ(ZClose(handle_), Z_OK);
    handle_ = nullptr;
    reader.join();
    EXPECT_GE(records.load(), kRecordsWanted);
    EXPECT_LE(failures.load(), 1);  // the read cut by ZClose
}

TEST_F(ZenlibTest, FaultHooksHoldGarbleCloseRefuseAndRestart) {
    OpenMain(" -s DR -t 3000");
    const auto late = [&](const std::string& command) {
        const auto begun = std::chrono::steady_clock::now();
        EXPECT_EQ(Send(command), Z_OK) << command;
        return std::chrono::steady_clock::now() - begun;
    };
    printer_.HoldReplies(Controller::kMain, "MG 1*", 400ms, 1);
    EXPECT_GE(late("MG 1"), 400ms);
    EXPECT_EQ(reply_, "1.0000\r\n:");
    EXPECT_LT(late("MG 1"), 400ms) << "the hold was for one reply";
    printer_.Stall(Controller::kMain, 400ms);
    EXPECT_GE(late("SHA"), 300ms);

    printer_.GarbleReplies(Controller::kMain, "MG TIME", "abc");
    EXPECT_EQ(Send("MG TIME"), Z_OK);
    EXPECT_EQ(reply_, "abc\r\n:");
    printer_.ClearFaults(Controller::kMain);
    EXPECT_NE(Send("MG TIME") == Z_OK ? reply_ : "", "abc\r\n:");

    // The command runs, its connection closes; the handle's next command gets a new one.
    printer_.CloseAfter(Controller::kMain, "BGA");
    ASSERT_EQ(Send("JGA=1000"), Z_OK);
    EXPECT_EQ(Send("BGA"), Z_ERR_CONNECTION_LOST);
    EXPECT_TRUE(printer_.WaitUntil(
        [](const sim::PrinterSnapshot& p) { return (p.axes[0].status & 0x8000) != 0; }, 5s));

    printer_.RefuseConnections(Controller::kMain, true);
    ZHandle other = nullptr;
    const std::string address = printer_.Address(Controller::kMain) + " -t 1000";
    EXPECT_EQ(ZOpen(address.c_str(), &other), Z_ERR_CONNECTION_REFUSED);
    printer_.RefuseConnections(Controller::kMain, false);
    ASSERT_EQ(ZOpen(address.c_str(), &other), Z_OK);
    ASSERT_EQ(Send(other, "MG 0", &reply_), Z_OK);

    // A power cycle stops the jog and starts the clock again.
    printer_.Restart(Controller::kMain, 100);
    EXPECT_EQ(Send(other, "MG TIME", &reply_), Z_ERR_CONNECTION_LOST);
    EXPECT_EQ(printer_.Snapshot().axes[0].status & 0x8000, 0);
    ZClose(other);
    ASSERT_EQ(ZOpen(address.c_str(), &other), Z_OK);
    ASSERT_EQ(Send(other, "MG TIME", &reply_), Z_OK);
    EXPECT_LT(std::stod(reply_), 60000.0);
    ZClose(other);
}

}  // namespace
