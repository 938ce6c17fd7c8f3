// The test hooks that change how a controller answers: held, garbled and
// dropped replies, by command pattern.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "CommandReply.h"

namespace sim {

// True when `line` matches `pattern`: the line itself, or any line starting
// with the pattern's text when it ends in "*" ("*" alone matches every line).
bool MatchesPattern(const std::string& pattern, const std::string& line);

// Rules that hold a reply back, replace its text or close the connection
// after the command. Not thread-safe: the endpoint guards it.
class ReplyFaults {
  public:
    // The next `count` matching lines get their replies `hold` late.
    void Hold(const std::string& pattern, std::chrono::milliseconds hold, size_t count);
    // Matching lines answer `text` instead of their own output.
    void Garble(const std::string& pattern, const std::string& text);
    // The next matching line closes its connection instead of being answered.
    void CloseAfter(const std::string& pattern);
    // Forgets every rule.
    void Clear();

    // Applies the rules to the reply of `line` (an accepted or rejected one).
    void Apply(const std::string& line, CommandReply* reply);

  private:
    struct HoldRule {
        std::string pattern;
        std::chrono::milliseconds hold;
        size_t remaining;
    };
    struct GarbleRule {
        std::string pattern;
        std::string text;
    };

    std::vector<HoldRule> holds_;
    std::vector<GarbleRule> garbles_;
    std::vector<std::string> close_after_;
};

}  // namespace sim
