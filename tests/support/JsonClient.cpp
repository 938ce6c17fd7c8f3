#include "JsonClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

JsonClient::JsonClient(unsigned short port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd_);
        fd_ = -1;
        throw std::runtime_error("cannot connect to port " + std::to_string(port));
    }
    int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

JsonClient::~JsonClient() {
    Close();
}

void JsonClient::SendRaw(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            throw std::runtime_error("send failed");
        }
        sent += static_cast<std::size_t>(n);
    }
}

std::optional<std::string> JsonClient::ReceiveText(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (received_.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd descriptor{fd_, POLLIN, 0};
        if (left.count() <= 0 || poll(&descriptor, 1, static_cast<int>(left.count())) <= 0) {
            return std::nullopt;
        }
        char buffer[65536];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return std::nullopt;
        }
        framer_.Feed(
            std::string_view(buffer, static_cast<std::size_t>(n)),
            [this](std::string&& text) { received_.push_back(std::move(text)); },
            [](const std::string&) {});
    }
    std::string text = std::move(received_.front());
    received_.pop_front();
    return text;
}

std::optional<nlohmann::json> JsonClient::Receive(std::chrono::milliseconds timeout) {
    const auto text = ReceiveText(timeout);
    return text ? std::optional(nlohmann::json::parse(*text)) : std::nullopt;
}

std::deque<std::string> JsonClient::Sync(std::chrono::milliseconds timeout) {
    SendRaw(R"({"command":"ping"})");
    std::deque<std::string> before;
    while (auto text = ReceiveText(timeout)) {
        if (*text == R"({"command":"pong"})") {
            return before;
        }
        before.push_back(*text);
    }
    throw std::runtime_error("no pong from the server");
}

void JsonClient::Close() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

void JsonClient::Reset() {
    if (fd_ >= 0) {
        linger option{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
        Close();
    }
}
