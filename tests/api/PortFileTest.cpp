// The port file through which the UI finds the server.
#include "Deadline.h"
#include "JsonClient.h"
#include "ServerProcess.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void ExpectAnswersPing(unsigned short port) {
    JsonClient client(port);
    client.Send({{"command", "ping"}});
    EXPECT_EQ(client.ReceiveText(), R"({"command":"pong"})");
}

}  // namespace

TEST(PortFile, HoldsOnlyTheDigitsAndASecondRunOverwritesIt) {
    ServerProcess first;
    const std::string path = first.PortFilePath();
    EXPECT_EQ(ReadFile(path), std::to_string(first.Port()));
    EXPECT_EQ(first.ListeningPort(), first.Port());
    ExpectAnswersPing(first.Port());
    std::ofstream(path, std::ios::trunc) << "123456789012345\n";
    ServerProcess::Options options;
    options.environment["XDG_DATA_HOME"] = first.DataHome();
    options.wait_for_port = false;
    ServerProcess second(options);
    const unsigned short port = second.ListeningPort();
    EXPECT_TRUE(WaitFor([&] { return ReadFile(path) == std::to_string(port); }));
    ExpectAnswersPing(port);
}

TEST(PortFile, OtherDataFoldersOrOneLineAndTheServerStillAnswers) {
    TempDir home;
    home.WriteFile("Tavik", "a file where the folder should be");
    struct Row {
        std::string data_home, home, error, port_file;
    };
    const Row rows[] = {
        {home.Path(), "", "Unable to open the file for writing.\n", ""},
        {"relative/path", "", "Failed to get Local AppData path.\n", ""},
        {"relative/path", home.Path(), "",
         home.Path() + "/.local/share/Tavik/gcode_api_server/port.txt"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.data_home + " " + row.home);
        ServerProcess::Options options;
        options.environment = {{"XDG_DATA_HOME", row.data_home}, {"HOME", row.home}};
        options.wait_for_port = false;
        ServerProcess server(options);
        const unsigned short port = server.ListeningPort();
        if (row.error.empty()) {
            EXPECT_TRUE(WaitFor([&] { return ReadFile(row.port_file) == std::to_string(port); }));
        } else {
            EXPECT_TRUE(server.WaitForStderr(row.error));
        }
        ExpectAnswersPing(port);
    }
}
