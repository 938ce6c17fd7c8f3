// The UI's datagram endpoint.
#include "JsonClient.h"
#include "ServerProcess.h"
#include "UdpReceiver.h"

#include <gtest/gtest.h>

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
