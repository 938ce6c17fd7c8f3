#include "ZConnection.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace zen {
namespace {

// Longest reply kept; a longer one is read to its end and cut.
constexpr size_t kMaxReplyBytes = 65536;
constexpr char kReplyEnd[] = "\r\n:";

bool EndsWithPrompt(const std::string& reply) {
    return reply.size() >= 3 && reply.compare(reply.size() - 3, 3, kReplyEnd) == 0;
}

}  // namespace

ZConnection::ZConnection(const ZAddress& address) : address_(address) {}

Deadline ZConnection::CallDeadline() const {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(address_.timeout_ms);
}

ZReturnCode ZConnection::Open() {
    Deadline deadline = CallDeadline();
    ZReturnCode rc = command_socket_.Connect(address_.host, address_.port, deadline);
    if (rc != Z_OK || !address_.stream) {
        return rc;
    }
    rc = record_socket_.Connect(address_.host, address_.port, deadline);
    if (rc != Z_OK) {
        return rc;
    }
    static const char kHello[] = "#STREAM\r";
    return record_socket_.WriteAll(kHello, sizeof(kHello) - 1, deadline);
}

ZReturnCode ZConnection::ReconnectCommandChannel(Deadline deadline) {
    command_socket_.Close();
    ZReturnCode rc = command_socket_.Connect(address_.host, address_.port, deadline);
    if (rc == Z_OK) {
        command_stale_ = false;
    }
    return rc == Z_ERR_CONNECTION_REFUSED ? Z_ERR_CONNECTION_LOST : rc;
}

ZReturnCode ZConnection::ReadReply(Deadline deadline, std::string* reply) {
    char chunk[1024];
    std::string tail;  // the last bytes seen, to find the prompt after the cut
    size_t total = 0;
    for (;;) {
        size_t count = 0;
        ZReturnCode rc = command_socket_.ReadSome(chunk, sizeof(chunk), deadline, &count);
        if (rc != Z_OK) {
            return rc;
        }
        if (total == 0 && chunk[0] == '?') {
            return Z_ERR_COMMAND_REJECTED;
        }
        total += count;
        size_t room = kMaxReplyBytes - std::min(kMaxReplyBytes, reply->size());
        reply->append(chunk, std::min(room, count));
        tail.append(chunk, count);
        if (tail.size() > 3) {
            tail.erase(0, tail.size() - 3);
        }
        if (EndsWithPrompt(tail)) {
            if (!EndsWithPrompt(*reply)) {
                reply->replace(reply->size() - 3, 3, kReplyEnd);
            }
            return Z_OK;
        }
    }
}

ZReturnCode ZConnection::Command(const char* command, char* reply, ZSize reply_size,
                                 ZSize* bytes_returned) {
    if (command == nullptr || bytes_returned == nullptr || (reply == nullptr && reply_size > 0) ||
        std::strpbrk(command, "\r\n") != nullptr) {
        return Z_ERR_BAD_ARGUMENT;
    }
    *bytes_returned = 0;
    std::lock_guard<std::mutex> lock(command_mutex_);
    Deadline deadline = CallDeadline();
    if (command_stale_) {
        ZReturnCode rc = ReconnectCommandChannel(deadline);
        if (rc != Z_OK) {
            return rc;
        }
    }
    std::string line = std::string(command) + "\r";
    ZReturnCode rc = command_socket_.WriteAll(line.data(), line.size(), deadline);
    std::string text;
    if (rc == Z_OK) {
        rc = ReadReply(deadline, &text);
    }
    if (rc == Z_ERR_TIMEOUT) {
        command_stale_ = true;
    }
    if (rc != Z_OK) {
        return rc;
    }
    ZSize count = static_cast<ZSize>(std::min<size_t>(text.size(), reply_size));
    if (count > 0) {
        std::memcpy(reply, text.data(), count);
    }
    if (count < reply_size) {
        reply[count] = '\0';
    }
    *bytes_returned = count;
    return Z_OK;
}

ZReturnCode ZConnection::SetRecordRate(double period) {
    if (!address_.stream) {
        return Z_ERR_NO_STREAM;
    }
    if (!std::isfinite(period) || period < 0.0 || period > 1.0e9) {
        return Z_ERR_BAD_ARGUMENT;
    }
    char line[64];
    int length = std::snprintf(line, sizeof(line), "#RATE %.6g\r", period);
    std::lock_guard<std::mutex> lock(record_write_mutex_);
    return record_socket_.WriteAll(line, static_cast<size_t>(length), CallDeadline());
}

ZReturnCode ZConnection::ReadRecord(ZDataRecord* record) {
    if (!address_.stream) {
        return Z_ERR_NO_STREAM;
    }
    std::lock_guard<std::mutex> lock(record_read_mutex_);
    Deadline deadline = CallDeadline();
    // A record cut by a timeout stays half-filled, so the stream keeps its framing.
    while (record_filled_ < sizeof(record_bytes_)) {
        size_t count = 0;
        ZReturnCode rc =
            record_socket_.ReadSome(record_bytes_ + record_filled_,
                                    sizeof(record_bytes_) - record_filled_, deadline, &count);
        if (rc != Z_OK) {
            return rc;
        }
        record_filled_ += count;
    }
    std::memcpy(record->bytes, record_bytes_, sizeof(record_bytes_));
    record_filled_ = 0;
    return Z_OK;
}

void ZConnection::Shutdown() {
    command_socket_.Shutdown();
    record_socket_.Shutdown();
}

}  // namespace zen
