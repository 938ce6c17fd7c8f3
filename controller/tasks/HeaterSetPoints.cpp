#include "HeaterSetPoints.h"

#include <cmath>
#include <limits>

HeaterSetPoints::HeaterSetPoints() {
    for (auto& degrees : degrees_) {
        degrees.store(std::numeric_limits<double>::quiet_NaN());
    }
}

HeaterSetPoints::Heater HeaterSetPoints::OfControllerAxis(const std::string& controller_axis) {
    return controller_axis == "A" ? kHotEnd : kBed;
}

void HeaterSetPoints::Apply(Heater heater, double degrees) {
    degrees_[heater].store(degrees);
}

std::optional<double> HeaterSetPoints::InForce(Heater heater) const {
    const double degrees = degrees_[heater].load();
    if (std::isnan(degrees)) {
        return std::nullopt;
    }
    return degrees;
}
