// Controller errors against the scripted library.
#include "ScriptedZenlib.h"
#include "TemperatureConnection.h"
#include "VrxException.h"

#include <gtest/gtest.h>

namespace {

using Texts = std::vector<std::string>;

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
