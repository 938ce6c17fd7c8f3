// The handler table and the task trees of the supported codes: each line
// becomes a T_GCode parent carrying its text, with children that do the work.
#include "GCodeManager.h"

#include "T_GCode.h"
#include "TaskManager.h"

#include <string>
#include <utility>

using nlohmann::json;

void GCodeManager::BuildHandlerTable() {
    auto entry = [this](std::vector<std::string> codes,
                        boost::shared_ptr<Task> (GCodeManager::*member)(GCode)) {
        handlers_.push_back(
            {std::move(codes), [this, member](GCode line) { return (this->*member)(line); }});
    };
    entry({"G90"}, &GCodeManager::Handle_G90);
}

json GCodeManager::MakeTaskJson(const GCode& line) {
    json data = json::object();
    data["gcode_command"] = line.GetLine();
    if (line.GetLineNumber() != 0) {
        data["line_number"] = std::to_string(line.GetLineNumber());
    }
    return data;
}

boost::shared_ptr<Task> GCodeManager::MakeParent(const GCode& line,
                                                 const std::string& description) {
    auto parent = TaskManager::CreateTask<T_GCode>(MakeTaskJson(line));
    parent->SetDescription(description);
    return parent;
}

boost::shared_ptr<Task> GCodeManager::Handle_G90(GCode line) {
    // The axes' modes are fixed; the line is shown and changes nothing.
    return MakeParent(line, "~3Absolute Positioning");
}
