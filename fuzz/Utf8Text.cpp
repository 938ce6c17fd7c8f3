#include "Utf8Text.h"

bool IsValidUtf8(const std::string& text) {
    try {
        nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

bool DumpsCleanly(const nlohmann::json& value, bool input_was_utf8) {
    if (!input_was_utf8) {
        value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        return true;
    }
    try {
        value.dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}
