// A main controller that stands still at position zero, in place of the
// controller library: linked into a fuzz target, its ZOpen, ZCommand, ZRecord,
// ZClose, ZError and ZRecordRate take the place of the library's, so tasks can
// start without a network or a printer. Every command is taken with an empty
// reply; position, program and clock queries get the answers of an idle
// controller (a clock read must be a number: an empty reply fails its task).
#pragma once

#include <string>

class StillController {
  public:
    // The reply text of one command, without the reply's end.
    static std::string Reply(const std::string& command);
};
