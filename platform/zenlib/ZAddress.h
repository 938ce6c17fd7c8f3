// The parsed address text of ZOpen: host, port and options.
#pragma once

#include <cstdint>
#include <string>

namespace zen {

// Port used when the address text names none.
constexpr uint16_t kDefaultPort = 2323;
// Reply and record timeout when "-t" is not given.
constexpr int kDefaultTimeoutMs = 1000;

// What an address text asks for.
struct ZAddress {
    std::string host;                    // name or dotted IPv4 address
    uint16_t port = kDefaultPort;        // TCP port of the controller
    int timeout_ms = kDefaultTimeoutMs;  // "-t N"
    bool stream = false;                 // "-s DR": open the record channel
};

// Parses "HOST[:PORT] [-t N] [-s DR] ..."; false when the text is unusable.
bool ParseAddress(const std::string& text, ZAddress* address);

}  // namespace zen
