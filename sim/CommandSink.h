// Where a controller's network side hands the command lines it receives.
#pragma once

#include <string>

#include "CommandReply.h"

namespace sim {

// Executes one command line (without its "\r") and says what to answer.
class CommandSink {
  public:
    virtual ~CommandSink() = default;
    // Called on a connection thread; must never block for long.
    virtual CommandReply Execute(const std::string& line) = 0;
    // A line too long to be a command arrived; it is answered with "?".
    virtual void NoteOverlongLine() = 0;
};

}  // namespace sim
