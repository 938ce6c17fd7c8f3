// The commands that reach the G-code front end: machine settings and file
// verification. None of them replies except "verifyGcode".
#include "GCodeManager.h"
#include "Project.h"
#include "Utilities.h"

using nlohmann::json;

void Project::Handle_SetAxisResolution(const json& message) {
    const auto axis = message.at("axis").get<std::string>();
    const auto counts_per_mm = message.at("resolution").get<double>();
    GCodeManager::GetInstance().SetAxisResolution(axis, counts_per_mm);
}

void Project::Handle_SetForwardLimit(const json& message) {
    const auto axis = message.at("axis").get<std::string>();
    // A negative value would otherwise wrap into a limit far beyond the axis.
    const auto limit = ReadInteger<uint32_t>(message.at("limit"), "limit");
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
    Send(DumpMessage(result));
}
