// The command side of one controller: command log, forced rejections and "TC1".
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "CommandSink.h"
#include "ReplyFaults.h"

namespace sim {

// Logs every line received, applies the test hooks that reject commands,
// answers "TC1" with the last error, and hands everything else to the
// controller's command set.
class ControllerEndpoint : public CommandSink {
  public:
    // Runs one line through the controller's command set.
    using Executor = std::function<CommandReply(const std::string& line)>;

    explicit ControllerEndpoint(Executor execute);

    // CommandSink: log, forced rejections, "TC1", then the command set.
    CommandReply Execute(const std::string& line) override;
    void NoteOverlongLine() override;

    // Every line received so far, oldest first.
    std::vector<std::string> CommandLog() const;
    // Forgets the log.
    void ClearCommandLog();
    // Waits until `command` has been received `count` times in all; false at the timeout.
    bool WaitForCommand(const std::string& command, std::chrono::milliseconds timeout,
                        size_t count = 1) const;
    // Rejects the next line received, whatever it is, with `error` as "TC1" text.
    void RejectNext(const std::string& error);
    // Rejects every line equal to `command` (or starting with it when it ends
    // in "*") with `error`, until ClearRejections.
    void RejectCommand(const std::string& command, const std::string& error);
    // Drops every rejection set up by the hooks.
    void ClearRejections();
    // The reply faults: see VirtualPrinter.
    void HoldReplies(const std::string& pattern, std::chrono::milliseconds hold, size_t count);
    void GarbleReplies(const std::string& pattern, const std::string& text);
    void CloseAfter(const std::string& pattern);
    // Drops rejections and reply faults.
    void ClearFaults();

  private:
    // The forced rejection for `line`, if any (takes the lock's holder's word).
    bool ForcedRejection(const std::string& line, std::string* error);
    // Rejections, "TC1" and the command set, without the reply faults.
    CommandReply Answer(const std::string& line);

    Executor execute_;                                 // the controller's command set
    mutable std::mutex mutex_;                         // guards the members below
    mutable std::condition_variable logged_;           // signals new log entries
    std::deque<std::string> log_;                      // lines received
    std::deque<std::string> reject_next_;              // one-shot rejections, in order
    std::map<std::string, std::string> reject_named_;  // standing rejections by command
    std::string last_error_ = "0 No error";            // what "TC1" answers
    ReplyFaults faults_;                               // held, garbled, closing replies
};

}  // namespace sim
