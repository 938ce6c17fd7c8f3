// Machine settings through the real server with the virtual printer as the
// main controller: forward limits sent by "loadSettings", and the status
// positions that follow the resolutions set by "setAxisResolution".
#include "ServerPrinterTest.h"

#include <zenlib.h>

#include <gtest/gtest.h>

#include <cstddef>

using json = nlohmann::json;
using Texts = std::vector<std::string>;

namespace {

class SettingsEndToEnd : public ServerPrinterTest {
  protected:
    std::deque<std::string> LoadSettings(const std::string& z_extent_mm) {
        printer_.ClearCommandLog(sim::Controller::kMain);
        json settings = json::parse(
            R"({"xCounts":"400","yCounts":"400","zCounts":"1600","eCounts":"400","xExtents":"248",)"
            R"("yExtents":"241.25","rapidSpeed":"25","globalUnits":"mm"})");
        settings["zExtents"] = z_extent_mm;
        client_.Send({{"command", "loadSettings"}, {"settings", settings}});
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
};

}  // namespace

TEST_F(SettingsEndToEnd, ForwardLimitsGoOutOnceTheMainIsOpenAndPositionsFollowTheResolution) {
    printer_.SetAxisPosition('A', 2000);
    printer_.ForceRecordField(
        sim::Controller::kMain,
        offsetof(ZDataRecordStd, axis_block) + offsetof(ZAxisBlock, axis_position_trusted), 4, 1);
    ListenUi();
    EXPECT_TRUE(LoadSettings("100").empty());
    EXPECT_TRUE(printer_.CommandLog(sim::Controller::kMain).empty());
    OpenMain();
    EXPECT_TRUE(LoadSettings("209").empty());
    EXPECT_EQ(LimitCommands(), (Texts{"FLA=99200", "FLB=96500", "FLC=334400"}));
    const auto position_is = [](const char* text) {
        return [text](const json& message) {
            return message.value("command", "") == "updateUI" && message.contains("data") &&
                   message["data"].value("rpa", "") == text;
        };
    };
    EXPECT_TRUE(ui_.ReceiveWhere(position_is("5")));
    client_.Send({{"command", "setAxisResolution"}, {"axis", "X"}, {"resolution", 100}});
    EXPECT_TRUE(ui_.ReceiveWhere(position_is("20")));
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
