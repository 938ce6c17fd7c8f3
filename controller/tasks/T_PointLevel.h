// One point of the bed-levelling grid: moves over the point, probes the bed
// with Z's limit switch and stores Z's position in "zoffsets[number]".
#pragma once

#include "Task.h"

#include <functional>

class T_PointLevel : public Task {
  public:
    // Parameters: "xpos", "ypos" (counts), "number" (element of "zoffsets"),
    // "samples" (not read). `on_point_finished` runs when the point is done
    // and must not be empty.
    T_PointLevel(Parameters data, std::function<void()> on_point_finished);

    // Reports the point, then hands Z back to the controller's program.
    void OnFinish() override;
    // Moves X and Y over the point and Z to 4000 counts.
    void OnStart() override;
    // Stops X, Y and Z where they are.
    void OnPause() override;
    // Sends the axes on to the point when they had not got there.
    void OnResume() override;

  private:
    // "PA<x>,<y>,4000".
    void MoveOverPoint();
    // The wait for the axes to stand over the point.
    Pointer stand_;
    // Sends "zoffsets[number]=<Z reference position>" from the latest record.
    void RecordPoint();

    std::function<void()> on_point_finished_;
};
