// One entry of the G-code manager's handler table: the command words it
// serves and the member that builds the task tree of such a line.
#pragma once

#include "GCode.h"

#include <functional>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

class Task;

struct GCodeHandler {
    // The command words that the entry serves ("M18", "M84").
    std::vector<std::string> codes;
    // Builds the task tree of one line and returns its root.
    std::function<boost::shared_ptr<Task>(GCode)> handler;
};
