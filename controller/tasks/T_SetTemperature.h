// Sets a heater's target on the temperature controller, tells the UI and
// finishes at once.
#pragma once

#include "Task.h"

#include <string>

class T_SetTemperature : public Task {
  public:
    // Parameters: "axis" ("A" hot end, "B" bed), optional "temperature"
    // (degrees), "active" (read for the description only when there is no
    // "temperature"), optional "description" (written when absent).
    explicit T_SetTemperature(Parameters data);

    // Sends the set-point (if any) and publishes it, then finishes.
    void OnStart() override;

    // The UI text: "Set|{HotEnd}| {215°C}", "Enable|~2{Bed}", "Disable|~2{Bed}".
    std::string BuildDescription();
    // "ext" for the hot end, "bed" otherwise.
    std::string GetHeaterPrefix();

    // Heater prefix of a controller axis: "ext" for A; every other axis
    // gets its set-point as the bed's, and so its key.
    static std::string HeaterPrefix(const std::string& controller_axis);
    // Sends "setext=" or "setbed=" with `degrees` for `task`'s heater,
    // records it as the heater's set-point in force and adds the
    // "<prefix>Target" key to `data`.
    static void ApplySetPoint(Task& task, double degrees, nlohmann::json& data);

  private:
    // Set once the set-point is out; the task's only completion condition.
    bool done_ = false;
};
