// The G-code front end's commands through the real server: verification
// replies and the settings commands, which answer nothing.
#include "JsonClient.h"
#include "ServerProcess.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

using json = nlohmann::json;

namespace {

const std::string kProgram =
    "; sliced\n"
    "G28\n"
    "\n"
    "M104 ; no temperature\n"
    "G1 X1 Y2 ; move\n"
    "M82\n"
    "G4 P5 S1\n";

const std::string kProgramReply =
    R"({"command":"verifyResponse","results":[)"
    R"({"errors":["At least one of the following parameters is required: S"],)"
    R"("line":"M104","line_number":4,"warnings":null},)"
    R"({"errors":["E axis must be set to Relative Mode with M83."],"line":"M82",)"
    R"("line_number":6,"warnings":null},)"
    R"({"errors":null,"line":"G4 P5 S1","line_number":7,"warnings":["The S parameter takes )"
    R"(precedence over the P parameter. The P parameter will be ignored."]}]})";

std::string WithCrLf(const std::string& text) {
    std::string crlf;
    for (char c : text) {
        if (c == '\n') {
            crlf += '\r';
        }
        crlf += c;
    }
    return crlf;
}

class GCodeCommands : public testing::Test {
  protected:
    std::string Verify(const std::string& path) {
        client_.Send({{"command", "verifyGcode"}, {"file", path}});
        return client_.ReceiveText().value_or("<no reply>");
    }

    TempDir files_;
    ServerProcess server_;
    JsonClient client_{server_.Port()};
};

}  // namespace

TEST_F(GCodeCommands, VerifyCountsEveryPhysicalLine) {
    EXPECT_EQ(Verify(files_.WriteFile("lf.gcode", kProgram)), kProgramReply);
    EXPECT_EQ(Verify(files_.WriteFile("crlf.gcode", WithCrLf(kProgram))), kProgramReply);
    EXPECT_TRUE(client_.Sync().empty());
}

TEST_F(GCodeCommands, VerifyCleanAndMissingFiles) {
    EXPECT_EQ(Verify(files_.WriteFile("clean.gcode", "G28\nG1 X1\n;BREAKPOINT now\nM83\n")),
              R"({"command":"verifyResponse","results":null})");
    EXPECT_EQ(Verify(files_.Path() + "/missing.gcode"),
              R"({"command":"verifyResponse","results":null})");
    EXPECT_TRUE(server_.WaitForStderr("Error opening the file\n"));
}

TEST_F(GCodeCommands, VerifyReplyBytesKeepUtf8) {
    const std::string path =
        files_.WriteFile("utf8.gcode", "G28\nm117 Caf\xc3\xa9 \xe2\x9c\x93\n;BREAKPOINT\n");
    EXPECT_EQ(Verify(path),
              R"({"command":"verifyResponse","results":[{"errors":null,)"
              "\"line\":\"M117 CAF\xc3\xa9 \xe2\x9c\x93\",\"line_number\":2,"
              R"("warnings":["This command is not currently supported by Tavik."]},)"
              R"({"errors":null,"line":";BREAKPOINT","line_number":3,)"
              R"("warnings":["This command is not currently supported by Tavik."]}]})");
}

TEST_F(GCodeCommands, OnlyRegularFilesAreRead) {
    // Each of these would be read for ever or wait for a writer: they answer
    // as a file that cannot be opened.
    const std::string fifo = files_.Path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string paths[] = {"/dev/zero", "/dev/urandom", fifo, files_.Path()};
    for (const std::string& path : paths) {
        EXPECT_EQ(Verify(path), R"({"command":"verifyResponse","results":null})") << path;
        client_.Send({{"command", "loadGcode"}, {"file", path}, {"execute", true}});
        EXPECT_EQ(client_.ReceiveText().value_or("<no reply>"),
                  R"({"command":"loadResponse","status":"success"})")
            << path;
    }
    const std::string errors = server_.Stderr();
    EXPECT_EQ(static_cast<std::size_t>(std::count(errors.begin(), errors.end(), '\n')),
              2 * std::size(paths))
        << errors;
}

TEST_F(GCodeCommands, AFileIsReadAsFarAsItReachedWhenItWasOpened) {
    // Long enough that the server is still at it when the line is added after
    // its first read.
    std::string clean;
    for (int i = 0; i < 200000; ++i) {
        clean += "G28\n";
    }
    const std::string path = files_.WriteFile("growing.gcode", clean);
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, path.c_str(), IN_ACCESS), 0);
    client_.Send({{"command", "verifyGcode"}, {"file", path}});
    pollfd read{watch, POLLIN, 0};
    ASSERT_EQ(poll(&read, 1, 10000), 1);
    std::ofstream(path, std::ios::app) << "M104\n";
    close(watch);
    EXPECT_EQ(client_.ReceiveText().value_or("<no reply>"),
              R"({"command":"verifyResponse","results":null})");
}

TEST_F(GCodeCommands, ValidationQuotesWholeCharacters) {
    EXPECT_EQ(Verify(files_.WriteFile("accent.gcode",
                                      "G1 X1 \xc3\xa9"
                                      "5\n")),
              R"({"command":"verifyResponse","results":[{"errors":["Unexpected parameter )"
              "\xc3\xa9"
              R"(.  Please contact Tavik for support."],"line":"G1 X1 )"
              "\xc3\xa9"
              R"(5","line_number":1,"warnings":null}]})");
}

TEST_F(GCodeCommands, ALineOfUnreadablePiecesReportsTenAndACount) {
    std::string line;
    for (int i = 0; i < 100000; ++i) {
        line += " \v";
    }
    client_.Send({{"command", "terminalCommand"}, {"data", line}});
    ASSERT_TRUE(client_.ReceiveText());
    const std::string errors = server_.Stderr();
    EXPECT_EQ(static_cast<std::size_t>(std::count(errors.begin(), errors.end(), '\n')), 11u)
        << errors.substr(0, 2000);
    EXPECT_NE(errors.find("99990 more"), std::string::npos) << errors.substr(0, 2000);
}

TEST_F(GCodeCommands, SettingsCommandsAnswerNothing) {
    client_.Send({{"command", "setAxisResolution"}, {"axis", "X"}, {"resolution", 80.5}});
    client_.Send({{"command", "setForwardLimit"}, {"axis", "Y"}, {"limit", 12345}});
    client_.Send({{"command", "setFeedrate"}, {"feedrate", 3000}});
    client_.Send({{"command", "setUnits"}, {"units", "inch"}});
    client_.Send({{"command", "loadSettings"},
                  {"settings",
                   {{"xCounts", "400"},
                    {"yCounts", "400"},
                    {"zCounts", "1600"},
                    {"eCounts", "400"},
                    {"xExtents", "248"},
                    {"yExtents", "241.25"},
                    {"zExtents", "209"},
                    {"rapidSpeed", "25"},
                    {"globalUnits", "mm"}}}});
    EXPECT_TRUE(client_.Sync().empty());
    EXPECT_EQ(server_.Stderr(), "");
}

TEST_F(GCodeCommands, MalformedSettingsCommandsAreDroppedAndTheNextAnswered) {
    const json malformed[] = {
        {{"command", "setUnits"}},
        {{"command", "setAxisResolution"}, {"axis", "X"}, {"resolution", "400"}},
        {{"command", "setForwardLimit"}, {"axis", "X"}, {"limit", -1}},
        {{"command", "setFeedrate"}, {"feedrate", nullptr}},
        {{"command", "loadSettings"}, {"settings", {{"xCounts", 400}}}},
        {{"command", "loadSettings"}, {"settings", "none"}},
        {{"command", "loadSettings"}},
        {{"command", "verifyGcode"}, {"file", 5}},
    };
    for (const json& message : malformed) {
        client_.Send(message);
        EXPECT_TRUE(client_.Sync().empty()) << message.dump();
    }
    EXPECT_TRUE(server_.IsRunning());
    // One line on standard error for each dropped command.
    const std::string errors = server_.Stderr();
    EXPECT_EQ(static_cast<std::size_t>(std::count(errors.begin(), errors.end(), '\n')),
              std::size(malformed))
        << errors;
}
