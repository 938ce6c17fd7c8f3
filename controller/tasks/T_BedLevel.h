// One bed-levelling run: probes the grid point by point into the controller's
// array "zoffsets" (with "recalculate"), then starts the controller's program
// ("enabled") or ends it.
#pragma once

#include "Task.h"

#include <cstdint>
#include <string>

class T_BedLevel : public Task {
  public:
    // Parameters: "recalculate", "enabled" (bool); with "recalculate" also
    // "xlimit", "ylimit" (counts), "xregions", "yregions" (at least 1) and
    // "samples". Throws on a missing, mistyped or out-of-range parameter.
    explicit T_BedLevel(Parameters data);

    // Sets the controller's program going or ends it; mesh flags to the UI.
    void OnFinish() override;
    // Prepares the controller: array, grid variables, speeds, tracking.
    void OnStart() override;
    // Stops the machine and releases the array.
    void OnCancel() override;

    // "Level Bed|{Enabled}|{done / total samples}".
    std::string BuildDescription() const;
    // Counts a probed point and tells the UI.
    void OnPointFinished();
    // A point ended cancelled: the points after it wait for it to finish, so
    // the run fails with the point's reason.
    void OnPointCancelled(const std::string& reason);
    // Queues the description as an update of this task (or its parent).
    void PublishDescription();

  private:
    // One T_PointLevel per grid point, row by row in serpentine order.
    void AddPoints(uint32_t samples);
    // Sends {"meshAvailable", "meshCalculating"} to the UI.
    void UpdateMeshFlags(bool available, bool calculating);

    bool recalculate_;
    bool enabled_;
    uint32_t points_total_ = 0;
    uint32_t points_done_ = 0;
    uint32_t x_dist_ = 0;
    uint32_t y_dist_ = 0;
    uint32_t x_regions_ = 0;
    uint32_t y_regions_ = 0;
};
