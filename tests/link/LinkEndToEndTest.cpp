// The controller commands through the real server binary, against the virtual
// printer running in this test process.
#include "JsonClient.h"
#include "ServerProcess.h"
#include "UdpReceiver.h"
#include "UnusedPort.h"
#include "VirtualPrinter.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using sim::Controller;
using Texts = std::vector<std::string>;

class LinkEndToEnd : public testing::Test {
  protected:
    json Ask(const json& message) {
        client_.Send(message);
        const auto reply = client_.Receive();
        return reply ? *reply : json();
    }
    json OpenStream(const std::string& address) {
        return Ask({{"command", "openStream"}, {"ip_address", address}});
    }
    json OpenMain() { return OpenStream(printer_.Address(Controller::kMain)); }
    json OpenTemperature() {
        return Ask({{"command", "openTemperatureStream"},
                    {"ip_address", printer_.Address(Controller::kTemperature)}});
    }
    void StopAxis(const json& axis) { client_.Send({{"command", "stopAxis"}, {"axis", axis}}); }

    sim::VirtualPrinter printer_;
    ServerProcess server_;
    JsonClient client_{server_.Port()};
};

const json kOpenSuccess = {{"command", "openStream"}, {"status", "success"}};

TEST_F(LinkEndToEnd, OpenStreamAnswersOnlyOnceARecordHasArrived) {
    printer_.StallRecords(Controller::kMain, true);
    client_.Send({{"command", "openStream"}, {"ip_address", printer_.Address(Controller::kMain)}});
    EXPECT_FALSE(client_.Receive(300ms)) << "answered before any record";
    printer_.StallRecords(Controller::kMain, false);
    EXPECT_EQ(client_.Receive(), kOpenSuccess);
    EXPECT_EQ(OpenTemperature(),
              (json{{"command", "openTemperatureStream"}, {"status", "success"}}));
}

TEST_F(LinkEndToEnd, OpenStreamToNobodyAnswersVrxErrorAndEnablesNothing) {
    const std::string address = "127.0.0.1:" + std::to_string(UnusedPort());
    const json reply = OpenStream(address);
    EXPECT_EQ(reply["command"], "vrxError");
    EXPECT_EQ(reply["data"]["source"], "ZOpen(" + address + ")");
    EXPECT_NE(reply["data"]["rc"], 0);
    EXPECT_FALSE(reply["data"]["error_string"].get<std::string>().empty());
    // Still not enabled: nothing is sent, so nothing can fail either.
    StopAxis("X");
    EXPECT_TRUE(client_.Sync().empty());
    EXPECT_TRUE(server_.IsRunning());
}

TEST_F(LinkEndToEnd, StopAxisSendsTheControllerStopOfThatAxis) {
    StopAxis("X");  // before "openStream": nothing reaches the controller
    client_.Sync();
    ASSERT_EQ(OpenMain(), kOpenSuccess);
    EXPECT_TRUE(printer_.CommandLog(Controller::kMain).empty());
    for (const json& axis : {json("X"), json("Y"), json("Z"), json("E"), json("Q"), json(1)}) {
        StopAxis(axis);
    }
    EXPECT_TRUE(client_.Sync().empty());  // no replies
    EXPECT_EQ(printer_.CommandLog(Controller::kMain),
              (Texts{"STA", "STB", "STC", "STD", "ST", "ST"}));
}

TEST_F(LinkEndToEnd, RejectedCommandAnswersVrxErrorWithTheControllersText) {
    ASSERT_EQ(OpenMain(), kOpenSuccess);
    printer_.RejectNext(Controller::kMain, "7 Command not valid");
    StopAxis("Z");
    const auto reply = client_.ReceiveText();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, R"({"command":"vrxError","data":{"error_string":"7 Command not valid",)"
                      R"("rc":-10000,"source":"STC"}})");
}

TEST_F(LinkEndToEnd, StatusDatagramsEveryTwentyFiveRecords) {
    UdpReceiver ui;
    client_.Send({{"command", "uiEndpoint"}, {"port", ui.Port()}});
    ASSERT_TRUE(ui.ReceiveCommand("uiPong"));
    printer_.ForceRecordField(Controller::kMain, 86, 4, -200);     // A at -200 counts
    printer_.ForceRecordField(Controller::kMain, 114, 4, 1);       // A trusted
    printer_.ForceRecordField(Controller::kMain, 150, 4, 2);       // B: 2 is not trusted
    printer_.ForceRecordField(Controller::kMain, 158, 4, 3200);    // C at 3200 counts
    printer_.ForceRecordField(Controller::kMain, 186, 4, 1);       // C trusted
    printer_.ForceRecordField(Controller::kMain, 118, 2, 0x8080);  // B jogging backward
    printer_.ForceRecordField(Controller::kMain, 190, 2, 0x8100);  // D coordinated: no jog
    printer_.ForceRecordField(Controller::kMain, 146, 2, 60000);   // extruder input
    printer_.ForceRecordField(Controller::kMain, 218, 2, 50000);   // bed input
    printer_.ForceRecordField(Controller::kMain, 51, 1, 1);        // mesh in use
    ASSERT_EQ(OpenMain(), kOpenSuccess);

    const auto status = ui.ReceiveCommand("updateUI");
    ASSERT_TRUE(status);
    const json expected = {
        {"rpa", "-0.5"},       {"rpb", "UNTRUSTED"}, {"rpc", "2"},       {"bedCurrent", "23"},
        {"extCurrent", "127"}, {"meshEnabled", "1"}, {"jogPosX", false}, {"jogNegX", false},
        {"jogPosY", false},    {"jogNegY", true},    {"jogPosZ", false}, {"jogNegZ", false},
        {"jogPosE", false},    {"jogNegE", false},
    };
    EXPECT_EQ(*status, (json{{"command", "updateUI"}, {"data", expected}}));

    // With the clock held, 50 records make exactly 2 status messages (fewer
    // than 25 records were counted before). At most 50 at once: the printer
    // queues a limited number of records per stream.
    printer_.PauseClock();
    while (ui.Receive(500ms)) {  // records in flight before the pause
    }
    printer_.StepClock(2 * 50);  // one record every 2 controller milliseconds
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(ui.ReceiveCommand("updateUI")) << i;
    }
    EXPECT_FALSE(ui.Receive(300ms));
    printer_.ResumeClock();
}

TEST_F(LinkEndToEnd, CutRecordStreamSendsDataRecordErrorAndServingGoesOn) {
    ASSERT_EQ(OpenMain(), kOpenSuccess);
    printer_.CutRecordStreams(Controller::kMain);
    const auto error = client_.Receive();
    ASSERT_TRUE(error);
    EXPECT_EQ((*error)["command"], "vrxError");
    EXPECT_EQ((*error)["data"], "Data Record");
    EXPECT_TRUE((*error)["rc"].is_number_integer());
    EXPECT_NE((*error)["rc"], 0);
    EXPECT_TRUE(client_.Sync().empty());
    // Opening again brings a new stream.
    EXPECT_EQ(OpenMain(), kOpenSuccess);
}

TEST_F(LinkEndToEnd, FailedFirstRecordSendsDataRecordErrorAndTheAnswer) {
    printer_.StallRecords(Controller::kMain, true);
    client_.Send({{"command", "openStream"}, {"ip_address", printer_.Address(Controller::kMain)}});
    ASSERT_TRUE(printer_.WaitForRecordStreams(Controller::kMain, 10s));
    printer_.CutRecordStreams(Controller::kMain);
    // The stream's own message comes first; the open waits for its thread.
    const auto stream_error = client_.Receive();
    const auto answer = client_.Receive();
    ASSERT_TRUE(stream_error && answer);
    EXPECT_EQ((*stream_error)["command"], "vrxError");
    EXPECT_EQ((*stream_error)["data"], "Data Record");
    EXPECT_NE((*stream_error)["rc"], 0);
    EXPECT_EQ((*answer)["command"], "vrxError");
    EXPECT_EQ((*answer)["data"]["source"], "ZRecord");
    EXPECT_EQ((*answer)["data"]["rc"], (*stream_error)["rc"]);
    printer_.StallRecords(Controller::kMain, false);
    EXPECT_EQ(OpenMain(), kOpenSuccess);
}

TEST_F(LinkEndToEnd, CloseStopsTheAxesAndExitSwitchesEverythingOff) {
    ASSERT_EQ(OpenMain(), kOpenSuccess);
    ASSERT_EQ(OpenTemperature()["status"], "success");
    printer_.ClearCommandLog(Controller::kMain);
    printer_.ClearCommandLog(Controller::kTemperature);
    client_.Close();
    EXPECT_EQ(server_.WaitForExit(), 0);
    // "ST" from the close, then "ST" and "MO" from the exit.
    EXPECT_EQ(printer_.CommandLog(Controller::kMain), (Texts{"ST", "ST", "MO"}));
    EXPECT_EQ(printer_.CommandLog(Controller::kTemperature), Texts{"PM 0,0"});
}

TEST_F(LinkEndToEnd, RejectedStopsNeitherHoldTheCloseNorKeepTheMotorsOn) {
    ASSERT_EQ(OpenMain(), kOpenSuccess);
    printer_.ClearCommandLog(Controller::kMain);
    printer_.RejectCommand(Controller::kMain, "ST", "7 Command not valid");
    client_.Close();
    EXPECT_EQ(server_.WaitForExit(), 0);
    EXPECT_EQ(printer_.CommandLog(Controller::kMain), (Texts{"ST", "TC1", "ST", "TC1", "MO"}));
}

TEST_F(LinkEndToEnd, ExitWithoutControllersSendsNothing) {
    client_.Sync();
    client_.Close();
    EXPECT_EQ(server_.WaitForExit(), 0);
    EXPECT_TRUE(printer_.CommandLog(Controller::kMain).empty());
    EXPECT_TRUE(printer_.CommandLog(Controller::kTemperature).empty());
}

}  // namespace
