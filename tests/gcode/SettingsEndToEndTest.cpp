// Machine settings through the real server with the virtual printer as the
// main controller: forward limits sent by "loadSettings", and the status
// positions that follow the resolutions set by "setAxisResolution".
#include "JsonClient.h"
#include "ServerProcess.h"
#include "UdpReceiver.h"
#include "VirtualPrinter.h"

#include <zenlib.h>

#include <gtest/gtest.h>

#include <cstddef>

using json = nlohmann::json;
using Texts = std::vector<std::string>;

namespace {

class SettingsEndToEnd : public testing::Test {
  protected:
    std::deque<std::string> LoadSettings(const std::string& z_extent_mm) {
        printer_.ClearCommandLog(sim::Controller::kMain);
        client_.Send({{"command", "loadSettings"},
                      {"settings",
                       {{"xCounts", "400"},
                        {"yCounts", "400"},
                        {"zCounts", "1600"},
                        {"eCounts", "400"},
                        {"xExtents", "248"},
                        {"yExtents", "241.25"},
                        {"zExtents", z_extent_mm},
                        {"rapidSpeed", "25"},
                        {"globalUnits", "mm"}}}});
        return client_.Sync();
    }
    Texts LimitCommands() const {
        Texts sent;
        for (const std::string& line : printer_.CommandLog(sim::Controller::kMain)) {
            if (line.rfind("FL", 0) == 0) {
                sent.push_back(line);
            }
        }
        return sent;
    }
    void OpenStream() {
        client_.Send(
            {{"command", "openStream"}, {"ip_address", printer_.Address(sim::Controller::kMain)}});
        EXPECT_EQ(client_.Receive(), (json{{"command", "openStream"}, {"status", "success"}}));
    }

    sim::VirtualPrinter printer_;
    ServerProcess server_;
    JsonClient client_{server_.Port()};
};

}  // namespace

TEST_F(SettingsEndToEnd, ForwardLimitsAreSentOnlyOnceTheMainControllerIsOpen) {
    EXPECT_TRUE(LoadSettings("100").empty());
    EXPECT_TRUE(printer_.CommandLog(sim::Controller::kMain).empty());
    OpenStream();
    EXPECT_TRUE(LoadSettings("209").empty());
    EXPECT_EQ(LimitCommands(), (Texts{"FLA=99200", "FLB=96500", "FLC=334400"}));
    // A rejected limit stops the load there; the UI is told.
    printer_.RejectCommand(sim::Controller::kMain, "FLB*", "limit refused");
    EXPECT_EQ(LoadSettings("50"),
              (std::deque<std::string>{R"({"command":"vrxError","data":{"error_string":"limit )"
                                       R"(refused","rc":-10000,"source":"FLB=96500"}})"}));
    EXPECT_EQ(LimitCommands(), (Texts{"FLA=99200", "FLB=96500"}));
    // A malformed settings object sends nothing.
    printer_.ClearCommandLog(sim::Controller::kMain);
    client_.Send({{"command", "loadSettings"}, {"settings", {{"xCounts", 400}}}});
    EXPECT_TRUE(client_.Sync().empty());
    EXPECT_TRUE(LimitCommands().empty());
}

TEST_F(SettingsEndToEnd, StatusPositionsFollowTheAxisResolution) {
    UdpReceiver ui;
    printer_.SetAxisPosition('A', 2000);
    printer_.ForceRecordField(
        sim::Controller::kMain,
        offsetof(ZDataRecordStd, axis_block) + offsetof(ZAxisBlock, axis_position_trusted), 4, 1);
    client_.Send({{"command", "uiEndpoint"}, {"port", ui.Port()}});
    OpenStream();
    auto position_is = [](const char* text) {
        return [text](const json& message) {
            return message.value("command", "") == "updateUI" && message.contains("data") &&
                   message["data"].value("rpa", "") == text;
        };
    };
    EXPECT_TRUE(ui.ReceiveWhere(position_is("5")));
    client_.Send({{"command", "setAxisResolution"}, {"axis", "X"}, {"resolution", 100}});
    EXPECT_TRUE(ui.ReceiveWhere(position_is("20")));
}
