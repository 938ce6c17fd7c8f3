// The task-control commands through the real server binary.
#include "JsonClient.h"
#include "ServerProcess.h"
#include "UdpReceiver.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

void ConnectUi(JsonClient& client, UdpReceiver& ui) {
    client.Send({{"command", "uiEndpoint"}, {"port", ui.Port()}});
    ASSERT_EQ(ui.Receive(), R"({"command":"uiPong"})");
}

}  // namespace

TEST(TaskCommands, UnknownMalformedAndOutOfRangeIdsAreRefusedWithOneLineEach) {
    ServerProcess server;
    JsonClient client(server.Port());
    UdpReceiver ui;
    ConnectUi(client, ui);
    for (const char* command : {"pauseTask", "resumeTask", "addBreakpoint", "removeBreakpoint",
                                "cancelTask", "stepOverTask"}) {
        client.Send({{"command", command}, {"id", 12345}});
        client.Send({{"command", command}, {"id", "12345"}});
        client.Send({{"command", command}});
    }
    client.Send({{"command", "debugExecute"}});
    client.Send({{"command", "shutdown"}});
    client.SendRaw(R"({"command":"pauseTask","id":1e20}{"command":"cancelTask","id":-3e9})");
    client.SendRaw(
        R"({"command":"resumeTask","id":4294967296}{"command":"uiEndpoint","port":1e20})");
    EXPECT_TRUE(client.Sync().empty());  // no TCP reply
    for (const char* line :
         {"cancelTask: no task with id 12345", "stepOverTask: no task with id 12345",
          R"("id" is 1e+20, outside -2147483648 to 2147483647)",
          R"("id" is -3000000000.0, outside)", R"("id" is 4294967296, outside)",
          R"("port" is 1e+20, outside)"}) {
        EXPECT_TRUE(server.WaitForStderr(line)) << line;
    }
    client.Send({{"command", "printTasks"}});
    EXPECT_EQ(ui.Receive(), R"({"command":"printTasks"})");
    // Read on the worker: the task fails with the range in its reason.
    client.SendRaw(R"({"command":"setFanSpeed","fan":1e20,"speed":1})");
    const auto cancelled = ui.ReceiveWhere([](const json& message) {
        return message["command"] == "updateTasks" &&
               message["tasks"][0].value("status", "") == "CANCELLED";
    });
    ASSERT_TRUE(cancelled);
    EXPECT_EQ((*cancelled)["tasks"][0]["cancellation_reason"],
              R"(Task Execution Error : "fan" is 1e+20, outside -2147483648 to 2147483647)");
    EXPECT_TRUE(server.IsRunning());
}

// With nothing queued, "finishThenShutdown" ends the server at once.
TEST(TaskCommands, TaskMessagesGoToTheNewestConnectionAndFinishingEndsTheServer) {
    ServerProcess server;
    JsonClient first(server.Port()), second(server.Port());
    UdpReceiver first_ui, second_ui;
    ConnectUi(first, first_ui);
    ConnectUi(second, second_ui);
    first.Send({{"command", "printTasks"}});
    EXPECT_EQ(second_ui.Receive(), R"({"command":"printTasks"})");
    first.Sync();
    EXPECT_FALSE(first_ui.Receive(std::chrono::milliseconds(100)));
    first.Send({{"command", "finishThenShutdown"}});
    EXPECT_EQ(server.WaitForExit(), 0);
}
