// UTF-8 checks shared by the fuzz targets.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

// True when `text` is well-formed UTF-8, by the JSON library's own rule.
bool IsValidUtf8(const std::string& text);

// Dumps `value`: strictly when everything it was made from was valid UTF-8
// (a failure then means the code cut or invented a bad byte), with bad bytes
// replaced otherwise. Returns false when the strict dump fails.
bool DumpsCleanly(const nlohmann::json& value, bool input_was_utf8);
