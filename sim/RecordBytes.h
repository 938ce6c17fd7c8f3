// One data record as it travels on the record channel.
#pragma once

#include <array>
#include <cstdint>

namespace sim {

// The 512 bytes of one record.
using RecordBytes = std::array<uint8_t, 512>;

}  // namespace sim
