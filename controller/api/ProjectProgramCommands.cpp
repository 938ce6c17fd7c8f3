// The commands that run G-code: a line or a raw controller command typed at
// the terminal, and the loading of a program file.
#include "GCode.h"
#include "GCodeManager.h"
#include "MainConnection.h"
#include "Project.h"
#include "Utilities.h"
#include "VrxException.h"

#include <cstdint>
#include <string>

using nlohmann::json;

namespace {

// The return code of a command that the controller refused.
constexpr int32_t kCommandRejected = -10000;

// The controller would see such a text only up to the NUL.
const char kNulRefused[] = "Not sent: the command holds a NUL character";

}  // namespace

void Project::Handle_TerminalCommand(const json& message) {
    const json& data = message.at("data");
    const auto& text = data.get_ref<const std::string&>();
    const GCode line(text, 0);
    if (line.IsSupported()) {
        // Its tasks report through the task messages; no reply.
        GCodeManager::GetInstance().ProcessLine(line, false);
        return;
    }
    std::string response;
    std::string return_char = ":";
    if (line.IsKnownUnsupported()) {
        response = "GCode not supported";
        return_char = "?";
    } else if (text.find('\0') != std::string::npos) {
        response = kNulRefused;
        return_char = "?";
    } else {
        // Not a G-code at all: the text goes to the controller exactly as typed.
        try {
            response = MainConnection::GetInstance().CommandIfEnabled(text);
        } catch (const VrxException& error) {
            if (error.GetRc() != kCommandRejected) {
                throw;
            }
            response = error.GetErrorString();
            return_char = "?";
        }
    }
    json reply = {{"command", "terminalResponse"},
                  {"response", response},
                  {"vrx", data},
                  {"return_char", return_char}};
    Send(DumpMessage(reply));
}

void Project::Handle_LoadGcode(const json& message) {
    const auto path = message.at("file").get<std::string>();
    const bool execute = message.at("execute").get<bool>();
    const json failure = GCodeManager::GetInstance().LoadProgram(path, execute);
    json reply = {{"command", "loadResponse"}, {"status", "success"}};
    if (!failure.is_null()) {
        reply["status"] = "error";
        reply["message"] = failure;
    }
    Send(DumpMessage(reply));
}
