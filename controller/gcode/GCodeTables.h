// The fixed tables that classify a command word and the command catalogue that
// describes the parameters of the commands the front end validates.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// Codes that validation passes over without a word, in this order.
extern const std::vector<std::string> IgnoredGCodes;

// Every known command word, flagged true when the machine carries it out.
extern const std::map<std::string, bool> SupportedGCodes;

// The catalogue entry of a normalised command word as a fresh JSON value, or
// null when the word has none.
nlohmann::json BuildCommandSpec(const std::string& command);
