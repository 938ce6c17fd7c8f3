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
    lib_.Reject("10.9.9.9", Z_ERR_CONNECTION_REFUSED);
    // Only the first run in a process (not --gtest_repeat) sees it unconnected.
    if (!main.IsEnabled()) {
        EXPECT_EQ(main.CommandIfEnabled("ST"), "");
        main.ExecuteProgram();
        const VrxException error = Caught([&] { main.Connect("10.9.9.9"); });
        EXPECT_EQ(error.GetSource(), "ZOpen(10.9.9.9)");
        EXPECT_EQ(error.GetRc(), Z_ERR_CONNECTION_REFUSED);
        EXPECT_EQ(error.GetErrorString(), "scripted error -1101");
        EXPECT_EQ(lib_.Opens(), Texts{"10.9.9.9 -s DR -t 1000"});
        EXPECT_FALSE(main.IsOpen() || main.IsEnabled());
        EXPECT_EQ(main.CommandIfEnabled("STA"), "");
        EXPECT_TRUE(lib_.Commands().empty());
    }
    main.Connect("10.0.0.2");
    EXPECT_TRUE(main.IsOpen() && main.IsEnabled());
    lib_.SetReply("MG TIME", "12345");
    EXPECT_EQ(main.CommandIfEnabled("MG TIME"), "12345");
    main.ExecuteProgram();
    EXPECT_EQ(lib_.Commands(), (Texts{"MG TIME", "XQ"}));

    // A later failed open keeps the working handle.
    const ZHandle handle = main.GetHandle();
    ASSERT_NE(handle, nullptr);
    EXPECT_THROW(main.Connect("10.9.9.9"), VrxException);
    EXPECT_EQ(main.GetHandle(), handle);
    EXPECT_TRUE(main.IsEnabled());
}

TEST_F(ConnectionTest, ErrorsCarryTheControllersExplanationOrElseTheLibraryText) {
    struct Row {
        std::string command;
        ZReturnCode rc;
        const char* explanation;  // the "TC1" reply; nullptr: "TC1" fails too
        std::string text;
        Texts sent;
    };
    const Row rows[] = {
        {"setext=999",
         Z_ERR_COMMAND_REJECTED,
         "6 Number out of range",
         "6 Number out of range",
         {"setext=999", "TC1"}},
        // The failing query is asked only once.
        {"speed=1", Z_ERR_COMMAND_REJECTED, nullptr, "scripted error -10000", {"speed=1", "TC1"}},
        {"PM 0,0", Z_ERR_TIMEOUT, "unasked", "scripted error -1100", {"PM 0,0"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.command);
        lib_.Reset();
        lib_.Reject(row.command, row.rc);
        if (row.explanation != nullptr)
            lib_.SetReply("TC1", row.explanation);
        else
            lib_.Reject("TC1", Z_ERR_COMMAND_REJECTED);
        const VrxException error =
            Caught([&] { TemperatureConnection::GetInstance().Command(row.command); });
        EXPECT_EQ(error.GetSource(), row.command);
        EXPECT_EQ(error.GetRc(), row.rc);
        EXPECT_EQ(error.GetErrorString(), row.text);
        EXPECT_EQ(error.what(), row.text);
        EXPECT_EQ(lib_.Commands(), row.sent);
    }
    // Without a connection to ask, a rejection has the library's text.
    EXPECT_EQ(VrxException("ZRecord", -10000, nullptr).GetErrorString(), "scripted error -10000");
}

}  // namespace
