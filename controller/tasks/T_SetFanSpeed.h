// Sets the fan speed on the temperature controller, tells the UI and
// finishes at once.
#pragma once

#include "Task.h"

#include <string>

class T_SetFanSpeed : public Task {
  public:
    // Parameters: "fan" (5 extruder fan, 6 part fan), "speed" (the value
    // sent), optional "percentage", optional "active", optional
    // "description" (written when absent).
    explicit T_SetFanSpeed(Parameters data);

    // Sends the speed and publishes the fan's keys, then finishes.
    void OnStart() override;

    // The UI text: "Set|{Part Fan}|{50%}" or "Disable|~2{Part Fan}".
    std::string BuildDescription();
    // "partFan" for 6, "extFan" for 5, "fan" + the number for any other.
    std::string GetFanName();

  private:
    // Set once the speed is out; the task's only completion condition.
    bool done_ = false;
};
