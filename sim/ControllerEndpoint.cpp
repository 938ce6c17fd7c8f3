#include "ControllerEndpoint.h"

#include <algorithm>

#include "ControllerError.h"

namespace sim {
namespace {

// Lines kept in the log; older ones are forgotten (a long print sends many).
constexpr size_t kMaxLogLines = 200000;

}  // namespace

ControllerEndpoint::ControllerEndpoint(Executor execute) : execute_(std::move(execute)) {}

CommandReply ControllerEndpoint::Execute(const std::string& line) {
    CommandReply reply = Answer(line);
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.Apply(line, &reply);
    return reply;
}

CommandReply ControllerEndpoint::Answer(const std::string& line) {
    std::string error;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.push_back(line);
        if (log_.size() > kMaxLogLines) {
            log_.pop_front();
        }
        logged_.notify_all();
        if (ForcedRejection(line, &error)) {
            last_error_ = error;
            return CommandReply::Rejected(error);
        }
        if (line == "TC1") {
            return CommandReply::Ok(last_error_);
        }
        if (line == "TC" || line == "TC0") {
            return CommandReply::Ok(last_error_.substr(0, last_error_.find(' ')));
        }
    }
    CommandReply reply = execute_(line);
    if (!reply.accepted) {
        std::lock_guard<std::mutex> lock(mutex_);
        last_error_ = reply.error;
    }
    return reply;
}

void ControllerEndpoint::NoteOverlongLine() {
    std::lock_guard<std::mutex> lock(mutex_);
    last_error_ = ErrorText(ControllerError::kLineTooLong);
}

bool ControllerEndpoint::ForcedRejection(const std::string& line, std::string* error) {
    if (!reject_next_.empty()) {
        *error = reject_next_.front();
        reject_next_.pop_front();
        return true;
    }
    for (const auto& rule : reject_named_) {
        if (MatchesPattern(rule.first, line)) {
            *error = rule.second;
            return true;
        }
    }
    return false;
}

std::vector<std::string> ControllerEndpoint::CommandLog() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<std::string>(log_.begin(), log_.end());
}

void ControllerEndpoint::ClearCommandLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
}

bool ControllerEndpoint::WaitForCommand(const std::string& command,
                                        std::chrono::milliseconds timeout, size_t count) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return logged_.wait_for(lock, timeout, [&] {
        return static_cast<size_t>(std::count(log_.begin(), log_.end(), command)) >= count;
    });
}

void ControllerEndpoint::RejectNext(const std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    reject_next_.push_back(error);
}

void ControllerEndpoint::RejectCommand(const std::string& command, const std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    reject_named_[command] = error;
}

void ControllerEndpoint::ClearRejections() {
    std::lock_guard<std::mutex> lock(mutex_);
    reject_next_.clear();
    reject_named_.clear();
}

void ControllerEndpoint::HoldReplies(const std::string& pattern, std::chrono::milliseconds hold,
                                     size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.Hold(pattern, hold, count);
}

void ControllerEndpoint::GarbleReplies(const std::string& pattern, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.Garble(pattern, text);
}

void ControllerEndpoint::CloseAfter(const std::string& pattern) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.CloseAfter(pattern);
}

void ControllerEndpoint::ClearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    reject_next_.clear();
    reject_named_.clear();
    faults_.Clear();
}

}  // namespace sim
