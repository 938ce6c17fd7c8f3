// A UDP socket on 127.0.0.1 that plays the UI's datagram endpoint.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

class UdpReceiver {
  public:
    UdpReceiver();
    ~UdpReceiver();
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    unsigned short Port() const { return port_; }
    // The next datagram's text, or no value when none arrives in time.
    std::optional<std::string> Receive(
        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The first datagram, parsed, for which `accept` holds; others are dropped.
    std::optional<nlohmann::json> ReceiveWhere(
        const std::function<bool(const nlohmann::json&)>& accept,
        std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The first datagram whose "command" is `command`.
    std::optional<nlohmann::json> ReceiveCommand(
        const std::string& command, std::chrono::milliseconds timeout = std::chrono::seconds(10));

  private:
    int fd_ = -1;
    unsigned short port_ = 0;
};
