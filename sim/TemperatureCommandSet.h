// The temperature controller's command language.
#pragma once

#include <string>

#include "CommandReply.h"
#include "PrinterModel.h"

namespace sim {

// "setext=", "setbed=" (heater set-points in degrees), "speed=" (part fan),
// "PM a,b" (0 turns a heater off), other "name=value" variables and "MG name".
class TemperatureCommandSet {
  public:
    // Executes `line` on `model` (the caller holds the model's lock).
    CommandReply Execute(const std::string& line, PrinterModel& model) const;

  private:
    // "name=value".
    CommandReply Assign(const std::string& name, const std::string& value_text,
                        PrinterModel& model) const;
    // "PM a,b".
    CommandReply PowerMode(const std::string& args, PrinterModel& model) const;
    // "MG name".
    CommandReply Message(const std::string& args, PrinterModel& model) const;
};

}  // namespace sim
