// Connections and controller errors against the scripted library.
#include "MainConnection.h"
#include "ScriptedZenlib.h"
#include "TemperatureConnection.h"
#include "VrxException.h"

#include <gtest/gtest.h>

namespace {

using Texts = std::vector<std::string>;

// One test, in order: the main connection cannot be un-enabled once connected.
TEST(ConnectionTest, MainConnectionIsSkippedUntilConnected) {
    auto& lib = ScriptedZenlib::Get();
    auto& main = MainConnection::GetInstance();
    lib.Reset();
    lib.Reject("10.9.9.9", Z_ERR_CONNECTION_REFUSED);
    // Only the first run in a process (not --gtest_repeat) sees it unconnected.
    if (!main.IsEnabled()) {
        EXPECT_EQ(main.CommandIfEnabled("ST"), "");
        main.ExecuteProgram();
        const VrxException error = Caught([&] { main.Connect("10.9.9.9"); });
        EXPECT_EQ(error.GetSource(), "ZOpen(10.9.9.9)");
        EXPECT_EQ(error.GetRc(), Z_ERR_CONNECTION_REFUSED);
        EXPECT_EQ(error.GetErrorString(), "scripted error -1101");
        EXPECT_FALSE(main.IsOpen() || main.IsEnabled());
        EXPECT_EQ(main.CommandIfEnabled("STA"), "");
        EXPECT_EQ(lib.Log(), Texts{"open 10.9.9.9 -s DR -t 1000"});
    }
    main.Connect("10.0.0.2");
    EXPECT_TRUE(main.IsOpen() && main.IsEnabled());
    lib.SetReply("MG TIME", "12345");
    EXPECT_EQ(main.CommandIfEnabled("MG TIME"), "12345");
    main.ExecuteProgram();
    const Texts log = lib.Log();
    EXPECT_EQ(Texts(log.end() - 3, log.end()),
              (Texts{"open 10.0.0.2 -s DR -t 1000", "MG TIME", "XQ"}));
    // A later failed open keeps the working handle.
    const ZHandle handle = main.GetHandle();
    ASSERT_NE(handle, nullptr);
    EXPECT_THROW(main.Connect("10.9.9.9"), VrxException);
    EXPECT_EQ(main.GetHandle(), handle);
    EXPECT_TRUE(main.IsEnabled());
}

TEST(ConnectionTest, ErrorsCarryTheControllersExplanationOrElseTheLibraryText) {
    auto& lib = ScriptedZenlib::Get();
    // The command, its code, the "TC1" reply (nullptr: "TC1" fails too), the error text, and
    // whether "TC1" is asked (once only, even when it fails).
    using Row = std::tuple<std::string, ZReturnCode, const char*, std::string, bool>;
    for (const auto& [command, rc, explanation, text, asked] :
         {Row{"setext=999", Z_ERR_COMMAND_REJECTED, "6 Out of range", "6 Out of range", true},
          Row{"speed=1", Z_ERR_COMMAND_REJECTED, nullptr, "scripted error -10000", true},
          Row{"PM 0,0", Z_ERR_TIMEOUT, "unasked", "scripted error -1100", false}}) {
        SCOPED_TRACE(command);
        lib.Reset();
        lib.Reject(command, rc);
        if (explanation != nullptr)
            lib.SetReply("TC1", explanation);
        else
            lib.Reject("TC1", Z_ERR_COMMAND_REJECTED);
        const VrxException error =
            Caught([&] { TemperatureConnection::GetInstance().Command(command); });
        EXPECT_EQ(error.GetSource(), command);
        EXPECT_EQ(error.GetRc(), rc);
        EXPECT_EQ(error.GetErrorString(), text);
        EXPECT_EQ(error.what(), text);
        EXPECT_EQ(lib.Log(), (asked ? Texts{command, "TC1"} : Texts{command}));
    }
    // Without a connection to ask, a rejection has the library's text.
    EXPECT_EQ(VrxException("ZRecord", -10000, nullptr).GetErrorString(), "scripted error -10000");
}

}  // namespace
