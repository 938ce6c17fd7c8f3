// What a controller answers to one command line.
#pragma once

#include <chrono>
#include <string>

namespace sim {

// An accepted command with its output, or a rejection.
struct CommandReply {
    bool accepted = true;  // false: the controller answers "?"
    std::string output;    // text before the "\r\n:" prompt (accepted only)
    std::string error;     // "<number> <message>" that "TC1" reports (rejected only)
    // Fault hooks: how long the answer waits, and whether the connection is
    // closed instead of answering.
    std::chrono::milliseconds hold{0};
    bool close_connection = false;

    // An accepted command with the given output.
    static CommandReply Ok(std::string text = "") {
        return CommandReply{true, std::move(text), "", {}, false};
    }
    // A rejected command with the error text "TC1" will report.
    static CommandReply Rejected(std::string error) {
        return CommandReply{false, "", std::move(error), {}, false};
    }
};

}  // namespace sim
