// How connections end, and how their end ends the server.
#include "JsonClient.h"
#include "ServerProcess.h"

#include <gtest/gtest.h>

TEST(ConnectionLife, ClosingTheClientEndsTheServerWithCodeZero) {
    ServerProcess server;
    JsonClient client(server.Port());
    client.Sync();
    client.Close();
    EXPECT_EQ(server.WaitForExit(), 0);
}

TEST(ConnectionLife, ResettingTheClientEndsTheServerWithCodeZero) {
    ServerProcess server;
    JsonClient client(server.Port());
    client.Sync();
    client.Reset();
    EXPECT_EQ(server.WaitForExit(), 0);
}

TEST(ConnectionLife, ASecondClientConnectsWhileTheFirstIsOpen) {
    ServerProcess server;
    JsonClient first(server.Port());
    first.Sync();
    JsonClient second(server.Port());
    second.Sync();
    first.Sync();
    // The end of any connection ends the process.
    first.Close();
    EXPECT_EQ(server.WaitForExit(), 0);
}

TEST(ConnectionLife, TheNewerClientClosingEndsTheServerToo) {
    ServerProcess server;
    JsonClient first(server.Port());
    JsonClient second(server.Port());
    second.Sync();
    second.Close();
    EXPECT_EQ(server.WaitForExit(), 0);
}

TEST(ConnectionLife, AClientThatReadsNoRepliesIsClosedOnceTooManyWait) {
    ServerProcess server;
    JsonClient client(server.Port());
    // Each reply repeats the request's mebibyte of text; with no controller
    // open nothing is sent anywhere else.
    const std::string request =
        nlohmann::json{{"command", "terminalCommand"}, {"data", ";" + std::string(1 << 20, 'x')}}.dump();
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
