#include "ZAddress.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace zen {
namespace {

bool ParseNumber(const std::string& text, long min, long max, long* value) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < min || parsed > max) {
        return false;
    }
    *value = parsed;
    return true;
}

bool ParseHostPort(const std::string& token, ZAddress* address) {
    std::string::size_type colon = token.rfind(':');
    if (colon == std::string::npos) {
        address->host = token;
        return !token.empty();
    }
    long port = 0;
    if (!ParseNumber(token.substr(colon + 1), 1, 65535, &port)) {
        return false;
    }
    address->host = token.substr(0, colon);
    address->port = static_cast<uint16_t>(port);
    return !address->host.empty();
}

}  // namespace

bool ParseAddress(const std::string& text, ZAddress* address) {
    std::istringstream in(text);
    std::vector<std::string> tokens;
    for (std::string token; in >> token;) {
        tokens.push_back(token);
    }
    if (tokens.empty() || tokens[0][0] == '-' || !ParseHostPort(tokens[0], address)) {
        return false;
    }
    for (size_t i = 1; i < tokens.size(); ++i) {
        if (tokens[i] == "-t") {
            long timeout = 0;
            if (i + 1 >= tokens.size() || !ParseNumber(tokens[i + 1], 1, 3600000, &timeout)) {
                return false;
            }
            address->timeout_ms = static_cast<int>(timeout);
            ++i;
        } else if (tokens[i] == "-s") {
            // Only the data-record stream "DR" is known; other stream names are ignored.
            if (i + 1 < tokens.size() && tokens[i + 1] == "DR") {
                address->stream = true;
                ++i;
            }
        }
        // Any other option is ignored, as the address text may carry options of other tools.
    }
    return true;
}

}  // namespace zen
