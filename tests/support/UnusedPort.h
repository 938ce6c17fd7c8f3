// A TCP port on 127.0.0.1 that nobody listens on, for connection failures.
#pragma once

#include <cstdint>

// Binds port 0, reads the port the system chose and releases it.
uint16_t UnusedPort();
