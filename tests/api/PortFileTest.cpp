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

}  // namespace

TEST(PortFile, HoldsOnlyTheDigitsOrOneLineTellsWhyAndTheServerStillAnswers) {
    ServerProcess first;
    const std::string path = first.PortFilePath();
    EXPECT_EQ(ReadFile(path), std::to_string(first.Port()));
    std::ofstream(path, std::ios::trunc) << "123456789012345\n";
    TempDir home;
    home.WriteFile("Tavik", "a file where the folder should be");
    // Data folder, home, the error line or else the file holding the port.
    const std::string rows[][4] = {
        {first.DataHome(), "", "", path},  // a second run overwrites it
        {home.Path(), "", "Unable to open the file for writing.\n", ""},
        {"relative/path", "", "Failed to get Local AppData path.\n", ""},
        {"relative/path", home.Path(), "",
         home.Path() + "/.local/share/Tavik/gcode_api_server/port.txt"},
    };
    for (const auto& [data_home, home_path, error, port_file] : rows) {
        SCOPED_TRACE(data_home + " " + home_path);
        ServerProcess::Options options;
        options.environment = {{"XDG_DATA_HOME", data_home}, {"HOME", home_path}};
        options.wait_for_port = false;
        ServerProcess server(options);
        const unsigned short port = server.ListeningPort();
        if (error.empty()) {
            EXPECT_TRUE(WaitFor([&] { return ReadFile(port_file) == std::to_string(port); }));
        } else {
            EXPECT_TRUE(server.WaitForStderr(error));
        }
        JsonClient client(port);
        client.Send({{"command", "ping"}});
        EXPECT_EQ(client.ReceiveText(), R"({"command":"pong"})");
    }
}
