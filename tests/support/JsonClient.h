// A test client of the JSON API over TCP, with the server's own framing to
// read its replies.
#pragma once

#include "MessageFramer.h"

#include <chrono>
#include <deque>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

class JsonClient {
  public:
    // Connects to 127.0.0.1:port; throws when it cannot.
    explicit JsonClient(unsigned short port);
    ~JsonClient();
    JsonClient(const JsonClient&) = delete;
    JsonClient& operator=(const JsonClient&) = delete;

    void SendRaw(const std::string& bytes);
    void Send(const nlohmann::json& message) { SendRaw(message.dump()); }
    // The next reply, or no value when none arrives in time.
    std::optional<nlohmann::json> Receive(
        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The raw text of the next reply.
    std::optional<std::string> ReceiveText(
        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Sends a ping and reads replies up to its pong: proves that everything
    // sent before has been handled. Returns the replies before the pong.
    std::deque<std::string> Sync(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Closes the connection normally.
    void Close();
    // Closes with SO_LINGER 0, so the server sees a reset.
    void Reset();

  private:
    int fd_ = -1;
    MessageFramer framer_;
    std::deque<std::string> received_;
};
