#include "T_GCode.h"

#include <utility>

T_GCode::T_GCode(Parameters data) : Task("T_GCode", std::move(data)) {}

void T_GCode::FillStatus(nlohmann::json& json) {
    if (HasProperty("gcode_command")) {
        json["gcode_command"] = GetProperty<std::string>("gcode_command");
    }
    if (HasProperty("line_number")) {
        json["line_number"] = GetProperty<std::string>("line_number");
    }
}
