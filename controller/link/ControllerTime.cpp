#include "ControllerTime.h"

ControllerTime ControllerTime::Next(uint16_t sample_number) const {
    const auto ahead = static_cast<uint16_t>(sample_number - static_cast<uint16_t>(samples_));
    return {stream_, samples_ + ahead};
}

ControllerTime ControllerTime::Nearest(uint32_t clock) const {
    const auto offset = static_cast<int16_t>(
        static_cast<uint16_t>(static_cast<uint16_t>(clock) - static_cast<uint16_t>(samples_)));
    return {stream_, samples_ + offset};
}
