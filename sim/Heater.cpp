#include "Heater.h"

#include <algorithm>
#include <cmath>

namespace sim {

Heater::Heater(double time_constant_s) : factor_(1.0 - std::exp(-0.001 / time_constant_s)) {}

void Heater::Step() {
    double goal = std::max(target_c_, kAmbientC);
    temperature_c_ += (goal - temperature_c_) * factor_;
}

}  // namespace sim
