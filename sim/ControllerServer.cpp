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
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
    }
    port_ = ntohs(address.sin_port);
}

ControllerServer::~ControllerServer() {
    Stop();
    close(listen_fd_);
}

void ControllerServer::Start() {
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

void ControllerServer::Stop() {
    stopping_ = true;
    shutdown(listen_fd_, SHUT_RDWR);
    if (acceptor_.joinable()) {
        acceptor_.join();
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

bool ControllerServer::RecordDue(uint64_t sample) {
    std::lock_guard<std::mutex> lock(mutex_);
    due_.clear();
    if (record_stall_) {
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
    std::unique_lock<std::mutex> lock(stall_mutex_);
    // A cut connection or a stopping server ends the wait; the periodic check
    // catches a Cut, which does not signal this condition variable.
    while (reply_stall_ && !connection.IsCut() && !stopping_) {
        stall_changed_.wait_for(lock, std::chrono::milliseconds(20));
    }
}

}  // namespace sim
