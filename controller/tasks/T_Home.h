// Homes one printer axis: jogs it onto its switch, leaves the switch
// slowly and makes that place the axis's zero. Z first waits for X and Y
// and centres them.
#pragma once

#include "Task.h"

class T_Home : public Task {
  public:
    // Parameters: "axis" (X, Y, Z or A, B, C). Builds the sub-tasks on the
    // same parameter object; throws "Invalid axis detected" for any other axis.
    explicit T_Home(Parameters data);

    // Zeroes the position, marks it trusted and clears the homing flag.
    void OnFinish() override;
    // Motor on, reverse limit off, homing flag on.
    void OnStart() override;
    void OnCancel() override;
    void OnPause() override;
    void OnResume() override;
    // Adds "axis", so every update of the task names its axis.
    void FillStatus(nlohmann::json& json) override;

    // Sets the axis's homing flag and tells the UI ("homing" + axis).
    void SetHoming(bool value);
};
