// The UI's datagram endpoint.
#include "JsonClient.h"
#include "ServerProcess.h"
#include "UdpReceiver.h"

#include <gtest/gtest.h>

namespace {

const std::string kUiPong = R"({"command":"uiPong"})";

nlohmann::json Endpoint(unsigned short port) {
    return {{"command", "uiEndpoint"}, {"port", port}};
}

}  // namespace

TEST(Datagrams, EachUiEndpointMovesTheDatagramsToItsPort) {
    ServerProcess server;
    JsonClient client(server.Port());
    UdpReceiver first;
    UdpReceiver second;
    client.Send({{"command", "printTasks"}});  // answered by datagram only: dropped
    EXPECT_TRUE(client.Sync().empty());
    client.Send(Endpoint(first.Port()));
    EXPECT_EQ(first.Receive(), kUiPong);
    client.Send(Endpoint(second.Port()));
    EXPECT_EQ(second.Receive(), kUiPong);
    client.Sync();
    EXPECT_FALSE(first.Receive(std::chrono::milliseconds(100)));
    EXPECT_EQ(server.Stderr(), "");
}

TEST(Datagrams, PortsOutsideTheUdpRangeAreRejected) {
    ServerProcess server;
    JsonClient client(server.Port());
    UdpReceiver ui;
    client.SendRaw(R"({"command":"uiEndpoint","port":0}{"command":"uiEndpoint","port":65536})");
    client.SendRaw(R"({"command":"uiEndpoint","port":-1}{"command":"uiEndpoint","port":"1"})");
    EXPECT_TRUE(client.Sync().empty());
    EXPECT_TRUE(server.WaitForStderr("port 65536 is not a UDP port"));
    client.Send(Endpoint(ui.Port()));
    EXPECT_EQ(ui.Receive(), kUiPong);
}
