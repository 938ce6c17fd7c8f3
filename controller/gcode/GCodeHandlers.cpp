// The handler table and the task trees of the supported codes: each line
// becomes a T_GCode parent carrying its text, with children that do the work.
#include "GCodeManager.h"

#include "T_DefinePosition.h"
#include "T_GCode.h"
#include "T_MotorOff.h"
#include "T_ServoHere.h"
#include "T_Wait.h"
#include "TaskManager.h"
#include "Utilities.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <boost/weak_ptr.hpp>

using nlohmann::json;

namespace {

// The axes in the order that every handler walks them.
const std::vector<std::string> kAxes = {"X", "Y", "Z", "E"};

// The axes of `candidates` that stand on the line, or all of them when none does.
std::vector<std::string> ChosenAxes(const GCode& line, const std::vector<std::string>& candidates) {
    std::vector<std::string> chosen;
    for (const auto& axis : candidates) {
        if (line.HasParameter(axis)) {
            chosen.push_back(axis);
        }
    }
    return chosen.empty() ? candidates : chosen;
}

// "{X}{Y}" for the given axes.
std::string AxesText(const std::vector<std::string>& axes) {
    std::string text;
    for (const auto& axis : axes) {
        text += "{" + axis + "}";
    }
    return text;
}

// Truncates toward zero into a 32-bit count; values beyond it saturate, so a
// huge dwell or position cannot wrap into a small or negative one.
int32_t TruncateToInt32(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= 2147483647.0) {
        return std::numeric_limits<int32_t>::max();
    }
    if (value <= -2147483648.0) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(value);
}

}  // namespace

void GCodeManager::BuildHandlerTable() {
    auto entry = [this](std::vector<std::string> codes,
                        boost::shared_ptr<Task> (GCodeManager::*member)(GCode)) {
        handlers_.push_back(
            {std::move(codes), [this, member](GCode line) { return (this->*member)(line); }});
    };
    entry({"G4"}, &GCodeManager::Handle_G4);
    entry({"G90"}, &GCodeManager::Handle_G90);
    entry({"G92"}, &GCodeManager::Handle_G92);
    entry({"M17"}, &GCodeManager::Handle_M17);
    entry({"M18", "M84"}, &GCodeManager::Handle_M18);
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

boost::shared_ptr<Task> GCodeManager::Handle_G4(GCode line) {
    int32_t ms = 0;
    std::string dwell;
    if (line.HasParameter("S")) {
        const double seconds = line.GetParameter("S");
        ms = TruncateToInt32(seconds * 1000.0);
        dwell = FormatNumber(seconds, 1) + (ms == 1000 ? " second" : " seconds");
    } else {
        const double milliseconds = line.GetParameter("P");
        ms = TruncateToInt32(milliseconds);
        dwell = FormatNumber(milliseconds, 1) + " ms";
    }
    auto parent = MakeParent(line, "Dwell|~2{" + dwell + "}");
    parent->AddParallelTask(TaskManager::CreateTask<T_Wait>(json{{"ms", ms}}));
    return parent;
}

boost::shared_ptr<Task> GCodeManager::Handle_G92(GCode line) {
    std::vector<std::string> axes;
    for (const auto& axis : kAxes) {
        if (line.HasParameter(axis)) {
            axes.push_back(axis);
        }
    }
    auto parent = MakeParent(line, "Define Position||" + AxesText(axes) + "|");
    for (const auto& axis : axes) {
        const int32_t counts = TruncateToInt32(line.GetParameter(axis) * GetAxisResolution(axis));
        parent->AddParallelTask(
            TaskManager::CreateTask<T_DefinePosition>(json{{"axis", axis}, {"value", counts}}));
    }
    return parent;
}

boost::shared_ptr<Task> GCodeManager::Handle_M17(GCode line) {
    return MakeStepperTask(line, true);
}

boost::shared_ptr<Task> GCodeManager::Handle_M18(GCode line) {
    return MakeStepperTask(line, false);
}

boost::shared_ptr<Task> GCodeManager::MakeStepperTask(GCode line, bool enable) {
    const auto axes = ChosenAxes(line, kAxes);
    auto parent = MakeParent(
        line, std::string(enable ? "Stepper Enable|" : "Stepper Disable|") + AxesText(axes) + "|");
    for (const auto& axis : axes) {
        const json data = {{"axis", axis}};
        parent->AddParallelTask(enable ? TaskManager::CreateTask<T_ServoHere>(data)
                                       : TaskManager::CreateTask<T_MotorOff>(data));
    }
    return parent;
}
