#include "MainCommandSet.h"

#include <cctype>
#include <cmath>

#include "ControllerError.h"

namespace sim {
namespace {

constexpr double kMaxCounts = 2147483647.0;
constexpr double kMaxSpeedCountsS = 1.0e8;

bool IsAxisSetting(const std::string& name) {
    return name == "JG" || name == "DP" || name == "LD" || name == "SP" || name == "PA" ||
           name == "PT" || name == "FL" || name == "ZA";
}

bool IsWhole(double value) {
    return value == std::floor(value);
}

// The letters A..E present in `letters`, as a mask by axis index.
std::array<bool, 5> AxisMask(const std::string& letters) {
    std::array<bool, 5> mask{};
    for (char c : letters) {
        int index = CommandText::AxisIndex(c);
        if (index >= 0) {
            mask[static_cast<size_t>(index)] = true;
        }
    }
    return mask;
}

bool AnyCoordinatedIn(const PrinterModel& model, const std::array<bool, 5>& mask) {
    for (size_t i = 0; i < mask.size(); ++i) {
        if (mask[i] && model.Axes()[i].Coordinated()) {
            return true;
        }
    }
    return false;
}

}  // namespace

CommandReply MainCommandSet::Execute(const std::string& line, PrinterModel& model) const {
    std::string text = CommandText::Trim(line);
    if (text.empty()) {
        return CommandReply::Ok();
    }
    CommandReply reply;
    if (TryAssignment(text, model, &reply)) {
        return reply;
    }
    if (text.size() < 2) {
        return Reject(ControllerError::kUnknownCommand);
    }
    std::string name = text.substr(0, 2);
    std::string args = CommandText::Trim(text.substr(2));
    if (IsAxisSetting(name)) {
        return AxisValueList(name, args, model);
    }
    Handler handler = FindHandler(name);
    if (handler == nullptr) {
        return Reject(ControllerError::kUnknownCommand);
    }
    return (this->*handler)(args, model);
}

MainCommandSet::Handler MainCommandSet::FindHandler(const std::string& name) {
    // Never destroyed: a connection closed at process exit still sends its
    // last commands, possibly after this function's statics are gone.
    static const auto* const kHandlers = new std::map<std::string, Handler>{
        {"SH", &MainCommandSet::ServoHere},
        {"MO", &MainCommandSet::MotorOff},
        {"BG", &MainCommandSet::Begin},
        {"ST", &MainCommandSet::Stop},
        {"CS", &MainCommandSet::ClearSequence},
        {"LM", &MainCommandSet::LinearMode},
        {"LI", &MainCommandSet::AddLinearSegment},
        {"LE", &MainCommandSet::LinearEnd},
        {"RP", &MainCommandSet::ReportPosition},
        {"TP", &MainCommandSet::ReportPosition},
        {"MG", &MainCommandSet::Message},
        {"DM", &MainCommandSet::DimensionArray},
        {"DA", &MainCommandSet::DeallocateArray},
        {"XQ", &MainCommandSet::ExecuteProgram},
        {"AB", &MainCommandSet::Abort},
    };
    auto found = kHandlers->find(name);
    return found == kHandlers->end() ? nullptr : found->second;
}

bool MainCommandSet::TryAssignment(const std::string& line, PrinterModel& model,
                                   CommandReply* reply) const {
    size_t equals = line.find('=');
    if (equals == std::string::npos) {
        return false;
    }
    std::string left = CommandText::Trim(line.substr(0, equals));
    std::string right = line.substr(equals + 1);
    if (left.size() == 3 && IsAxisSetting(left.substr(0, 2)) &&
        CommandText::AxisIndex(left[2]) >= 0) {
        double value = 0.0;
        if (!CommandText::ParseNumber(right, &value)) {
            *reply = Reject(ControllerError::kBadArgument);
        } else if (!ValidAxisValue(left.substr(0, 2), value)) {
            *reply = Reject(ControllerError::kOutOfRange);
        } else {
            *reply = SetAxisValue(left.substr(0, 2), CommandText::AxisIndex(left[2]), value, model);
        }
        return true;
    }
    std::string name;
    long index = 0;
    if (!CommandText::ParseName(left, &name, &index)) {
        return false;
    }
    *reply = AssignMemory(left, right, model);
    return true;
}

bool MainCommandSet::ValidAxisValue(const std::string& command, double value) {
    if (command == "LD") {
        return IsWhole(value) && value >= 0.0 && value <= 3.0;
    }
    if (command == "PT") {
        return value == 0.0 || value == 1.0;
    }
    if (command == "SP") {
        return value >= 0.0 && value <= kMaxSpeedCountsS;
    }
    if (command == "JG") {
        return std::fabs(value) <= kMaxSpeedCountsS;
    }
    if (command == "ZA") {
        return IsWhole(value) && std::fabs(value) <= kMaxCounts;
    }
    return std::fabs(value) <= kMaxCounts;
}

CommandReply MainCommandSet::SetAxisValue(const std::string& command, int index, double value,
                                          PrinterModel& model) const {
    SimAxis& axis = model.Axes()[static_cast<size_t>(index)];
    if (command == "JG") {
        axis.SetJogSpeed(value);
    } else if (command == "DP") {
        axis.DefinePosition(value);
    } else if (command == "LD") {
        axis.SetLimitDisable(static_cast<int>(value));
    } else if (command == "SP") {
        axis.SetSpeed(value);
    } else if (command == "PA") {
        axis.SetTarget(value);
    } else if (command == "PT") {
        axis.SetTracking(value != 0.0);
    } else if (command == "FL") {
        axis.SetForwardLimit(value);
    } else if (command == "ZA") {
        axis.SetUserValue(static_cast<int32_t>(value));
    }
    return CommandReply::Ok();
}

CommandReply MainCommandSet::AxisValueList(const std::string& command, const std::string& args,
                                           PrinterModel& model) const {
    AxisValues values;
    if (args.empty() || !CommandText::ParseAxisValues(args, &values)) {
        return Reject(ControllerError::kBadArgument);
    }
    for (const auto& value : values) {
        if (value && !ValidAxisValue(command, *value)) {
            return Reject(ControllerError::kOutOfRange);
        }
    }
    for (size_t i = 0; i < values.size(); ++i) {
        if (values[i]) {
            SetAxisValue(command, static_cast<int>(i), *values[i], model);
        }
    }
    return CommandReply::Ok();
}

CommandReply MainCommandSet::AssignMemory(const std::string& left, const std::string& right,
                                          PrinterModel& model) const {
    std::string name;
    long index = 0;
    CommandText::ParseName(left, &name, &index);
    ControllerMemory& memory = model.MainMemory();
    if (CommandText::Trim(right) == "?") {
        double value = 0.0;
        bool found = index < 0 ? memory.GetVariable(name, &value)
                               : memory.GetElement(name, static_cast<size_t>(index), &value);
        if (!found) {
            return Reject(index < 0 ? ControllerError::kUnknownVariable
                                    : ControllerError::kBadIndex);
        }
        return CommandReply::Ok(CommandText::FormatNumber(value));
    }
    double value = 0.0;
    if (!CommandText::ParseNumber(right, &value)) {
        return Reject(ControllerError::kBadArgument);
    }
    if (index < 0) {
        memory.SetVariable(name, value);
        return CommandReply::Ok();
    }
    if (memory.Array(name) == nullptr) {
        return Reject(ControllerError::kUnknownArray);
    }
    if (!memory.SetElement(name, static_cast<size_t>(index), value)) {
        return Reject(ControllerError::kBadIndex);
    }
    return CommandReply::Ok();
}

CommandReply MainCommandSet::ServoHere(const std::string& args, PrinterModel& model) const {
    std::string letters;
    if (!CommandText::ParseAxisLetters(args, false, &letters)) {
        return Reject(ControllerError::kBadArgument);
    }
    std::array<bool, 5> mask =
        letters.empty() ? std::array<bool, 5>{true, true, true, true, true} : AxisMask(letters);
    for (size_t i = 0; i < mask.size(); ++i) {
        if (mask[i]) {
            model.Axes()[i].SetMotorOff(false);
        }
    }
    return CommandReply::Ok();
}

CommandReply MainCommandSet::MotorOff(const std::string& args, PrinterModel& model) const {
    std::string letters;
    if (!CommandText::ParseAxisLetters(args, false, &letters)) {
        return Reject(ControllerError::kBadArgument);
    }
    std::array<bool, 5> mask =
        letters.empty() ? std::array<bool, 5>{true, true, true, true, true} : AxisMask(letters);
    if (model.Coordinated().Running() && AnyCoordinatedIn(model, mask)) {
        model.Coordinated().Stop(model.Axes());
    }
    for (size_t i = 0; i < mask.size(); ++i) {
        if (mask[i]) {
            model.Axes()[i].SetMotorOff(true);
        }
    }
    return CommandReply::Ok();
}

CommandReply MainCommandSet::Begin(const std::string& args, PrinterModel& model) const {
    std::string letters;
    if (!CommandText::ParseAxisLetters(args, true, &letters)) {
        return Reject(ControllerError::kBadArgument);
    }
    if (letters.empty()) {
        return Reject(ControllerError::kAxisRequired);
    }
    bool coordinated = letters.find('S') != std::string::npos;
    std::array<bool, 5> mask = AxisMask(letters);
    auto& axes = model.Axes();
    bool any_coordinated_axis = false;
    for (size_t i = 0; i < axes.size(); ++i) {
        if (mask[i] && axes[i].MotorOff()) {
            return Reject(ControllerError::kMotorOff);
        }
        if (mask[i] && model.Coordinated().Running() && axes[i].Coordinated()) {
            return Reject(ControllerError::kInMotion);
        }
        if (coordinated && axes[i].Coordinated()) {
            any_coordinated_axis = true;
            if (axes[i].MotorOff()) {
                return Reject(ControllerError::kMotorOff);
            }
            if (axes[i].MovingIndependently()) {
                return Reject(ControllerError::kInMotion);
            }
        }
    }
    if (coordinated && !any_coordinated_axis) {
        return Reject(ControllerError::kNoCoordinateSystem);
    }
    for (size_t i = 0; i < axes.size(); ++i) {
        if (mask[i]) {
            axes[i].Begin();
        }
    }
    if (coordinated) {
        model.Coordinated().Begin(axes);
    }
    return CommandReply::Ok();
}

CommandReply MainCommandSet::Stop(const std::string& args, PrinterModel& model) const {
    std::string letters;
    if (!CommandText::ParseAxisLetters(args, true, &letters)) {
        return Reject(ControllerError::kBadArgument);
    }
    bool all = letters.empty();
    std::array<bool, 5> mask =
        all ? std::array<bool, 5>{true, true, true, true, true} : AxisMask(letters);
    // Stopping an axis that coordinated motion drives stops that motion too.
    if (all || letters.find('S') != std::string::npos || AnyCoordinatedIn(model, mask)) {
        model.Coordinated().Stop(model.Axes());
    }
    for (size_t i = 0; i < mask.size(); ++i) {
        if (mask[i]) {
            model.Axes()[i].Stop();
        }
    }
    return CommandReply::Ok();
}

CommandReply MainCommandSet::ClearSequence(const std::string& args, PrinterModel& model) const {
    if (args != "S") {
        return Reject(ControllerError::kBadArgument);
    }
    model.Coordinated().Clear(model.Axes());
    return CommandReply::Ok();
}

CommandReply MainCommandSet::LinearMode(const std::string& args, PrinterModel& model) const {
    std::string letters;
    if (!CommandText::ParseAxisLetters(args, false, &letters)) {
        return Reject(ControllerError::kBadArgument);
    }
    if (letters.empty()) {
        return Reject(ControllerError::kAxisRequired);
    }
    if (model.Coordinated().Running()) {
        return Reject(ControllerError::kInMotion);
    }
    std::array<bool, 5> mask = AxisMask(letters);
    for (size_t i = 0; i < mask.size(); ++i) {
        if (mask[i] && model.Axes()[i].MovingIndependently()) {
            return Reject(ControllerError::kInMotion);
        }
    }
    for (size_t i = 0; i < mask.size(); ++i) {
        model.Axes()[i].SetCoordinated(mask[i]);
    }
    return CommandReply::Ok();
}

CommandReply MainCommandSet::AddLinearSegment(const std::string& args, PrinterModel& model) const {
    size_t less = args.find('<');
    AxisValues values;
    if (!CommandText::ParseAxisValues(args.substr(0, less), &values)) {
        return Reject(ControllerError::kBadArgument);
    }
    LinearSegment segment;
    segment.speed_counts_s = model.VectorSpeed();
    if (less != std::string::npos &&
        !CommandText::ParseNumber(args.substr(less + 1), &segment.speed_counts_s)) {
        return Reject(ControllerError::kBadArgument);
    }
    if (segment.speed_counts_s <= 0.0 || segment.speed_counts_s > kMaxSpeedCountsS) {
        return Reject(ControllerError::kOutOfRange);
    }
    bool any_axis = false;
    for (const SimAxis& axis : model.Axes()) {
        any_axis = any_axis || axis.Coordinated();
    }
    if (!any_axis) {
        return Reject(ControllerError::kNoCoordinateSystem);
    }
    for (size_t i = 0; i < values.size(); ++i) {
        if (!values[i]) {
            continue;
        }
        double delta = *values[i];
        if (!IsWhole(delta) || std::fabs(delta) > kMaxCounts) {
            return Reject(ControllerError::kOutOfRange);
        }
        if (delta != 0.0 && !model.Axes()[i].Coordinated()) {
            return Reject(ControllerError::kNotInCoordinateSystem);
        }
        segment.delta_counts[i] = static_cast<int64_t>(delta);
    }
    if (!model.Coordinated().Add(segment)) {
        return Reject(ControllerError::kBufferFull);
    }
    return CommandReply::Ok();
}

CommandReply MainCommandSet::LinearEnd(const std::string& args, PrinterModel& model) const {
    if (!args.empty()) {
        return Reject(ControllerError::kBadArgument);
    }
    model.Coordinated().End();
    return CommandReply::Ok();
}

CommandReply MainCommandSet::ReportPosition(const std::string& args, PrinterModel& model) const {
    std::string letters;
    if (!CommandText::ParseAxisLetters(args, false, &letters)) {
        return Reject(ControllerError::kBadArgument);
    }
    if (letters.empty()) {
        letters = "ABCDE";
    }
    std::string output;
    for (char letter : letters) {
        if (!output.empty()) {
            output += ", ";
        }
        int index = CommandText::AxisIndex(letter);
        output += std::to_string(model.Axes()[static_cast<size_t>(index)].ReferenceWhole());
    }
    return CommandReply::Ok(output);
}

CommandReply MainCommandSet::Message(const std::string& args, PrinterModel& model) const {
    if (args.size() >= 2 && args.front() == '"' && args.back() == '"') {
        return CommandReply::Ok(args.substr(1, args.size() - 2));
    }
    double value = 0.0;
    std::string name;
    long index = 0;
    if (args == "TIME") {
        value = static_cast<double>(model.Samples());
    } else if (args == "_XQ") {
        value = model.ProgramRunning() ? 0.0 : -1.0;
    } else if (CommandText::ParseNumber(args, &value)) {
    } else if (!CommandText::ParseName(args, &name, &index)) {
        return Reject(ControllerError::kBadArgument);
    } else if (index < 0 && !model.MainMemory().GetVariable(name, &value)) {
        return Reject(ControllerError::kUnknownVariable);
    } else if (index >= 0 &&
               !model.MainMemory().GetElement(name, static_cast<size_t>(index), &value)) {
        return Reject(model.MainMemory().Array(name) == nullptr ? ControllerError::kUnknownArray
                                                                : ControllerError::kBadIndex);
    }
    return CommandReply::Ok(CommandText::FormatNumber(value));
}

CommandReply MainCommandSet::DimensionArray(const std::string& args, PrinterModel& model) const {
    std::string name;
    long elements = 0;
    if (!CommandText::ParseName(args, &name, &elements) || elements < 1) {
        return Reject(ControllerError::kBadArgument);
    }
    if (!model.MainMemory().Declare(name, static_cast<size_t>(elements))) {
        return Reject(ControllerError::kArrayTooLarge);
    }
    return CommandReply::Ok();
}

CommandReply MainCommandSet::DeallocateArray(const std::string& args, PrinterModel& model) const {
    std::string name;
    long index = 0;
    if (!CommandText::ParseName(args, &name, &index) || index < 0) {
        return Reject(ControllerError::kBadArgument);
    }
    model.MainMemory().Release(name);
    return CommandReply::Ok();
}

CommandReply MainCommandSet::ExecuteProgram(const std::string&, PrinterModel& model) const {
    // The program label and thread are not modelled: there is one program.
    model.StartProgram();
    return CommandReply::Ok();
}

CommandReply MainCommandSet::Abort(const std::string& args, PrinterModel& model) const {
    if (!args.empty() && args != "0" && args != "1") {
        return Reject(ControllerError::kBadArgument);
    }
    model.AbortProgram();
    model.Coordinated().Stop(model.Axes());
    for (SimAxis& axis : model.Axes()) {
        axis.Stop();
    }
    return CommandReply::Ok();
}

}  // namespace sim
