// The handler table and the task trees of the supported codes: each line
// becomes a T_GCode parent carrying its text, with children that do the work.
#include "GCodeManager.h"

#include "T_BedLevel.h"
#include "T_DefinePosition.h"
#include "T_GCode.h"
#include "T_Home.h"
#include "T_LinearGroup.h"
#include "T_LinearMove.h"
#include "T_MotorOff.h"
#include "T_ServoHere.h"
#include "T_SetFanSpeed.h"
#include "T_SetTemperature.h"
#include "T_Wait.h"
#include "T_WaitForTemperature.h"
#include "TaskManager.h"
#include "TemperatureConversion.h"
#include "Utilities.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>

using nlohmann::json;

namespace {

// The axes in the order that every handler walks them.
const std::vector<std::string> kAxes = {"X", "Y", "Z", "E"};
// Heater letters: the hot end and the bed.
const std::string kHotEnd = "A";
const std::string kBed = "B";
// The part fan's number on the temperature controller.
constexpr int kPartFan = 6;

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
    entry({"G28"}, &GCodeManager::Handle_G28);
    entry({"G29"}, &GCodeManager::Handle_G29);
    entry({"G90"}, &GCodeManager::Handle_G90);
    entry({"G92"}, &GCodeManager::Handle_G92);
    entry({"M17"}, &GCodeManager::Handle_M17);
    entry({"M18", "M84"}, &GCodeManager::Handle_M18);
    entry({"M104"}, &GCodeManager::Handle_M104);
    entry({"M106"}, &GCodeManager::Handle_M106);
    entry({"M107"}, &GCodeManager::Handle_M107);
    entry({"M109"}, &GCodeManager::Handle_M109);
    entry({"M140"}, &GCodeManager::Handle_M140);
    entry({"M190"}, &GCodeManager::Handle_M190);
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
    return boost::make_shared<T_GCode>(line.GetLine(), line.GetLineNumber(), description);
}

boost::shared_ptr<Task> GCodeManager::Handle_G90(GCode line) {
    // The axes' modes are fixed; the line is shown and changes nothing.
    return MakeParent(line, "~3Absolute Positioning");
}

boost::shared_ptr<Task> GCodeManager::Handle_G29(GCode line) {
    auto parent = MakeParent(line, "Level Bed||");
    parent->AddParallelTask(TaskManager::CreateTask<T_BedLevel>(GetBedLevelSettings(true, true)));
    return parent;
}

void GCodeManager::StartPendingGroup() {
    if (pending_group_) {
        return;
    }
    json data = {{"description", "Linear Group||"}};
    for (const auto& axis : kAxes) {
        data["resolution" + axis] = GetAxisResolution(axis);
    }
    pending_group_ = boost::make_shared<T_LinearGroup>(boost::make_shared<json>(std::move(data)));
}

void GCodeManager::AddPendingMove(const GCode::Words& words) {
    try {
        // Made before the first move is read, so that the group's id comes
        // before the ids kept for its moves.
        StartPendingGroup();
        MoveValues move;
        for (int i = 0; i < MoveValues::kAxes; ++i) {
            if (const GCode::Word* word = words.Find(kAxes[i][0])) {
                move.Set(i, GCode::ReadNumber(word->value));
            }
        }
        if (const GCode::Word* feed = words.Find('F')) {
            feedrate_ = GCode::ReadNumber(feed->value);  // modal: holds for later lines too
        }
        move.feed = feedrate_;
        pending_group_->AddMove(move);
        ++pending_moves_;
    } catch (...) {
        // A line whose value cannot be read fails its group, and no move of it
        // may stay behind for a later one.
        pending_group_.reset();
        pending_moves_ = 0;
        throw;
    }
}

boost::shared_ptr<Task> GCodeManager::MakeLinearGroupTask() {
    StartPendingGroup();
    boost::shared_ptr<T_LinearGroup> group;
    group.swap(pending_group_);
    if (pending_moves_ == 1) {
        group->SetDescription("~3Linear Move");
    }
    pending_moves_ = 0;
    group->ShrinkToFit();
    return group;
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
    // A negative dwell keeps its parameter, which the dwell refuses when it starts.
    parent->AddParallelTask(ms >= 0 ? boost::make_shared<T_Wait>(static_cast<uint32_t>(ms))
                                    : TaskManager::CreateTask<T_Wait>(json{{"ms", ms}}));
    return parent;
}

boost::shared_ptr<Task> GCodeManager::Handle_G28(GCode line) {
    const auto axes = ChosenAxes(line, {"X", "Y", "Z"});
    auto parent = MakeParent(line, "Home|" + AxesText(axes) + "|");
    // Weak: the parent owns its children, and so their callbacks.
    const boost::weak_ptr<Task> weak_parent = parent;
    for (const auto& axis : axes) {
        auto home = TaskManager::CreateTask<T_Home>(json{{"axis", axis}});
        home->AddOnCancel([weak_parent] {
            if (auto owner = weak_parent.lock()) {
                owner->Cancel("Home X Cancelled");
            }
        });
        parent->AddParallelTask(home);
    }
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

boost::shared_ptr<Task> GCodeManager::Handle_M104(GCode line) {
    return MakeSetTemperatureTask(kHotEnd, line.GetParameter("S"), line);
}

boost::shared_ptr<Task> GCodeManager::Handle_M140(GCode line) {
    return MakeSetTemperatureTask(kBed, line.GetParameter("S"), line);
}

boost::shared_ptr<Task> GCodeManager::Handle_M106(GCode line) {
    if (!line.HasParameter("S")) {
        return Handle_M107(line);
    }
    return MakeFanTask(kPartFan, line.GetParameter("S"), line);
}

boost::shared_ptr<Task> GCodeManager::Handle_M107(GCode line) {
    return MakeFanTask(kPartFan, 0.0, line);
}

boost::shared_ptr<Task> GCodeManager::Handle_M109(GCode line) {
    if (line.HasParameter("S")) {
        return MakeWaitForTemperatureTask(kHotEnd, line.GetParameter("S"), true, line);
    }
    return MakeWaitForTemperatureTask(kHotEnd, line.GetParameter("R"), false, line);
}

boost::shared_ptr<Task> GCodeManager::Handle_M190(GCode line) {
    if (line.HasParameter("S")) {
        return MakeWaitForTemperatureTask(kBed, line.GetParameter("S"), true, line);
    }
    return MakeWaitForTemperatureTask(kBed, line.GetParameter("R"), false, line);
}

boost::shared_ptr<Task> GCodeManager::MakeSetTemperatureTask(std::string heater, double temperature,
                                                             GCode line) {
    auto child = TaskManager::CreateTask<T_SetTemperature>(
        json{{"axis", heater}, {"temperature", temperature}, {"active", temperature != 0.0}});
    // The child describes itself; the line shows the same text.
    auto parent = MakeParent(line, child->GetProperty<std::string>("description"));
    parent->AddParallelTask(child);
    return parent;
}

boost::shared_ptr<Task> GCodeManager::MakeWaitForTemperatureTask(std::string heater, double target,
                                                                 bool heat_only, GCode line) {
    const std::string name = heater == kHotEnd ? "HotEnd" : "Bed";
    const std::string at_least = heat_only ? "\u2265" : "";
    auto parent = MakeParent(
        line, "Wait for|{" + name + "}|{" + at_least + FormatNumber(target, 2) + "\u00b0C}");
    parent->AddParallelTask(TaskManager::CreateTask<T_WaitForTemperature>(
        json{{"axis", heater},
             {"voltage", TemperatureToAnalogVolts(target)},
             {"target", target},
             {"heat_only", heat_only}}));
    return parent;
}

boost::shared_ptr<Task> GCodeManager::MakeFanTask(int fan, double speed, GCode line) {
    const double percentage = std::round(speed / 255.0 * 100.0 * 10.0) / 10.0;
    auto child = TaskManager::CreateTask<T_SetFanSpeed>(
        json{{"fan", fan}, {"percentage", percentage}, {"speed", speed}});
    auto parent = MakeParent(line, child->GetProperty<std::string>("description"));
    parent->AddParallelTask(child);
    return parent;
}
