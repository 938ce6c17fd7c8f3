// The port file through which the UI finds the server.
#include "Deadline.h"
#include "JsonClient.h"
#include "ServerProcess.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include <boost/filesystem.hpp>

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool WaitForFileText(const std::string& path, const std::string& text) {
    return WaitFor([&] { return ReadFile(path) == text; });
}

void ExpectAnswersPing(unsigned short port) {
    JsonClient client(port);
    client.Send({{"command", "ping"}});
    const auto reply = client.ReceiveText();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, R"({"command":"pong"})");
}

}  // namespace

TEST(PortFile, IsCreatedWithItsFoldersAndHoldsOnlyTheDigits) {
    ServerProcess server;
    const std::string text = ReadFile(server.PortFilePath());
    EXPECT_EQ(text, std::to_string(server.Port()));
    EXPECT_EQ(text.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_NE(text.front(), '0');
    EXPECT_EQ(server.ListeningPort(), server.Port());
    ExpectAnswersPing(server.Port());
}

TEST(PortFile, ASecondRunOverwritesIt) {
    ServerProcess first;
    const std::string path = first.PortFilePath();
    {
        std::ofstream stale(path, std::ios::trunc);
        stale << "123456789012345\n";
    }
    ServerProcess::Options options;
    options.environment["XDG_DATA_HOME"] = first.DataHome();
    options.wait_for_port = false;
    ServerProcess second(options);
    const unsigned short port = second.ListeningPort();
    ASSERT_TRUE(WaitForFileText(path, std::to_string(port)));
    ExpectAnswersPing(port);
}

TEST(PortFile, UnwritableFolderIsReportedAndTheServerStillAnswers) {
    TempDir home;
    home.WriteFile("Tavik", "a file where the folder should be");
    ServerProcess::Options options;
    options.environment["XDG_DATA_HOME"] = home.Path();
    options.wait_for_port = false;
    ServerProcess server(options);
    EXPECT_TRUE(server.WaitForStderr("Unable to open the file for writing.\n"));
    ExpectAnswersPing(server.ListeningPort());
}

TEST(PortFile, NoDataFolderIsReportedAndTheServerStillAnswers) {
    ServerProcess::Options options;
    options.environment["XDG_DATA_HOME"] = "relative/path";
    options.environment["HOME"] = "";
    options.wait_for_port = false;
    ServerProcess server(options);
    EXPECT_TRUE(server.WaitForStderr("Failed to get Local AppData path.\n"));
    ExpectAnswersPing(server.ListeningPort());
}

TEST(PortFile, FallsBackToHomeWhenXdgDataHomeIsNotAbsolute) {
    TempDir home;
    ServerProcess::Options options;
    options.environment["XDG_DATA_HOME"] = "relative/path";
    options.environment["HOME"] = home.Path();
    options.wait_for_port = false;
    ServerProcess server(options);
    const unsigned short port = server.ListeningPort();
    EXPECT_TRUE(WaitForFileText(home.Path() + "/.local/share/Tavik/gcode_api_server/port.txt",
                                std::to_string(port)));
}
