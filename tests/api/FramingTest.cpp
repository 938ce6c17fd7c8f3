// How the server cuts the TCP stream into commands, and what it does with
// input that is not a command.
#include "JsonClient.h"
#include "ServerProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

const std::string kPing = R"({"command":"ping"})";
const std::string kPong = R"({"command":"pong"})";

class Framing : public testing::Test {
  protected:
    ServerProcess server_;
    JsonClient client_{server_.Port()};

    // Everything sent so far has been answered with exactly `replies`.
    void ExpectReplies(const std::deque<std::string>& replies) {
        for (const auto& expected : replies) {
            EXPECT_EQ(client_.ReceiveText(), expected);
        }
        EXPECT_TRUE(client_.Sync().empty());
    }
};

}  // namespace

TEST_F(Framing, TwoPingsInOneWriteGetTwoPongsInOrder) {
    client_.SendRaw(kPing + kPing);
    ExpectReplies({kPong, kPong});
}

TEST_F(Framing, ObjectsSeparatedByNewlines) {
    client_.SendRaw(kPing + "\n" + kPing + "\n" + kPing + "\n");
    ExpectReplies({kPong, kPong, kPong});
}

TEST_F(Framing, BracesInsideStringValues) {
    client_.SendRaw(R"({"command":"ping","x":"{"}{"command":"ping","y":"}}"})");
    ExpectReplies({kPong, kPong});
}

TEST_F(Framing, ObjectSplitOverSeveralWritesWithPauses) {
    const std::string message = R"({"command":"ping","description":"Home|{X}|"})";
    for (std::size_t at = 0; at < message.size(); at += 7) {
        client_.SendRaw(message.substr(at, 7));
        // A pause, so the server sees the pieces in separate reads.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ExpectReplies({kPong});
}

TEST_F(Framing, FiveMebibyteObjectArrivesWhole) {
    const std::string padding(5 * 1024 * 1024, 'x');
    client_.SendRaw(R"({"command":"ping","padding":")" + padding + R"("})");
    ExpectReplies({kPong});
}

TEST_F(Framing, GarbageAndBrokenJsonAreDroppedAndTheNextObjectIsAnswered) {
    client_.SendRaw("hello " + std::string(R"({"command": pong})") + " } " + kPing);
    ExpectReplies({kPong});
    EXPECT_TRUE(server_.WaitForStderr("Dropped a message that is not valid JSON"));
    EXPECT_TRUE(server_.WaitForStderr("Dropped 5 bytes outside any JSON object"));
}

TEST_F(Framing, DeeplyNestedMessagesAreDroppedBeforeTheyAreParsed) {
    const std::size_t levels = 100000;
    client_.SendRaw(R"({"command":1,"x":)" + std::string(levels, '[') + std::string(levels, ']') +
                    "}" + kPing);
    ExpectReplies({kPong});
    EXPECT_TRUE(server_.WaitForStderr("nested deeper than 512 levels"));
    // One line for the message; nothing of it reaches the dispatcher.
    const std::string errors = server_.Stderr();
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
}

TEST_F(Framing, ValuesThatAreNotObjectsAreDropped) {
    client_.SendRaw(R"([{"command":"ping"}] "ping" 42 true null)");
    ExpectReplies({});
}

TEST_F(Framing, ObjectsWithoutAStringCommandAreDropped) {
    client_.SendRaw(R"({"data":1}{"command":17}{"command":["ping"]}{"command":null})");
    ExpectReplies({});
    EXPECT_TRUE(server_.WaitForStderr("Dropped command {\"data\":1}"));
}

TEST_F(Framing, UnknownCommandsAreIgnoredSilently) {
    client_.SendRaw(R"({"command":"noSuchCommand"}{"command":"PING"})");
    ExpectReplies({});
    EXPECT_EQ(server_.Stderr(), "");
    EXPECT_TRUE(server_.IsRunning());
}
