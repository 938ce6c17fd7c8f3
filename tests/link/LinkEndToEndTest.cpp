// The controller commands through the real server binary, against the virtual
// printer running in this test process.
#include "ServerPrinterTest.h"
#include "UnusedPort.h"

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

    printer_.RejectNext(Controller::kMain, "7 Command not valid");
    StopAxis("Z");
    EXPECT_EQ(client_.ReceiveText().value_or(""),
              R"({"command":"vrxError","data":{"error_string":"7 Command not valid",)"
              R"("rc":-10000,"source":"STC"}})");
}

TEST_F(LinkEndToEnd, CloseStopsTheAxesAndExitSwitchesEverythingOffThroughRejectedStops) {
    OpenMain();
    OpenTemperature();
    printer_.ClearCommandLog(Controller::kMain);
    printer_.ClearCommandLog(Controller::kTemperature);
    printer_.RejectCommand(Controller::kMain, "ST", "7 Command not valid");
    client_.Close();
    EXPECT_EQ(server_.WaitForExit(), 0);
    // "ST" from the close, then "ST" and "MO" from the exit; a rejection holds up neither.
    EXPECT_EQ(printer_.CommandLog(Controller::kMain), (Texts{"ST", "TC1", "ST", "TC1", "MO"}));
    EXPECT_EQ(printer_.CommandLog(Controller::kTemperature), Texts{"PM 0,0"});
}

}  // namespace
