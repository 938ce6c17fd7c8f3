#include "Utilities.h"

#include <cxxabi.h>

#include <cmath>
#include <cstdlib>
#include <iomanip>
#include <memory>
#include <sstream>

std::string FormatNumber(double value, int precision) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(precision) << value;
    std::string text = out.str();
    // Only text with a decimal point has zeros to trim; without this guard a
    // precision of 0 would turn "100" into "1".
    if (text.find('.') == std::string::npos) {
        return text;
    }
    auto last = text.find_last_not_of('0');
    if (last == std::string::npos) {
        return text;
    }
    if (text[last] == '.') {
        --last;
    }
    text.erase(last + 1);
    return text;
}

std::string ReadableTypeName(const std::type_info& type) {
    if (type == typeid(std::string)) {
        return "std::string";
    }
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

std::string Excerpt(std::string_view text, std::size_t max_bytes) {
    const bool cut = text.size() > max_bytes;
    std::string excerpt;
    for (const char c : text.substr(0, max_bytes)) {
        if (c == '\n') {
            excerpt += "\\n";
        } else {
            excerpt += c;
        }
    }
    return cut ? excerpt + "..." : excerpt;
}

std::string DumpMessage(const nlohmann::json& message) {
    return message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

int32_t ParseControllerTime(const std::string& reply) {
    std::istringstream stream(reply);
    double time = 0;
    if (!(stream >> time) || !std::isfinite(time)) {
        return 0;
    }
    // The clock runs on past 32 bits; the sample counter wraps the same way.
    double wrapped = std::fmod(std::trunc(time), 4294967296.0);
    if (wrapped < 0) {
        wrapped += 4294967296.0;
    }
    return static_cast<int32_t>(static_cast<uint32_t>(wrapped));
}
