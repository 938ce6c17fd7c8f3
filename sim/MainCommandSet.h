// The main (motion) controller's command language.
#pragma once

#include <map>
#include <string>

#include "CommandReply.h"
#include "CommandText.h"
#include "PrinterModel.h"

namespace sim {

// Parses one command line and applies it to the printer. Each command is
// validated completely before anything changes.
class MainCommandSet {
  public:
    // Executes `line` on `model` (the caller holds the model's lock).
    CommandReply Execute(const std::string& line, PrinterModel& model) const;

  private:
    // A two-letter command with the text after its name.
    using Handler = CommandReply (MainCommandSet::*)(const std::string& args,
                                                     PrinterModel& model) const;

    // "XXa=value" for an axis setting, or "name=value" / "name[i]=value".
    bool TryAssignment(const std::string& line, PrinterModel& model, CommandReply* reply) const;
    // Applies one axis setting to axis `index`.
    CommandReply SetAxisValue(const std::string& command, int index, double value,
                              PrinterModel& model) const;
    // "XX v1,v2,..." for an axis setting.
    CommandReply AxisValueList(const std::string& command, const std::string& args,
                               PrinterModel& model) const;
    // Checks a value for an axis setting.
    static bool ValidAxisValue(const std::string& command, double value);
    // "name=value" or "name[i]=value" (and "=?" to read it).
    CommandReply AssignMemory(const std::string& left, const std::string& right,
                              PrinterModel& model) const;

    CommandReply ServoHere(const std::string& args, PrinterModel& model) const;
    CommandReply MotorOff(const std::string& args, PrinterModel& model) const;
    CommandReply Begin(const std::string& args, PrinterModel& model) const;
    CommandReply Stop(const std::string& args, PrinterModel& model) const;
    CommandReply ClearSequence(const std::string& args, PrinterModel& model) const;
    CommandReply LinearMode(const std::string& args, PrinterModel& model) const;
    CommandReply AddLinearSegment(const std::string& args, PrinterModel& model) const;
    CommandReply LinearEnd(const std::string& args, PrinterModel& model) const;
    CommandReply ReportPosition(const std::string& args, PrinterModel& model) const;
    CommandReply Message(const std::string& args, PrinterModel& model) const;
    CommandReply DimensionArray(const std::string& args, PrinterModel& model) const;
    CommandReply DeallocateArray(const std::string& args, PrinterModel& model) const;
    CommandReply ExecuteProgram(const std::string& args, PrinterModel& model) const;
    CommandReply Abort(const std::string& args, PrinterModel& model) const;
    // The handler of a two-letter command, or null.
    static Handler FindHandler(const std::string& name);
};

}  // namespace sim
