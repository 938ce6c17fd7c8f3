// A command's catalogue entry and table classes in a form that validation can
// read without building JSON: gathered once per command word from the tables
// and the catalogue, so the answers are theirs.
#pragma once

#include "GCode.h"

#include <array>
#include <bitset>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

class CommandRules {
  public:
    // How a parameter's value is checked.
    enum class ValueType { kInteger, kFloat, kNone, kOther };

    // A group of letters of which a line must give one, with the letters
    // joined for its message.
    struct Group {
        std::vector<std::string> letters;
        std::string joined;
        // The one-character letters by byte value; longer ones are never given.
        std::bitset<256> mask;
    };

    // The rules of a catalogue entry (null: no entry, every check passes).
    static CommandRules FromSpec(const nlohmann::json& spec);
    // The rules and table classes of a normalised command word, built once.
    static const CommandRules& Find(const GCode::Words& words);

    // The table classes of the word the rules were found for.
    bool ignored = false;
    bool known = false;
    bool supported = false;

    // Parameter findings, appended to the lists in the order of the letters.
    void CheckParameters(const GCode::Words& words, nlohmann::json& warnings,
                         nlohmann::json& errors) const;
    // Warnings for overridden letters that the line also gives.
    void CheckParameterPrecedence(const GCode::Words& words, nlohmann::json& warnings) const;
    // Errors for required groups of which the line gives no letter.
    void CheckRequiredGroups(const GCode::Words& words, nlohmann::json& errors) const;
    // Warnings for groups without which the line does nothing.
    void CheckIgnoredIfMissing(const GCode::Words& words, nlohmann::json& warnings) const;

    // True when `value` is acceptable for `type`.
    static bool Accepts(ValueType type, std::string_view value);

  private:
    struct Parameter {
        bool member = false;
        ValueType type = ValueType::kOther;
        std::string type_name;
    };

    static bool GivesOneOf(const GCode::Words& words, const Group& group);
    static Group MakeGroup(const nlohmann::json& letters);

    bool has_parameters_ = false;
    std::array<Parameter, 256> parameters_;
    std::bitset<256> ignored_parameters_;
    std::vector<std::pair<std::string, std::vector<std::string>>> precedence_;
    std::vector<Group> required_groups_;
    std::vector<Group> ignored_if_missing_;
};
