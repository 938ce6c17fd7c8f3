// Small text and number helpers shared by every subsystem.
#pragma once

#include <iostream>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

// Writes `value` in fixed notation with `precision` decimals, then drops
// trailing zeros and a trailing point: 12.50 -> "12.5", 100.0 -> "100".
std::string FormatNumber(double value, int precision);

// Readable name of a type for diagnostics ("long long", not its mangled form).
std::string ReadableTypeName(const std::type_info& type);

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
            std::cerr << "Failed to convert token '" << token << "' to type '"
                      << ReadableTypeName(typeid(T)) << "'" << std::endl;
            continue;
        }
        values.push_back(std::move(value));
    }
    return values;
}
