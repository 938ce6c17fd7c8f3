// How the server cuts the TCP stream into commands, and what it does with
// input that is not a command.
#include "JsonClient.h"
#include "ServerProcess.h"

#include <gtest/gtest.h>

#include <algorithm>

TEST(Framing, EachObjectIsOneCommandAndWhatIsNoCommandIsDropped) {
    const std::string ping = R"({"command":"ping"})";
    const std::size_t levels = 100000;
    struct Row {
        std::string input;
        std::size_t pongs;
        std::vector<std::string> errors;  // one line each
    };
    const Row rows[] = {
        {ping + ping, 2, {}},
        {R"({"command":"ping","padding":")" + std::string(5 << 20, 'x') + R"("})", 1, {}},
        {R"(hello {"command": pong} } )",
         0,
         {"Dropped 5 bytes outside any JSON object", "Dropped a message that is not valid JSON",
          "Dropped 1 bytes outside any JSON object"}},
        // Nothing of it reaches the parser, whose recursion it would exhaust.
        {R"({"command":1,"x":)" + std::string(levels, '[') + std::string(levels, ']') + "}",
         0,
         {"nested deeper than 512 levels"}},
        {R"([{"command":"ping"}] "ping" 42 true null)",
         0,
         {"Dropped 16 bytes outside any JSON object", "Dropped command [{\"command\":\"ping\"}]"}},
        {R"({"data":1}{"command":17}{"command":["ping"]}{"command":null})",
         0,
         {"Dropped command {\"data\":1}", "Dropped command", "Dropped command", "Dropped command"}},
        // Unknown commands are ignored silently.
        {R"({"command":"noSuchCommand"}{"command":"PING"})", 0, {}},
    };
    ServerProcess server;
    JsonClient client(server.Port());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.input.substr(0, 60));
        const std::size_t before = server.Stderr().size();
        client.SendRaw(row.input);
        for (std::size_t i = 0; i < row.pongs; ++i) {
            // Mebibytes take a while under the sanitizers on a busy machine.
            EXPECT_EQ(client.ReceiveText(std::chrono::seconds(60)), R"({"command":"pong"})");
        }
        EXPECT_TRUE(client.Sync(std::chrono::seconds(60)).empty());
        const std::string errors = server.Stderr().substr(before);
        EXPECT_EQ(static_cast<std::size_t>(std::count(errors.begin(), errors.end(), '\n')),
                  row.errors.size())
            << errors;
        for (const std::string& error : row.errors) {
            EXPECT_NE(errors.find(error), std::string::npos) << error << " in " << errors;
        }
    }
}
