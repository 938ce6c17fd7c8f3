// The commands that reach the G-code front end: machine settings and file
// verification. None of them replies except "verifyGcode".
#include "GCodeManager.h"
#include "Project.h"

#include <cmath>
#include <cstdint>
#include <stdexcept>

using nlohmann::json;

namespace {

// A forward limit in counts: a number from 0 to 2^32 - 1, read toward zero.
// A negative value would otherwise wrap into a limit far beyond the axis.
uint32_t ReadLimit(const json& value) {
    if (!value.is_number()) {
        throw std::invalid_argument("limit must be a number");
    }
    const double limit = value.get<double>();
    if (!(limit >= 0.0) || !(limit < 4294967296.0)) {
        throw std::out_of_range("limit " + value.dump() + " is not a count from 0 to 4294967295");
    }
    return value.is_number_float() ? static_cast<uint32_t>(std::trunc(limit))
                                   : value.get<uint32_t>();
}

}  // namespace

void Project::Handle_SetAxisResolution(const json& message) {
    const auto axis = message.at("axis").get<std::string>();
    const auto counts_per_mm = message.at("resolution").get<double>();
    GCodeManager::GetInstance().SetAxisResolution(axis, counts_per_mm);
}

void Project::Handle_SetForwardLimit(const json& message) {
    const auto axis = message.at("axis").get<std::string>();
    const uint32_t limit = ReadLimit(message.at("limit"));
    GCodeManager::GetInstance().SetForwardLimit(axis, limit);
}

void Project::Handle_SetFeedrate(const json& message) {
    GCodeManager::GetInstance().SetFeedrate(message.at("feedrate").get<double>());
}

void Project::Handle_SetUnits(const json& message) {
    GCodeManager::GetInstance().SetUnits(message.at("units").get<std::string>());
}

void Project::Handle_LoadSettings(const json& message) {
    GCodeManager::GetInstance().LoadSettings(message.at("settings"));
}

void Project::Handle_VerifyGcode(const json& message) {
    json result = GCodeManager::GetInstance().VerifyFile(message.at("file").get<std::string>());
    result["command"] = "verifyResponse";
    Send(result.dump());
}
