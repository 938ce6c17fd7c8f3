// The controller commands through the real server binary, against the virtual
// printer running in this test process.
#include "ServerPrinterTest.h"
#include "UnusedPort.h"

#include <algorithm>

#include <gtest/gtest.h>

namespace {

using nlohmann::json;
using sim::Controller;
using Texts = std::vector<std::string>;

class LinkEndToEnd : public ServerPrinterTest {
  protected:
    void StopAxis(const json& axis) { client_.Send({{"command", "stopAxis"}, {"axis", axis}}); }
};

TEST_F(LinkEndToEnd, StopAxisReachesTheControllerOnceOpenAndAFailedOpenKeepsTheConnection) {
    const json open_nobody = {{"command", "openStream"},
                              {"ip_address", "127.0.0.1:" + std::to_string(UnusedPort())}};
    const json reply = Ask(open_nobody);
    EXPECT_EQ(reply["command"], "vrxError");
    EXPECT_EQ(reply["data"]["source"],
              "ZOpen(" + open_nobody["ip_address"].get<std::string>() + ")");
    EXPECT_NE(reply["data"]["rc"], 0);
    EXPECT_FALSE(reply["data"]["error_string"].get<std::string>().empty());
    StopAxis("X");  // not open: nothing is sent, so nothing can fail either
    EXPECT_TRUE(client_.Sync().empty());
    OpenMain();
    EXPECT_TRUE(printer_.CommandLog(Controller::kMain).empty());
    EXPECT_EQ(Ask(open_nobody)["command"], "vrxError");
    for (const json& axis : {json("X"), json("Y"), json("Z"), json("E"), json("Q"), json(1)})
        StopAxis(axis);
    EXPECT_TRUE(client_.Sync().empty());  // no replies
    EXPECT_EQ(printer_.CommandLog(Controller::kMain),
              (Texts{"STA", "STB", "STC", "STD", "ST", "ST"}));

    // A refused stop is tried again: once refused, it goes through; always
    // refused, the UI hears of it after the last try.
    printer_.ClearCommandLog(Controller::kMain);
    printer_.RejectNext(Controller::kMain, "7 Command not valid");
    StopAxis("Z");
    EXPECT_TRUE(client_.Sync().empty());
    EXPECT_EQ(printer_.CommandLog(Controller::kMain), (Texts{"STC", "TC1", "STC"}));
    printer_.RejectCommand(Controller::kMain, "STC", "7 Command not valid");
    StopAxis("Z");
    EXPECT_EQ(client_.ReceiveText().value_or(""),
              R"({"command":"vrxError","data":{"error_string":"7 Command not valid",)"
              R"("rc":-10000,"source":"STC"}})");
    EXPECT_EQ(printer_.CommandLog(Controller::kMain).size(), 3u + 2 * 5);
}

TEST_F(LinkEndToEnd, CloseStopsTheAxesAndExitSwitchesEverythingOffThroughRejectedStops) {
    OpenMain();
    OpenTemperature();
    printer_.ClearCommandLog(Controller::kMain);
    printer_.ClearCommandLog(Controller::kTemperature);
    printer_.RejectCommand(Controller::kMain, "ST", "7 Command not valid");
    client_.Close();
    // A record after the refused stop shows every axis standing: nothing to
    // stop again, the motors are switched off all the same, the machine is safe.
    EXPECT_EQ(server_.WaitForExit(), 0) << server_.Stderr();
    Texts sent = printer_.CommandLog(Controller::kMain);
    sent.erase(std::remove(sent.begin(), sent.end(), "MG TIME"), sent.end());
    EXPECT_EQ(sent, (Texts{"ST", "TC1", "MO"}));
    EXPECT_EQ(printer_.CommandLog(Controller::kTemperature),
              (Texts{"PM 0,0", "setext=0", "setbed=0"}));
}

}  // namespace
