// Small text and number helpers shared by every subsystem.
#pragma once

#include <cmath>
#include <iostream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include <nlohmann/json.hpp>

// Writes `value` in fixed notation with `precision` decimals, then drops
// trailing zeros and a trailing point: 12.50 -> "12.5", 100.0 -> "100".
std::string FormatNumber(double value, int precision);

// Readable name of a type for diagnostics ("long long", not its mangled form).
std::string ReadableTypeName(const std::type_info& type);

// A received text as a diagnostic line may quote it: at most `max_bytes`
// bytes (then "..."), and every line feed written as \n, so that one event
// stays one line on standard error however the text was made.
std::string Excerpt(std::string_view text, std::size_t max_bytes = 200);

// Dumps a message compact. Texts from controllers and files need not be
// UTF-8: a byte that is not is replaced, so the message is never lost.
std::string DumpMessage(const nlohmann::json& message);

// Replies are read strictly: a reply that is not what its command asks for
// throws std::runtime_error naming the command and the reply, and never
// stands for 0 or a default.

// The one finite number that the whole reply holds (blanks and line ends
// around it aside), as "MG" of a value answers.
double ParseReplyNumber(const std::string& command, const std::string& reply);
// The integers of a list reply such as "RP": every piece between commas one
// whole integer, none missing.
std::vector<long long> ParseReplyIntegers(const std::string& command, const std::string& reply);
// The controller's clock from a "MG TIME" reply: toward zero, modulo 2^32 as
// the sample counter wraps.
int32_t ParseControllerTime(const std::string& reply);

// `value`, which must be a JSON number, as the integer type T; a fraction is
// cut toward zero. A value whose whole part T cannot hold throws
// std::out_of_range naming `name`, so no conversion can overflow; a value that
// is not a number throws the JSON library's type error.
template <typename T>
T ReadInteger(const nlohmann::json& value, const std::string& name);

// Cuts `text` at each occurrence of the delimiter's first character, trims
// blanks and tabs from each piece, skips empty pieces and reads one T from each
// with the stream extraction operator. A piece that cannot be read is reported
// on standard error and skipped; Split never throws for a bad piece.
template <typename T>
std::vector<T> Split(std::string text, const std::string& delimiter) {
    std::vector<T> values;
    const char separator = delimiter.empty() ? '\0' : delimiter[0];
    std::istringstream stream(std::move(text));
    std::string token;
    while (std::getline(stream, token, separator)) {
        const auto first = token.find_first_not_of(" \t");
        if (first == std::string::npos) {
            continue;
        }
        const auto last = token.find_last_not_of(" \t");
        std::istringstream piece(token.substr(first, last - first + 1));
        T value;
        if (!(piece >> value)) {
            std::cerr << "Failed to convert token '" << Excerpt(token) << "' to type '"
                      << ReadableTypeName(typeid(T)) << "'" << std::endl;
            continue;
        }
        values.push_back(std::move(value));
    }
    return values;
}

template <typename T>
T ReadInteger(const nlohmann::json& value, const std::string& name) {
    static_assert(std::is_integral<T>::value && !std::is_same<T, bool>::value, "an integer type");
    using Limits = std::numeric_limits<T>;
    bool fits = false;
    if (value.is_number_unsigned()) {
        fits = value.get<uint64_t>() <= static_cast<uint64_t>(Limits::max());
    } else if (value.is_number_integer()) {
        const auto number = value.get<int64_t>();
        fits = Limits::is_signed ? number >= static_cast<int64_t>(Limits::min()) &&
                                       number <= static_cast<int64_t>(Limits::max())
                                 : number >= 0 && static_cast<uint64_t>(number) <=
                                                      static_cast<uint64_t>(Limits::max());
    } else if (value.is_number_float()) {
        // Both bounds are powers of two, exact as doubles.
        const double whole = std::trunc(value.get<double>());
        const double above = std::ldexp(1.0, Limits::digits);
        fits = whole < above && whole >= (Limits::is_signed ? -above : 0.0);
    } else {
        throw nlohmann::json::type_error::create(
            302, std::string("type must be number, but is ") + value.type_name(), &value);
    }
    if (!fits) {
        throw std::out_of_range("\"" + name + "\" is " + value.dump() + ", outside " +
                                std::to_string(Limits::min()) + " to " +
                                std::to_string(Limits::max()));
    }
    return value.get<T>();
}
