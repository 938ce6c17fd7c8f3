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

using json = nlohmann::json;

namespace {

const std::string kNoFindings = R"({"command":"verifyResponse","results":null})";

class GCodeCommands : public testing::Test {
  protected:
    std::string Verify(const std::string& path) {
        client_.Send({{"command", "verifyGcode"}, {"file", path}});
        return client_.ReceiveText().value_or("<no reply>");
    }
    std::size_t ErrorLines() const {
        const std::string errors = server_.Stderr();
        return static_cast<std::size_t>(std::count(errors.begin(), errors.end(), '\n'));
    }

    TempDir files_;
    ServerProcess server_;
    JsonClient client_{server_.Port()};
};

}  // namespace

TEST_F(GCodeCommands, VerifyCountsEveryPhysicalLineAndKeepsUtf8WholeInReplies) {
    const std::string program =
        "; sliced\nG28\n\nM104 ; no temperature\nG1 X1 Y2 ; move\nM82\nG4 P5 S1\n";
    std::string crlf;
    for (char c : program) {
        crlf += c == '\n' ? "\r\n" : std::string(1, c);
    }
    const std::string reply =
        R"({"command":"verifyResponse","results":[)"
        R"({"errors":["At least one of the following parameters is required: S"],)"
        R"("line":"M104","line_number":4,"warnings":null},)"
        R"({"errors":["E axis must be set to Relative Mode with M83."],"line":"M82",)"
        R"("line_number":6,"warnings":null},)"
        R"({"errors":null,"line":"G4 P5 S1","line_number":7,"warnings":["The S parameter takes )"
        R"(precedence over the P parameter. The P parameter will be ignored."]}]})";
    EXPECT_EQ(Verify(files_.WriteFile("lf.gcode", program)), reply);
    EXPECT_EQ(Verify(files_.WriteFile("crlf.gcode", crlf)), reply);
    EXPECT_EQ(Verify(files_.WriteFile("clean.gcode", "G28\nG1 X1\n;BREAKPOINT now\nM83\n")),
              kNoFindings);
    const std::string path =
        files_.WriteFile("utf8.gcode",
                         "G28\nm117 Caf\xc3\xa9 \xe2\x9c\x93\n;BREAKPOINT\nG1 X1 \xc3\xa9"
                         "5\n");
    EXPECT_EQ(Verify(path), R"({"command":"verifyResponse","results":[{"errors":null,)"
                            "\"line\":\"M117 CAF\xc3\xa9 \xe2\x9c\x93\",\"line_number\":2,"
                            R"("warnings":["This command is not currently supported by Tavik."]},)"
                            R"({"errors":null,"line":";BREAKPOINT","line_number":3,)"
                            R"("warnings":["This command is not currently supported by Tavik."]},)"
                            R"({"errors":["Unexpected parameter )"
                            "\xc3\xa9"
                            R"(.  Please contact Tavik for support."],"line":"G1 X1 )"
                            "\xc3\xa9"
                            R"(5","line_number":4,"warnings":null}]})");
    EXPECT_TRUE(client_.Sync().empty());
}

TEST_F(GCodeCommands, OnlyRegularFilesAreRead) {
    // Each of these would be read for ever, wait for a writer or not open at
    // all: they answer as a file that cannot be opened, with one line each;
    // a load says so.
    const std::string fifo = files_.Path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string paths[] = {"/dev/zero", "/dev/urandom", fifo, files_.Path(),
                                 files_.Path() + "/missing.gcode"};
    for (const std::string& path : paths) {
        EXPECT_EQ(Verify(path), kNoFindings) << path;
        client_.Send({{"command", "loadGcode"}, {"file", path}, {"execute", true}});
        EXPECT_EQ(client_.ReceiveText().value_or("<no reply>"),
                  R"({"command":"loadResponse","message":"Error opening the file",)"
                  R"("status":"error"})")
            << path;
    }
    EXPECT_EQ(ErrorLines(), 2 * std::size(paths)) << server_.Stderr();
    EXPECT_NE(server_.Stderr().find("Error opening the file\n"), std::string::npos);
}

TEST_F(GCodeCommands, AFileIsReadAsFarAsItReachedWhenItWasOpened) {
    // Long enough that the server is still at it when the line is added after
    // its first read, and that lines and line ends straddle its read chunks.
    std::string program;
    for (int i = 0; i < 200000; ++i) {
        program += i % 2 ? "G28\r\n" : "G1 X1\n";
    }
    const std::string path = files_.WriteFile("growing.gcode", program + "M82\n");
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, path.c_str(), IN_ACCESS), 0);
    client_.Send({{"command", "verifyGcode"}, {"file", path}});
    pollfd read{watch, POLLIN, 0};
    ASSERT_EQ(poll(&read, 1, 10000), 1);
    std::ofstream(path, std::ios::app) << "M104\n";
    close(watch);
    EXPECT_EQ(client_.ReceiveText().value_or("<no reply>"),
              R"({"command":"verifyResponse","results":[{"errors":["E axis must be set to )"
              R"(Relative Mode with M83."],"line":"M82","line_number":200001,"warnings":null}]})");
}

TEST_F(GCodeCommands, ALineOfUnreadablePiecesReportsTenAndACount) {
    std::string line;
    for (int i = 0; i < 100000; ++i) {
        line += " \v";
    }
    client_.Send({{"command", "terminalCommand"}, {"data", line}});
    ASSERT_TRUE(client_.ReceiveText());
    EXPECT_EQ(ErrorLines(), 11u) << server_.Stderr().substr(0, 2000);
    EXPECT_NE(server_.Stderr().find("99990 more"), std::string::npos);
}

TEST_F(GCodeCommands, SettingsCommandsAnswerNothingAndMalformedOnesAreDropped) {
    client_.Send({{"command", "setAxisResolution"}, {"axis", "X"}, {"resolution", 80.5}});
    client_.Send({{"command", "setForwardLimit"}, {"axis", "Y"}, {"limit", 12345}});
    client_.Send({{"command", "setFeedrate"}, {"feedrate", 3000}});
    client_.Send({{"command", "setUnits"}, {"units", "inch"}});
    EXPECT_TRUE(client_.Sync().empty());
    EXPECT_EQ(server_.Stderr(), "");
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
    // One line on standard error for each dropped command.
    EXPECT_EQ(ErrorLines(), std::size(malformed)) << server_.Stderr();
}
