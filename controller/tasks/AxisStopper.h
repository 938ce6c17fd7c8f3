// Stops a set of axes for a task and does not call it done until a record
// taken after the stop shows them standing. Every stop command is sent even
// when an earlier one failed; a refused or lost stop is sent again until the
// axes stand or the bound runs out. Used by every cancel and pause that stops
// axes.
#pragma once

#include "Task.h"

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

// Axes that could not be seen standing after their stop; the task that sent
// it names them in its cancellation reason.
class AxesNotStopped : public std::runtime_error {
  public:
    explicit AxesNotStopped(const std::string& what) : std::runtime_error(what) {}
};

class AxisStopper {
  public:
    // How long the stops are tried again before the axes count as not
    // stoppable: the time after which a silent record stream counts as lost.
    // They are always tried twice: one late reply may take the whole bound.
    static constexpr std::chrono::milliseconds kBound{5000};
    // How long one round waits for the axes to stand after its stop commands
    // before it sends them again.
    static constexpr std::chrono::milliseconds kRoundWait{1000};

    // `commands` are sent in order on the main controller; `axes` are the
    // controller axes (0 for A to 4 for E) that must stand, and the
    // coordinated motion too when `coordinated`.
    AxisStopper(Task& task, std::vector<std::string> commands, std::vector<int> axes,
                bool coordinated);

    // One axis by its letter ("A" to "E", or the printer's "X", "Y", "Z", "E");
    // a letter of no axis stops nothing that can be seen, so only its
    // command is sent.
    static AxisStopper ForAxis(Task& task, const std::string& controller_axis);
    // Every axis and the coordinated motion.
    static AxisStopper ForAll(Task& task, std::vector<std::string> commands);

    // Stops the axes; the record that shows them standing. Without a
    // connected main controller nothing is sent and the latest record (or
    // one of zeros) is returned. Throws AxesNotStopped, after telling the UI
    // with a "vrxError" message, when the axes are not seen standing in time.
    Task::Record Stop();

    // True when `record` shows every axis of the stop standing.
    bool Standing(const ZDataRecord& record) const;

  private:
    // Sends every stop command; the first error, if any.
    std::exception_ptr SendStops();
    // Waits up to kRoundWait for a record after the stops that shows the
    // axes standing; empty when none did.
    Task::Record AwaitStanding(std::exception_ptr& error);
    // Tells the UI and stderr, then throws AxesNotStopped.
    [[noreturn]] void GiveUp(std::exception_ptr error);
    // "A", "A, B" ... or "the axes".
    std::string AxisNames() const;

    Task& task_;
    std::vector<std::string> commands_;
    std::vector<int> axes_;
    bool coordinated_;
};
