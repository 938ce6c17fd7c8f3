#include "TemperatureCommandSet.h"

#include "CommandText.h"
#include "ControllerError.h"

namespace sim {
namespace {

// Highest set-point taken, degrees Celsius.
constexpr double kMaxSetPointC = 400.0;

}  // namespace

CommandReply TemperatureCommandSet::Execute(const std::string& line, PrinterModel& model) const {
    std::string text = CommandText::Trim(line);
    if (text.empty()) {
        return CommandReply::Ok();
    }
    size_t equals = text.find('=');
    if (equals != std::string::npos) {
        std::string name = CommandText::Trim(text.substr(0, equals));
        if (ControllerMemory::ValidName(name)) {
            return Assign(name, text.substr(equals + 1), model);
        }
        return Reject(ControllerError::kUnknownCommand);
    }
    if (text.compare(0, 2, "PM") == 0) {
        return PowerMode(CommandText::Trim(text.substr(2)), model);
    }
    if (text.compare(0, 2, "MG") == 0) {
        return Message(CommandText::Trim(text.substr(2)), model);
    }
    return Reject(ControllerError::kUnknownCommand);
}

CommandReply TemperatureCommandSet::Assign(const std::string& name, const std::string& value_text,
                                           PrinterModel& model) const {
    double value = 0.0;
    if (!CommandText::ParseNumber(value_text, &value)) {
        return Reject(ControllerError::kBadArgument);
    }
    bool set_point = name == "setext" || name == "setbed";
    if (set_point && (value < 0.0 || value > kMaxSetPointC)) {
        return Reject(ControllerError::kOutOfRange);
    }
    if (name == "setext") {
        model.HotEnd().SetTarget(value);
    } else if (name == "setbed") {
        model.Bed().SetTarget(value);
    } else if (name == "speed") {
        model.SetFanSpeed(value);
    }
    model.TemperatureMemory().SetVariable(name, value);
    return CommandReply::Ok();
}

CommandReply TemperatureCommandSet::PowerMode(const std::string& args, PrinterModel& model) const {
    AxisValues values;
    if (args.empty() || !CommandText::ParseAxisValues(args, &values) || values[2]) {
        return Reject(ControllerError::kBadArgument);
    }
    if (values[0] && *values[0] == 0.0) {
        model.HotEnd().TurnOff();
        model.TemperatureMemory().SetVariable("setext", 0.0);
    }
    if (values[1] && *values[1] == 0.0) {
        model.Bed().TurnOff();
        model.TemperatureMemory().SetVariable("setbed", 0.0);
    }
    return CommandReply::Ok();
}

CommandReply TemperatureCommandSet::Message(const std::string& args, PrinterModel& model) const {
    double value = 0.0;
    if (!ControllerMemory::ValidName(args)) {
        return Reject(ControllerError::kBadArgument);
    }
    if (!model.TemperatureMemory().GetVariable(args, &value)) {
        return Reject(ControllerError::kUnknownVariable);
    }
    return CommandReply::Ok(CommandText::FormatNumber(value));
}

}  // namespace sim
