// How connections end, and how their end ends the server.
#include "JsonClient.h"
#include "ServerProcess.h"

#include <gtest/gtest.h>

#include <memory>

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
