#include "UdpReceiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

UdpReceiver::UdpReceiver() {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot bind a UDP socket");
    }
    // Status datagrams arrive steadily; a large buffer keeps bursts of task
    // updates from being dropped while a test looks elsewhere.
    int size = 8 * 1024 * 1024;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    port_ = ntohs(address.sin_port);
}

UdpReceiver::~UdpReceiver() {
    close(fd_);
}

std::optional<std::string> UdpReceiver::Receive(std::chrono::milliseconds timeout) {
    pollfd descriptor{fd_, POLLIN, 0};
    if (poll(&descriptor, 1, static_cast<int>(timeout.count())) <= 0) {
        return std::nullopt;
    }
    std::string buffer(65536, '\0');
    const ssize_t n = recv(fd_, buffer.data(), buffer.size(), 0);
    return n < 0 ? std::nullopt : std::optional(buffer.substr(0, static_cast<std::size_t>(n)));
}

std::optional<nlohmann::json> UdpReceiver::ReceiveWhere(
    const std::function<bool(const nlohmann::json&)>& accept, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (auto text = Receive(std::max(std::chrono::milliseconds(0),
                                        std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())))) {
        auto message = nlohmann::json::parse(*text, nullptr, false);
        if (!message.is_discarded() && accept(message)) {
            return message;
        }
    }
    return std::nullopt;
}

std::optional<nlohmann::json> UdpReceiver::ReceiveCommand(const std::string& command,
                                                          std::chrono::milliseconds timeout) {
    return ReceiveWhere(
        [&command](const nlohmann::json& message) {
            return message.is_object() && message.value("command", "") == command;
        },
        timeout);
}
