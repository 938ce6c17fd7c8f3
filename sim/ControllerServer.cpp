#include "ControllerServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <string>

namespace sim {
namespace {

// Small send buffers keep a slow record reader close to the present.
constexpr int kSendBufferBytes = 64 * 1024;

}  // namespace

ControllerServer::ControllerServer(CommandSink& sink, uint16_t port) : sink_(sink) {
    Listen(port);
}

void ControllerServer::Listen(uint16_t port) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) {
        throw std::runtime_error("cannot create a socket");
    }
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof(address);
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listen_fd_, 16) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(listen_fd_);
        listen_fd_ = -1;
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
    }
    port_ = ntohs(address.sin_port);
}

ControllerServer::~ControllerServer() {
    Stop();
    if (listen_fd_ >= 0) {
        close(listen_fd_);
    }
}

void ControllerServer::Start() {
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

void ControllerServer::Stop() {
    stopping_ = true;
    {
        std::lock_guard<std::mutex> lock(listener_mutex_);
        StopAccepting();
    }
    SetReplyStall(false);
    std::vector<std::shared_ptr<ServerConnection>> connections;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connections.swap(connections_);
        due_.clear();
    }
    for (auto& connection : connections) {
        connection->Cut();
    }
    for (auto& connection : connections) {
        connection->Join();
    }
}

void ControllerServer::AcceptLoop() {
    while (!stopping_) {
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            break;
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSendBufferBytes, sizeof(kSendBufferBytes));
        auto connection = std::make_shared<ServerConnection>(fd, *this, sink_);
        ReapFinished();
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            break;
        }
        connections_.push_back(connection);
        connection->Start();
    }
}

void ControllerServer::ReapFinished() {
    std::vector<std::shared_ptr<ServerConnection>> finished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto done = std::stable_partition(connections_.begin(), connections_.end(),
                                          [](const auto& c) { return !c->Finished(); });
        finished.assign(done, connections_.end());
        connections_.erase(done, connections_.end());
    }
    // Joined outside the lock: a finished connection's writer may still be leaving.
    for (auto& connection : finished) {
        connection->Cut();
        connection->Join();
    }
}

void ControllerServer::StopAccepting() {
    if (listen_fd_ >= 0) {
        shutdown(listen_fd_, SHUT_RDWR);
    }
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
}

void ControllerServer::RefuseConnections(bool refuse) {
    std::lock_guard<std::mutex> lock(listener_mutex_);
    if (refuse == refusing_ || stopping_) {
        return;
    }
    refusing_ = refuse;
    if (refuse) {
        StopAccepting();
        close(listen_fd_);
        listen_fd_ = -1;
        CutConnections();
        return;
    }
    Listen(port_);
    Start();
}

bool ControllerServer::RecordDue(uint64_t sample) {
    std::lock_guard<std::mutex> lock(mutex_);
    due_.clear();
    if (record_stall_ || TimedStall()) {
        return false;
    }
    for (auto& connection : connections_) {
        if (connection->IsStream() && connection->RecordDue(sample)) {
            due_.push_back(connection);
        }
    }
    return !due_.empty();
}

void ControllerServer::DeliverRecord(const RecordBytes& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& connection : due_) {
        connection->PushRecord(record);
    }
    due_.clear();
}

size_t ControllerServer::StreamCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::count_if(connections_.begin(), connections_.end(),
                         [](const auto& c) { return c->IsStream() && !c->IsCut(); });
}

bool ControllerServer::WaitForStreams(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return rate_changed_.wait_for(lock, timeout, [&] {
        return static_cast<size_t>(std::count_if(connections_.begin(), connections_.end(),
                                                 [](const auto& c) { return c->IsStreaming(); })) >=
               count;
    });
}

void ControllerServer::NoteRateChange() {
    std::lock_guard<std::mutex> lock(mutex_);
    rate_changed_.notify_all();
}

void ControllerServer::CutRecordStreams() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& connection : connections_) {
        if (connection->IsStream()) {
            connection->Cut();
        }
    }
}

void ControllerServer::CutConnections() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& connection : connections_) {
        connection->Cut();
    }
}

void ControllerServer::SetReplyStall(bool stalled) {
    std::lock_guard<std::mutex> lock(stall_mutex_);
    reply_stall_ = stalled;
    stall_changed_.notify_all();
}

void ControllerServer::SetRecordStall(bool stalled) {
    record_stall_ = stalled;
}

void ControllerServer::WaitWhileRepliesStalled(const ServerConnection& connection) {
    WaitWhile(connection, [this] { return reply_stall_ || TimedStall(); });
}

void ControllerServer::HoldReply(const ServerConnection& connection,
                                 std::chrono::milliseconds hold) {
    const auto until = std::chrono::steady_clock::now() + hold;
    WaitWhile(connection, [until] { return std::chrono::steady_clock::now() < until; });
}

void ControllerServer::WaitWhile(const ServerConnection& connection,
                                 const std::function<bool()>& blocked) {
    std::unique_lock<std::mutex> lock(stall_mutex_);
    // A cut connection or a stopping server ends the wait; the periodic check
    // catches a Cut and the end of a timed hold, which signal nothing.
    while (blocked() && !connection.IsCut() && !stopping_) {
        stall_changed_.wait_for(lock, std::chrono::milliseconds(5));
    }
}

void ControllerServer::StallFor(std::chrono::milliseconds duration) {
    const auto until = std::chrono::steady_clock::now() + duration;
    stall_until_ns_ =
        std::chrono::duration_cast<std::chrono::nanoseconds>(until.time_since_epoch()).count();
}

bool ControllerServer::TimedStall() const {
    const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return now.count() < stall_until_ns_.load();
}

}  // namespace sim
