// The top-level task of one G-code line; its children do the work.
#pragma once

#include "Task.h"

class T_GCode : public Task {
  public:
    // Parameters: "gcode_command", "line_number" (file lines only), "description".
    explicit T_GCode(Parameters data);

    // Adds "gcode_command" and "line_number" when present.
    void FillStatus(nlohmann::json& json) override;
};
