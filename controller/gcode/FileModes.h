// The axis modes a file being loaded asks for. The machine keeps X, Y, Z
// absolute and E relative; a file that switches one of them ("M82", "G91")
// may still load, as long as no move it holds runs in the other mode.
#pragma once

#include "GCode.h"

#include <string>

class FileModes {
  public:
    // A new file: the machine's own modes.
    void Reset();
    // Follows "M82"/"M83" and "G91"/"G90"; `mode_error` is the validation
    // error of an "M82" or "G91" line, which a move in that mode halts with.
    void Follow(const GCode::Words& words, const std::string& mode_error);
    // The mode error of the first move of the file that its modes would
    // change, or null: for that move, and for none after it.
    const std::string* Halts(const GCode::Words& move);

  private:
    // The error of the mode in force, empty while the machine's own holds.
    std::string absolute_extruder_;
    std::string relative_axes_;
    bool halted_ = false;
};
