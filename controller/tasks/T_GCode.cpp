#include "T_GCode.h"

#include <utility>

T_GCode::T_GCode(Parameters data) : Task("T_GCode", std::move(data)) {}

T_GCode::T_GCode(std::string gcode_command, uint32_t line_number, std::string description)
    : Task("T_GCode", Parameters()),
      gcode_command_(std::move(gcode_command)),
      description_(std::move(description)),
      line_number_(line_number),
      has_line_(true) {}

void T_GCode::FillStatus(nlohmann::json& json) {
    if (has_line_) {
        json["description"] = description_;
        json["gcode_command"] = gcode_command_;
        if (line_number_ != 0) {
            json["line_number"] = std::to_string(line_number_);
        }
    }
    if (HasProperty("gcode_command")) {
        json["gcode_command"] = GetProperty<std::string>("gcode_command");
    }
    if (HasProperty("line_number")) {
        json["line_number"] = GetProperty<std::string>("line_number");
    }
}
