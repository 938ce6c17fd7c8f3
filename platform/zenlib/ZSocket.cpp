#include "ZSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zen {
namespace {

int RemainingMs(Deadline deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
        return 0;
    }
    return left.count() > 3600000 ? 3600000 : static_cast<int>(left.count());
}

bool Resolve(const std::string& host, uint16_t port, sockaddr_in* out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return false;
    }
    std::memcpy(out, found->ai_addr, sizeof(sockaddr_in));
    freeaddrinfo(found);
    out->sin_port = htons(port);
    return true;
}

}  // namespace

ZSocket::~ZSocket() {
    Close();
}

ZReturnCode ZSocket::Connect(const std::string& host, uint16_t port, Deadline deadline) {
    sockaddr_in peer{};
    if (!Resolve(host, port, &peer)) {
        return Z_ERR_BAD_ADDRESS;
    }
    {
        std::lock_guard<std::mutex> lock(fd_mutex_);
        if (shut_ || fd_ >= 0) {
            return Z_ERR_CONNECTION_LOST;
        }
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd_ < 0) {
            return Z_ERR_CONNECTION_LOST;
        }
    }
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (connect(fd_, reinterpret_cast<sockaddr*>(&peer), sizeof(peer)) == 0) {
        return Z_OK;
    }
    if (errno == ECONNREFUSED) {
        return Z_ERR_CONNECTION_REFUSED;
    }
    if (errno != EINPROGRESS) {
        return Z_ERR_CONNECTION_LOST;
    }
    ZReturnCode rc = WaitReady(POLLOUT, deadline);
    if (rc != Z_OK && rc != Z_ERR_CONNECTION_LOST) {
        return rc;
    }
    int error = 0;
    socklen_t length = sizeof(error);
    getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error == ECONNREFUSED) {
        return Z_ERR_CONNECTION_REFUSED;
    }
    return error == 0 ? Z_OK : Z_ERR_CONNECTION_LOST;
}

ZReturnCode ZSocket::WaitReady(short events, Deadline deadline) {
    for (;;) {
        pollfd entry{fd_, events, 0};
        int ready = poll(&entry, 1, RemainingMs(deadline));
        if (ready > 0) {
            // Readable with a hang-up still lets the last bytes be read first.
            if ((entry.revents & events) != 0) {
                return Z_OK;
            }
            return Z_ERR_CONNECTION_LOST;
        }
        if (ready == 0) {
            return Z_ERR_TIMEOUT;
        }
        if (errno != EINTR) {
            return Z_ERR_CONNECTION_LOST;
        }
    }
}

ZReturnCode ZSocket::WriteAll(const void* data, size_t size, Deadline deadline) {
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t sent = send(fd_, next, size, MSG_NOSIGNAL);
        if (sent > 0) {
            next += sent;
            size -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            ZReturnCode rc = WaitReady(POLLOUT, deadline);
            if (rc != Z_OK) {
                return rc;
            }
            continue;
        }
        return Z_ERR_CONNECTION_LOST;
    }
    return Z_OK;
}

ZReturnCode ZSocket::ReadSome(void* data, size_t size, Deadline deadline, size_t* count) {
    for (;;) {
        ssize_t got = recv(fd_, data, size, 0);
        if (got > 0) {
            *count = static_cast<size_t>(got);
            return Z_OK;
        }
        if (got == 0) {
            return Z_ERR_CONNECTION_LOST;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return Z_ERR_CONNECTION_LOST;
        }
        ZReturnCode rc = WaitReady(POLLIN, deadline);
        if (rc != Z_OK) {
            return rc;
        }
    }
}

void ZSocket::Shutdown() {
    std::lock_guard<std::mutex> lock(fd_mutex_);
    shut_ = true;
    if (fd_ >= 0) {
        shutdown(fd_, SHUT_RDWR);
    }
}

void ZSocket::Close() {
    std::lock_guard<std::mutex> lock(fd_mutex_);
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

}  // namespace zen
