// The top-level task of one G-code line; its children do the work.
#pragma once

#include "Task.h"

#include <cstdint>
#include <string>

class T_GCode : public Task {
  public:
    // Parameters: "gcode_command", "line_number" (file lines only), "description".
    explicit T_GCode(Parameters data);
    // The task of a line: its normalised text, its number in its file (0 at
    // the terminal) and its description, kept as they are rather than as
    // parameters; a program holds one of these per line.
    T_GCode(std::string gcode_command, uint32_t line_number, std::string description);

    // Adds "gcode_command", "line_number" and "description" when present.
    void FillStatus(nlohmann::json& json) override;

  private:
    std::string gcode_command_;
    std::string description_;
    uint32_t line_number_ = 0;
    bool has_line_ = false;
};
