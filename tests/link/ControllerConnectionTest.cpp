// Connections and controller errors against the scripted library.
#include "MainConnection.h"
#include "ScriptedZenlib.h"
#include "TemperatureConnection.h"
#include "VrxException.h"

#include <gtest/gtest.h>

namespace {

using Texts = std::vector<std::string>;

class ConnectionTest : public testing::Test {
  protected:
    void SetUp() override { lib_.Reset(); }
    ScriptedZenlib& lib_ = ScriptedZenlib::Get();
};

// One test, in order: the main connection cannot be un-enabled once connected.
TEST_F(ConnectionTest, MainConnectionIsSkippedUntilConnected) {
    auto& main = MainConnection::GetInstance();
    // Only the first run in a process (not --gtest_repeat) sees it unconnected.
    lib_.RefuseOpen("10.9.9.9", Z_ERR_CONNECTION_REFUSED);
    if (!main.IsEnabled()) {
        EXPECT_EQ(main.CommandIfEnabled("ST"), "");
        main.ExecuteProgram();
        EXPECT_TRUE(lib_.Commands().empty());

        try {
            main.Connect("10.9.9.9");
            FAIL() << "refused open must throw";
        } catch (const VrxException& error) {
            EXPECT_EQ(error.GetSource(), "ZOpen(10.9.9.9)");
            EXPECT_EQ(error.GetRc(), Z_ERR_CONNECTION_REFUSED);
            EXPECT_EQ(error.GetErrorString(), "scripted error -1101");
        }
        EXPECT_EQ(lib_.Opens(), Texts{"10.9.9.9 -s DR -t 1000"});
        EXPECT_FALSE(main.IsOpen());
        EXPECT_FALSE(main.IsEnabled());
        EXPECT_EQ(main.CommandIfEnabled("STA"), "");
        EXPECT_TRUE(lib_.Commands().empty());
    }

    main.Connect("10.0.0.2");
    EXPECT_TRUE(main.IsOpen());
    EXPECT_TRUE(main.IsEnabled());
    EXPECT_NE(main.GetHandle(), nullptr);
    lib_.SetReply("MG TIME", "12345");
    EXPECT_EQ(main.CommandIfEnabled("MG TIME"), "12345");
    main.ExecuteProgram();
    EXPECT_EQ(lib_.Commands(), (Texts{"MG TIME", "XQ"}));

    // A later failed open keeps the working handle.
    const ZHandle handle = main.GetHandle();
    EXPECT_THROW(main.Connect("10.9.9.9"), VrxException);
    EXPECT_EQ(main.GetHandle(), handle);
    EXPECT_TRUE(main.IsEnabled());
}

TEST_F(ConnectionTest, RejectedCommandCarriesTheControllersExplanation) {
    auto& temperature = TemperatureConnection::GetInstance();
    lib_.Reject("setext=999", Z_ERR_COMMAND_REJECTED);
    lib_.SetReply("TC1", "6 Number out of range");
    try {
        temperature.Command("setext=999");
        FAIL();
    } catch (const VrxException& error) {
        EXPECT_EQ(error.GetSource(), "setext=999");
        EXPECT_EQ(error.GetRc(), -10000);
        EXPECT_EQ(error.GetErrorString(), "6 Number out of range");
        EXPECT_STREQ(error.what(), "6 Number out of range");
    }
    EXPECT_EQ(lib_.Commands(), (Texts{"setext=999", "TC1"}));
}

TEST_F(ConnectionTest, FailingErrorQueryAsksOnlyOnce) {
    auto& temperature = TemperatureConnection::GetInstance();
    lib_.Reject("speed=1", Z_ERR_COMMAND_REJECTED);
    lib_.Reject("TC1", Z_ERR_COMMAND_REJECTED);
    try {
        temperature.Command("speed=1");
        FAIL();
    } catch (const VrxException& error) {
        EXPECT_EQ(error.GetRc(), -10000);
        EXPECT_EQ(error.GetErrorString(), "scripted error -10000");
    }
    EXPECT_EQ(lib_.Commands(), (Texts{"speed=1", "TC1"}));
}

TEST_F(ConnectionTest, OtherErrorsAndNoConnectionUseTheLibraryText) {
    const VrxException rejected_without_connection("ZRecord", -10000, nullptr);
    EXPECT_EQ(rejected_without_connection.GetErrorString(), "scripted error -10000");
    lib_.Reject("PM 0,0", Z_ERR_TIMEOUT);
    try {
        TemperatureConnection::GetInstance().Command("PM 0,0");
        FAIL();
    } catch (const VrxException& error) {
        EXPECT_EQ(error.GetErrorString(), "scripted error -1100");
        EXPECT_STREQ(error.what(), "scripted error -1100");
    }
    EXPECT_EQ(lib_.Commands(), Texts{"PM 0,0"});  // no "TC1" for other codes
    // Copies carry all three fields.
    const VrxException copy = rejected_without_connection;
    EXPECT_EQ(copy.GetSource(), "ZRecord");
    EXPECT_EQ(copy.GetRc(), -10000);
    EXPECT_EQ(copy.GetErrorString(), rejected_without_connection.GetErrorString());
}

TEST_F(ConnectionTest, RepliesLoseTheirEnding) {
    auto& temperature = TemperatureConnection::GetInstance();
    lib_.SetReply("MG 1", "1");
    EXPECT_EQ(temperature.Command("MG 1"), "1");
    EXPECT_EQ(temperature.Command("setbed=60"), "");
}

}  // namespace
