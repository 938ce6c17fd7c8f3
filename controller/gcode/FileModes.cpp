#include "FileModes.h"

void FileModes::Reset() {
    absolute_extruder_.clear();
    relative_axes_.clear();
    halted_ = false;
}

void FileModes::Follow(const GCode::Words& words, const std::string& mode_error) {
    if (words.CommandIs("M82")) {
        absolute_extruder_ = mode_error;
    } else if (words.CommandIs("M83")) {
        absolute_extruder_.clear();
    } else if (words.CommandIs("G91")) {
        relative_axes_ = mode_error;
    } else if (words.CommandIs("G90")) {
        relative_axes_.clear();
    }
}

const std::string* FileModes::Halts(const GCode::Words& move) {
    // The program halts at the first such move: nothing behind it runs.
    if (halted_) {
        return nullptr;
    }
    const std::string* error = nullptr;
    if (!absolute_extruder_.empty() && move.Gives('E')) {
        error = &absolute_extruder_;
    } else if (!relative_axes_.empty() && (move.Gives('X') || move.Gives('Y') || move.Gives('Z'))) {
        error = &relative_axes_;
    }
    halted_ = error != nullptr;
    return error;
}
