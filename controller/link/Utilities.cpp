#include "Utilities.h"

#include <cxxabi.h>

#include <cmath>
#include <cstdlib>
#include <iomanip>
#include <memory>
#include <sstream>
#include <stdexcept>

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

namespace {

const char* const kReplyBlanks = " \t\r\n";

[[noreturn]] void ThrowUnreadable(const std::string& command, const std::string& reply,
                                  const std::string& expected) {
    throw std::runtime_error("Unreadable reply to \"" + command + "\": \"" + Excerpt(reply, 80) +
                             "\" is not " + expected);
}

std::string TrimBlanks(const std::string& text) {
    const auto first = text.find_first_not_of(kReplyBlanks);
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(kReplyBlanks) - first + 1);
}

}  // namespace

double ParseReplyNumber(const std::string& command, const std::string& reply) {
    const std::string text = TrimBlanks(reply);
    std::istringstream stream(text);
    double value = 0;
    if (text.empty() || !(stream >> value) || !stream.eof() || !std::isfinite(value)) {
        ThrowUnreadable(command, reply, "a number");
    }
    return value;
}

std::vector<long long> ParseReplyIntegers(const std::string& command, const std::string& reply) {
    std::vector<long long> values;
    std::istringstream pieces(reply);
    std::string piece;
    while (std::getline(pieces, piece, ',')) {
        const std::string text = TrimBlanks(piece);
        std::istringstream stream(text);
        long long value = 0;
        if (text.empty() || !(stream >> value) || !stream.eof()) {
            ThrowUnreadable(command, reply, "a list of integers");
        }
        values.push_back(value);
    }
    if (values.empty()) {
        ThrowUnreadable(command, reply, "a list of integers");
    }
    return values;
}

int32_t ParseControllerTime(const std::string& reply) {
    const double time = ParseReplyNumber("MG TIME", reply);
    // The clock runs on past 32 bits; the sample counter wraps the same way.
    double wrapped = std::fmod(std::trunc(time), 4294967296.0);
    if (wrapped < 0) {
        wrapped += 4294967296.0;
    }
    return static_cast<int32_t>(static_cast<uint32_t>(wrapped));
}
