#include "BedMesh.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace sim {
namespace {

struct Axis {
    double cell = 0.0;  // distance between grid points
    long points = 0;    // grid points along the axis
};

// Index of the cell below `counts` and the fraction across it.
void Locate(const Axis& axis, double counts, long* index, double* fraction) {
    double position = std::clamp(counts / axis.cell, 0.0, static_cast<double>(axis.points - 1));
    *index = std::min(static_cast<long>(position), axis.points - 2 < 0 ? 0 : axis.points - 2);
    *fraction = axis.points > 1 ? position - static_cast<double>(*index) : 0.0;
}

bool ReadAxis(const ControllerMemory& memory, const char* dist, const char* regions, Axis* axis) {
    double cell = 0.0;
    double points = 0.0;
    if (!memory.GetVariable(dist, &cell) || !memory.GetVariable(regions, &points) || cell <= 0.0 ||
        points < 1.0 || points > 1000.0) {
        return false;
    }
    axis->cell = cell;
    axis->points = static_cast<long>(points);
    return true;
}

}  // namespace

double BedMesh::OffsetAt(const ControllerMemory& memory, double x_counts, double y_counts) {
    Axis x;
    Axis y;
    const std::vector<double>* heights = memory.Array("zoffsets");
    if (!ReadAxis(memory, "xdist", "xregions", &x) || !ReadAxis(memory, "ydist", "yregions", &y) ||
        heights == nullptr || heights->size() < static_cast<size_t>(x.points * y.points)) {
        return 0.0;
    }
    long column = 0;
    long row = 0;
    double fx = 0.0;
    double fy = 0.0;
    Locate(x, x_counts, &column, &fx);
    Locate(y, y_counts, &row, &fy);
    auto at = [&](long c, long r) {
        c = std::min(c, x.points - 1);
        r = std::min(r, y.points - 1);
        return (*heights)[static_cast<size_t>(r * x.points + c)];
    };
    double low = at(column, row) * (1.0 - fx) + at(column + 1, row) * fx;
    double high = at(column, row + 1) * (1.0 - fx) + at(column + 1, row + 1) * fx;
    return low * (1.0 - fy) + high * fy;
}

}  // namespace sim
