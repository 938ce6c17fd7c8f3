// The controller program's view of the bed-levelling mesh.
#pragma once

#include "ControllerMemory.h"

namespace sim {

// Reads the grid ("xdist", "ydist", "xregions", "yregions") and the heights
// ("zoffsets", row-major) from controller memory and interpolates between them.
class BedMesh {
  public:
    // Height offset in Z counts at reference position (x, y) in counts:
    // bilinear between grid points, held at the edge value outside the grid,
    // 0 when the mesh is missing or malformed.
    static double OffsetAt(const ControllerMemory& memory, double x_counts, double y_counts);
};

}  // namespace sim
