// A task's stop of a set of axes: MotionStop's policy, told to the UI and
// the task when it fails. Used by every cancel and pause that stops axes.
#pragma once

#include "MotionStop.h"
#include "Task.h"

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

    // Stops the axes (MotionStop's policy); the record that shows them
    // standing. Without a connected main controller nothing is sent and the
    // latest record (or one of zeros) is returned. Throws AxesNotStopped,
    // after telling the UI with a "vrxError" message, when the axes are not
    // seen standing in time or no record can show them. In the recovery of
    // a failed control, a stop judged earlier in that control is not sent
    // again (see Task::ReusableStop).
    Task::Record Stop();

  private:
    // Tells the UI and stderr, then throws AxesNotStopped.
    [[noreturn]] void GiveUp(const MotionStop::Outcome& outcome);
    // "Axis X", "Axes X, Y" ... or "The axes".
    std::string AxisNames() const;

    Task& task_;
    std::vector<std::string> commands_;
    std::vector<int> axes_;
    bool coordinated_;
};
