// Validation members of GCodeManager: lines and whole files against the code
// tables and the command catalogue.
#include "CommandRules.h"
#include "GCodeManager.h"
#include "GCodeTables.h"

#include <algorithm>

using json = nlohmann::json;

namespace {

const char kNotSupported[] = "This command is not currently supported by Tavik.";
const char kRelativeExtruder[] = "E axis must be set to Relative Mode with M83.";
const char kAbsoluteAxes[] = "XYZ axes must be set to Absolute Mode with G90.";

// The mode error of a command that would switch a fixed axis mode, or null.
const char* ModeError(const GCode::Words& words) {
    if (words.CommandIs("M82")) {
        return kRelativeExtruder;
    }
    if (words.CommandIs("G91")) {
        return kAbsoluteAxes;
    }
    return nullptr;
}

bool HoldsMessages(const json& list) {
    return list.is_array() && !list.empty();
}

}  // namespace

void GCodeManager::Validate(const GCode& line, Findings& findings) {
    const GCode::Words words = line.GetWords();
    const CommandRules& rules = CommandRules::Find(words);
    if (rules.ignored) {
        return;
    }
    if (const char* error = ModeError(words)) {
        findings.errors.push_back(error);
        return;
    }
    if (!rules.known || !rules.supported) {
        findings.warnings.push_back(kNotSupported);
        return;
    }
    rules.CheckParameters(words, findings.warnings, findings.errors);
    rules.CheckParameterPrecedence(words, findings.warnings);
    rules.CheckRequiredGroups(words, findings.errors);
    rules.CheckIgnoredIfMissing(words, findings.warnings);
}

json GCodeManager::ValidateLine(const GCode& line) {
    Findings findings;
    Validate(line, findings);
    json result = json::object();
    result["errors"] = std::move(findings.errors);
    result["warnings"] = std::move(findings.warnings);
    result["line"] = line.GetLine();
    result["line_number"] = line.GetLineNumber();
    return result;
}

json GCodeManager::ValidateProgram() {
    json result = {{"results", nullptr}};
    json& results = result["results"];
    for (const GCode& line : lines_) {
        if (line.IsEmpty()) {
            continue;
        }
        Findings findings;
        Validate(line, findings);
        if (HoldsMessages(findings.errors) || HoldsMessages(findings.warnings)) {
            json entry = json::object();
            entry["errors"] = std::move(findings.errors);
            entry["warnings"] = std::move(findings.warnings);
            entry["line"] = line.GetLine();
            entry["line_number"] = line.GetLineNumber();
            results.push_back(std::move(entry));
        }
    }
    return result;
}

json GCodeManager::VerifyFile(const std::string& path) {
    LoadFile(path);
    return ValidateProgram();
}

bool GCodeManager::MatchesCode(GCode line, std::vector<std::string> codes) {
    return CommandMatches(line.GetCommand(), codes);
}

bool GCodeManager::CommandMatches(std::string_view command, const std::vector<std::string>& codes) {
    // The code itself, or with one or two zeros after its first character.
    return std::any_of(codes.begin(), codes.end(), [command](std::string_view code) {
        if (code.empty() || command.size() < code.size() || command.size() > code.size() + 2 ||
            command[0] != code[0]) {
            return false;
        }
        const std::size_t zeros = command.size() - code.size();
        return command.substr(1, zeros).find_first_not_of('0') == std::string_view::npos &&
               command.substr(1 + zeros) == code.substr(1);
    });
}

bool GCodeManager::IsLinearMove(const GCode& line) {
    return MatchesCode(line, {"G0", "G1"});
}

bool GCodeManager::IsIgnoredCode(const GCode& line) {
    const std::string command = line.GetCommand();
    return std::find(IgnoredGCodes.begin(), IgnoredGCodes.end(), command) != IgnoredGCodes.end();
}

bool GCodeManager::CheckModes(const GCode& line, json& errors) {
    const char* error = ModeError(line.GetWords());
    if (error != nullptr) {
        errors.push_back(error);
    }
    return error != nullptr;
}

bool GCodeManager::CheckKnown(const GCode& line, json& warnings) {
    if (SupportedGCodes.count(line.GetCommand()) == 0) {
        warnings.push_back(kNotSupported);
        return false;
    }
    return true;
}

bool GCodeManager::CheckSupported(const GCode& line, json& warnings) {
    const auto entry = SupportedGCodes.find(line.GetCommand());
    if (entry != SupportedGCodes.end() && !entry->second) {
        warnings.push_back(kNotSupported);
        return false;
    }
    return true;
}

void GCodeManager::CheckParameters(const GCode& line, const json& spec, json& warnings,
                                   json& errors) {
    CommandRules::FromSpec(spec).CheckParameters(line.GetWords(), warnings, errors);
}

void GCodeManager::CheckParameterPrecedence(const GCode& line, const json& spec, json& warnings) {
    CommandRules::FromSpec(spec).CheckParameterPrecedence(line.GetWords(), warnings);
}

void GCodeManager::CheckRequiredGroups(const GCode& line, const json& spec, json& errors) {
    CommandRules::FromSpec(spec).CheckRequiredGroups(line.GetWords(), errors);
}

void GCodeManager::CheckIgnoredIfMissing(const GCode& line, const json& spec, json& warnings) {
    CommandRules::FromSpec(spec).CheckIgnoredIfMissing(line.GetWords(), warnings);
}
