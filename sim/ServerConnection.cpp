#include "ServerConnection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "ControllerServer.h"

namespace sim {
namespace {

// Longest command line taken; the controller's own commands are far shorter.
constexpr size_t kMaxLineBytes = 1024;
// Records held for a slow reader before the oldest are dropped.
constexpr size_t kMaxQueuedRecords = 64;
constexpr char kPrompt[] = "\r\n:";

}  // namespace

ServerConnection::ServerConnection(int fd, ControllerServer& server, CommandSink& sink)
    : fd_(fd), server_(server), sink_(sink) {}

ServerConnection::~ServerConnection() {
    Cut();
    Join();
    close(fd_);
}

void ServerConnection::Start() {
    reader_ = std::thread([this] { ReadLoop(); });
}

void ServerConnection::Cut() {
    cut_ = true;
    shutdown(fd_, SHUT_RDWR);
    std::lock_guard<std::mutex> lock(stream_mutex_);
    stream_wake_.notify_all();
}

void ServerConnection::Join() {
    if (reader_.joinable()) {
        reader_.join();
    }
    if (writer_.joinable()) {
        writer_.join();
    }
}

void ServerConnection::ReadLoop() {
    std::string line;
    bool overlong = false;
    char chunk[4096];
    while (!cut_) {
        ssize_t got = recv(fd_, chunk, sizeof(chunk), 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        for (ssize_t i = 0; i < got && !cut_; ++i) {
            char c = chunk[i];
            if (c == '\n') {
                continue;
            }
            if (c != '\r') {
                overlong = overlong || line.size() >= kMaxLineBytes;
                if (!overlong) {
                    line.push_back(c);
                }
                continue;
            }
            if (overlong) {
                if (stream_) {
                    Cut();
                    break;
                }
                first_line_ = false;
                sink_.NoteOverlongLine();
                WriteAll("?", 1);
            } else {
                HandleLine(line);
            }
            line.clear();
            overlong = false;
        }
    }
    cut_ = true;
    {
        std::lock_guard<std::mutex> lock(stream_mutex_);
        stream_wake_.notify_all();
    }
    finished_ = true;
}

void ServerConnection::HandleLine(const std::string& line) {
    if (first_line_) {
        first_line_ = false;
        if (line == "#STREAM") {
            stream_ = true;
            writer_ = std::thread([this] { WriteLoop(); });
            return;
        }
    }
    if (stream_) {
        HandleStreamLine(line);
    } else {
        HandleCommandLine(line);
    }
}

void ServerConnection::HandleStreamLine(const std::string& line) {
    const std::string prefix = "#RATE ";
    char* end = nullptr;
    double period = line.compare(0, prefix.size(), prefix) == 0
                        ? std::strtod(line.c_str() + prefix.size(), &end)
                        : -1.0;
    if (end == nullptr || *end != '\0' || !std::isfinite(period) || period < 0.0 ||
        period > 1.0e9) {
        // Nothing but rate requests belongs on a record stream.
        Cut();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(stream_mutex_);
        period_samples_ = period == 0.0 ? 0 : std::max<uint64_t>(1, std::llround(period));
        due_unset_ = true;
    }
    server_.NoteRateChange();
}

bool ServerConnection::IsStreaming() {
    std::lock_guard<std::mutex> lock(stream_mutex_);
    return stream_ && !cut_ && period_samples_ > 0;
}

void ServerConnection::HandleCommandLine(const std::string& line) {
    CommandReply reply = sink_.Execute(line);
    if (reply.close_connection) {
        Cut();
        return;
    }
    if (reply.hold.count() > 0) {
        server_.HoldReply(*this, reply.hold);
    }
    server_.WaitWhileRepliesStalled(*this);
    if (!reply.accepted) {
        WriteAll("?", 1);
        return;
    }
    std::string text = reply.output + kPrompt;
    WriteAll(text.data(), text.size());
}

bool ServerConnection::RecordDue(uint64_t sample) {
    std::lock_guard<std::mutex> lock(stream_mutex_);
    if (period_samples_ == 0 || cut_) {
        return false;
    }
    if (due_unset_ || sample >= next_due_) {
        due_unset_ = false;
        next_due_ = sample + period_samples_;
        return true;
    }
    return false;
}

void ServerConnection::PushRecord(const RecordBytes& record) {
    std::lock_guard<std::mutex> lock(stream_mutex_);
    if (queue_.size() >= kMaxQueuedRecords) {
        queue_.pop_front();
    }
    queue_.push_back(record);
    stream_wake_.notify_one();
}

void ServerConnection::WriteLoop() {
    for (;;) {
        RecordBytes record;
        {
            std::unique_lock<std::mutex> lock(stream_mutex_);
            stream_wake_.wait(lock, [this] { return cut_ || !queue_.empty(); });
            if (cut_) {
                return;
            }
            record = queue_.front();
            queue_.pop_front();
        }
        if (!WriteAll(record.data(), record.size())) {
            Cut();
            return;
        }
    }
}

bool ServerConnection::WriteAll(const void* data, size_t size) {
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t sent = send(fd_, next, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        next += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

}  // namespace sim
