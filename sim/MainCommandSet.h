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

    // "SH [axes]": motors on.
    CommandReply ServoHere(const std::string& args, PrinterModel& model) const;
    // "MO [axes]": motors off.
    CommandReply MotorOff(const std::string& args, PrinterModel& model) const;
    // "BG axes" / "BGS": begin independent or coordinated motion.
    CommandReply Begin(const std::string& args, PrinterModel& model) const;
    // "ST [axes][S]": stop.
    CommandReply Stop(const std::string& args, PrinterModel& model) const;
    // "CSS": clear the segment buffer and count.
    CommandReply ClearSequence(const std::string& args, PrinterModel& model) const;
    // "LM axes": the coordinated system.
    CommandReply LinearMode(const std::string& args, PrinterModel& model) const;
    // "LI a,b,c,d,e <speed": queue one segment.
    CommandReply AddLinearSegment(const std::string& args, PrinterModel& model) const;
    // "LE": end of the segment sequence.
    CommandReply LinearEnd(const std::string& args, PrinterModel& model) const;
    // "RP" / "TP" [axes]: reference positions.
    CommandReply ReportPosition(const std::string& args, PrinterModel& model) const;
    // "MG x": prints TIME, _XQ, a number, a variable, an element or a text.
    CommandReply Message(const std::string& args, PrinterModel& model) const;
    // "DM name[n]": declare an array.
    CommandReply DimensionArray(const std::string& args, PrinterModel& model) const;
    // "DA name[i]": release an array.
    CommandReply DeallocateArray(const std::string& args, PrinterModel& model) const;
    // "XQ": start the controller program.
    CommandReply ExecuteProgram(const std::string& args, PrinterModel& model) const;
    // "AB": end the program and stop all motion.
    CommandReply Abort(const std::string& args, PrinterModel& model) const;
    // The handler of a two-letter command, or null.
    static Handler FindHandler(const std::string& name);
};

}  // namespace sim
