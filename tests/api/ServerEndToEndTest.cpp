// The server binary as the UI meets it: the port file through which it finds
// the server, how the TCP stream is cut into commands, the datagram endpoint,
// and how connections end.
#include "Deadline.h"
#include "JsonClient.h"
#include "ServerProcess.h"
#include "UdpReceiver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <iterator>
#include <memory>

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// What a server whose replies may take 64 MiB while they wait may hold at
// most: a small multiple of that. The sanitizers' shadow memory and
// quarantine come on top.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kLimitKib = 16 * 64 * 1024;
#else
constexpr long kLimitKib = 4 * 64 * 1024;
#endif

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

TEST(Framing, EachObjectIsOneCommandAndWhatIsNoCommandIsDropped) {
    const std::string ping = R"({"command":"ping"})";
    const std::size_t levels = 100000;
    struct Row {
        std::string input;
        std::size_t pongs;
        std::vector<std::string> errors;  // one line each
    };
    const Row rows[] = {
        {ping + R"({"command":"ping","padding":")" + std::string(5 << 20, 'x') + R"("})", 2, {}},
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

TEST(Datagrams, EachUiEndpointInTheUdpRangeMovesTheDatagramsToItsPort) {
    const std::string pong = R"({"command":"uiPong"})";
    ServerProcess server;
    JsonClient client(server.Port());
    UdpReceiver first;
    UdpReceiver second;
    client.Send({{"command", "printTasks"}});  // answered by datagram only: dropped
    client.SendRaw(R"({"command":"uiEndpoint","port":0}{"command":"uiEndpoint","port":65536})");
    client.SendRaw(R"({"command":"uiEndpoint","port":-1}{"command":"uiEndpoint","port":"1"})");
    EXPECT_TRUE(client.Sync().empty());
    EXPECT_TRUE(server.WaitForStderr("port 65536 is not a UDP port"));
    client.Send({{"command", "uiEndpoint"}, {"port", first.Port()}});
    EXPECT_EQ(first.Receive(), pong);
    client.Send({{"command", "uiEndpoint"}, {"port", second.Port()}});
    EXPECT_EQ(second.Receive(), pong);
    client.Sync();
    EXPECT_FALSE(first.Receive(std::chrono::milliseconds(100)));
}

TEST(ConnectionLife, TheEndOfAnyConnectionEndsTheServerWithCodeZero) {
    struct Way {
        const char* name;
        bool two_clients;
        bool newer_leaves;
        bool reset;
    };
    const Way ways[] = {{"close", false, false, false},
                        {"reset", false, false, true},
                        {"older of two closes", true, false, false},
                        {"newer of two closes", true, true, false}};
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        ServerProcess server;
        JsonClient first(server.Port());
        first.Sync();
        std::unique_ptr<JsonClient> second;
        if (way.two_clients) {
            second = std::make_unique<JsonClient>(server.Port());
            second->Sync();
            first.Sync();
        }
        JsonClient& leaving = way.newer_leaves ? *second : first;
        way.reset ? leaving.Reset() : leaving.Close();
        EXPECT_EQ(server.WaitForExit(), 0);
    }
}

TEST(ConnectionLife, ASignalBeforeAnyConnectionEndsTheServerWithCodeZero) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        ServerProcess server;
        server.Signal(signal);
        EXPECT_EQ(server.WaitForExit(), 0) << signal;
    }
}

TEST(ConnectionLife, AClientThatReadsNoRepliesIsClosedOnceTooManyWait) {
    ServerProcess server;
    JsonClient client(server.Port());
    // Each reply repeats the request's mebibyte of text; with no controller
    // open nothing is sent anywhere else.
    const std::string request =
        nlohmann::json{{"command", "terminalCommand"}, {"data", ";" + std::string(1 << 20, 'x')}}
            .dump();
    try {
        for (int sent = 0; sent < 200 && server.IsRunning(); ++sent) {
            client.SendRaw(request);
        }
    } catch (const std::runtime_error&) {
        // The server has closed the connection.
    }
    EXPECT_EQ(server.WaitForExit(), 0);
    EXPECT_TRUE(server.WaitForStderr("Client reads no replies"));
}

TEST(ConnectionLife, RequestsWrittenAtOnceByAClientThatReadsNoRepliesStayWithinTheBound) {
    // Each reply lists 40,000 findings: some megabytes.
    TempDir files;
    std::string program;
    for (int line = 0; line < 40000; ++line) {
        program += "M104\n";
    }
    const std::string request =
        nlohmann::json{{"command", "verifyGcode"}, {"file", files.WriteFile("bad.gcode", program)}}
            .dump();
    std::string requests;
    for (int i = 0; i < 1000; ++i) {
        requests += request;
    }
    ServerProcess server;
    JsonClient client(server.Port());
    client.SendRaw(requests);
    // Given up on past the limit, so that a server without a bound does not
    // take the machine's memory first.
    EXPECT_TRUE(WaitFor([&] { return server.PeakResidentKib() > kLimitKib || !server.IsRunning(); },
                        std::chrono::seconds(120)));
    EXPECT_EQ(server.WaitForExit(std::chrono::milliseconds(0)), 0);
    EXPECT_LT(server.PeakResidentKib(), kLimitKib);
    EXPECT_TRUE(server.WaitForStderr("Client reads no replies"));
}
