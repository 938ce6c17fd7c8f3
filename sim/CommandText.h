// Pieces of controller command syntax: numbers, axis letters, value lists.
#pragma once

#include <array>
#include <optional>
#include <string>

namespace sim {

// Up to five values for axes A to E; an empty field leaves its axis alone.
using AxisValues = std::array<std::optional<double>, 5>;

// Stateless parsing and formatting helpers of the command language.
class CommandText {
  public:
    // Removes blanks at both ends.
    static std::string Trim(const std::string& text);
    // Parses a whole text as a finite number (blanks around allowed).
    static bool ParseNumber(const std::string& text, double* value);
    // Parses axis letters A to E (and S when `allow_s`), blanks ignored,
    // each at most once; an empty text gives an empty list.
    static bool ParseAxisLetters(const std::string& text, bool allow_s, std::string* letters);
    // Parses "v1,v2,..." with up to five fields, empty ones allowed.
    static bool ParseAxisValues(const std::string& text, AxisValues* values);
    // Parses "name" or "name[index]"; *index is -1 without brackets.
    static bool ParseName(const std::string& text, std::string* name, long* index);
    // Number as a controller prints it: fixed, four decimals.
    static std::string FormatNumber(double value);
    // Index 0..4 of an axis letter, or -1.
    static int AxisIndex(char letter);
};

}  // namespace sim
