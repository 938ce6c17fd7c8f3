#include "ReplyFaults.h"

#include <algorithm>

namespace sim {

bool MatchesPattern(const std::string& pattern, const std::string& line) {
    if (!pattern.empty() && pattern.back() == '*') {
        return line.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
    }
    return line == pattern;
}

void ReplyFaults::Hold(const std::string& pattern, std::chrono::milliseconds hold, size_t count) {
    if (count > 0) {
        holds_.push_back(HoldRule{pattern, hold, count});
    }
}

void ReplyFaults::Garble(const std::string& pattern, const std::string& text) {
    garbles_.push_back(GarbleRule{pattern, text});
}

void ReplyFaults::CloseAfter(const std::string& pattern) {
    close_after_.push_back(pattern);
}

void ReplyFaults::Clear() {
    holds_.clear();
    garbles_.clear();
    close_after_.clear();
}

void ReplyFaults::Apply(const std::string& line, CommandReply* reply) {
    for (auto it = holds_.begin(); it != holds_.end(); ++it) {
        if (MatchesPattern(it->pattern, line)) {
            reply->hold = std::max(reply->hold, it->hold);
            if (--it->remaining == 0) {
                holds_.erase(it);
            }
            break;
        }
    }
    for (const GarbleRule& rule : garbles_) {
        if (reply->accepted && MatchesPattern(rule.pattern, line)) {
            reply->output = rule.text;
            break;
        }
    }
    const auto close = std::find_if(close_after_.begin(), close_after_.end(),
                                    [&](const std::string& p) { return MatchesPattern(p, line); });
    if (close != close_after_.end()) {
        reply->close_connection = true;
        close_after_.erase(close);
    }
}

}  // namespace sim
