#include "CommandRules.h"

#include "GCodeTables.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <unordered_map>

using json = nlohmann::json;

namespace {

// Longest word of the code tables; longer words are unknown without a lookup.
constexpr std::size_t kLongestTableWord = 8;

// Decimal numbers with at most this many digits and no exponent can neither
// overflow nor underflow a double, so they need no conversion to be judged.
constexpr int kPlainDigitsLimit = 300;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Accepted when the standard base-10 string-to-int conversion reads a value in
// the 32-bit range from the front and the text holds no point.
bool AcceptsInteger(std::string_view value) {
    if (value.find('.') != std::string_view::npos) {
        return false;
    }
    std::size_t i = 0;
    while (i < value.size() && (value[i] == ' ' || (value[i] >= '\t' && value[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
        negative = value[i] == '-';
        ++i;
    }
    const long long limit = negative ? -static_cast<long long>(std::numeric_limits<int>::min())
                                     : static_cast<long long>(std::numeric_limits<int>::max());
    long long magnitude = 0;
    const std::size_t first_digit = i;
    for (; i < value.size() && IsDigit(value[i]); ++i) {
        magnitude = magnitude * 10 + (value[i] - '0');
        if (magnitude > limit) {
            return false;
        }
    }
    return i > first_digit;
}

// Accepted when the standard string-to-double conversion reads a number from
// the front without a range error. Plain decimals are judged here; every other
// form goes through the conversion itself.
bool AcceptsFloat(std::string_view value) {
    std::size_t i = 0;
    if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
        ++i;
    }
    int digits = 0;
    for (; i < value.size() && IsDigit(value[i]); ++i) {
        ++digits;
    }
    if (i < value.size() && value[i] == '.') {
        for (++i; i < value.size() && IsDigit(value[i]); ++i) {
            ++digits;
        }
    }
    const bool more_follows = i < value.size() && (value[i] == 'e' || value[i] == 'E' ||
                                                   value[i] == 'x' || value[i] == 'X');
    if (digits > 0 && digits <= kPlainDigitsLimit && !more_follows) {
        return true;
    }
    const std::string text(value);
    char* end = nullptr;
    const int saved_errno = errno;
    errno = 0;
    std::strtod(text.c_str(), &end);
    const bool accepted = end != text.c_str() && errno != ERANGE;
    errno = saved_errno;
    return accepted;
}

void Append(json& list, std::string message) {
    list.push_back(std::move(message));
}

bool Gives(const GCode::Words& words, const std::string& letter) {
    return letter.size() == 1 && words.Gives(letter[0]);
}

// A command word of up to eight bytes packed into one number, for lookups
// without hashing text.
uint64_t PackedWord(std::string_view head, std::string_view tail) {
    char bytes[sizeof(uint64_t)] = {};
    std::copy(head.begin(), head.end(), bytes);
    std::copy(tail.begin(), tail.end(), bytes + head.size());
    uint64_t packed = 0;
    std::memcpy(&packed, bytes, sizeof packed);
    return packed;
}

CommandRules::ValueType TypeOf(const std::string& name) {
    if (name == "Integer") {
        return CommandRules::ValueType::kInteger;
    }
    if (name == "Float") {
        return CommandRules::ValueType::kFloat;
    }
    if (name == "None") {
        return CommandRules::ValueType::kNone;
    }
    return CommandRules::ValueType::kOther;
}

// Keyed by the packed word: every word of the tables fits in eight bytes and
// holds no zero byte, so distinct words have distinct keys.
using RulesIndex = std::unordered_map<uint64_t, CommandRules>;

RulesIndex BuildIndex() {
    RulesIndex index;
    for (const auto& [word, supported] : SupportedGCodes) {
        CommandRules rules = CommandRules::FromSpec(BuildCommandSpec(word));
        rules.known = true;
        rules.supported = supported;
        index.emplace(PackedWord(word, {}), std::move(rules));
    }
    for (const std::string& word : IgnoredGCodes) {
        index[PackedWord(word, {})].ignored = true;
    }
    return index;
}

}  // namespace

CommandRules CommandRules::FromSpec(const json& spec) {
    CommandRules rules;
    if (!spec.is_object()) {
        return rules;
    }
    if (const auto found = spec.find("parameters"); found != spec.end()) {
        rules.has_parameters_ = true;
        if (found->is_object()) {
            for (const auto& [letter, parameter] : found->items()) {
                if (letter.size() != 1) {
                    continue;
                }
                Parameter& rule = rules.parameters_[static_cast<unsigned char>(letter[0])];
                rule.member = true;
                rule.type_name = parameter.at("type").get<std::string>();
                rule.type = TypeOf(rule.type_name);
            }
        }
    }
    if (const auto found = spec.find("ignored_parameters"); found != spec.end()) {
        for (const json& letter : *found) {
            if (letter.is_string() && letter.get_ref<const std::string&>().size() == 1) {
                rules.ignored_parameters_.set(
                    static_cast<unsigned char>(letter.get_ref<const std::string&>()[0]));
            }
        }
    }
    if (const auto found = spec.find("parameter_precedence"); found != spec.end()) {
        for (const auto& [letter, overridden] : found->items()) {
            rules.precedence_.emplace_back(letter, overridden.get<std::vector<std::string>>());
        }
    }
    if (const auto found = spec.find("required_groups"); found != spec.end()) {
        for (const json& group : *found) {
            rules.required_groups_.push_back(MakeGroup(group));
        }
    }
    if (const auto found = spec.find("ignored_if_missing"); found != spec.end()) {
        for (const json& group : *found) {
            rules.ignored_if_missing_.push_back(MakeGroup(group));
        }
    }
    return rules;
}

CommandRules::Group CommandRules::MakeGroup(const json& letters) {
    Group group;
    group.letters = letters.get<std::vector<std::string>>();
    for (const std::string& letter : group.letters) {
        if (&letter != &group.letters.front()) {
            group.joined += ", ";
        }
        group.joined += letter;
        if (letter.size() == 1) {
            group.mask.set(static_cast<unsigned char>(letter[0]));
        }
    }
    return group;
}

const CommandRules& CommandRules::Find(const GCode::Words& words) {
    static const RulesIndex index = BuildIndex();
    static const CommandRules unknown;
    const std::size_t size = words.command_head.size() + words.command_tail.size();
    if (size > kLongestTableWord || size == 0 ||
        words.command_head.find('\0') != std::string_view::npos ||
        words.command_tail.find('\0') != std::string_view::npos) {
        return unknown;
    }
    const auto found = index.find(PackedWord(words.command_head, words.command_tail));
    return found == index.end() ? unknown : found->second;
}

bool CommandRules::Accepts(ValueType type, std::string_view value) {
    switch (type) {
        case ValueType::kInteger:
            return AcceptsInteger(value);
        case ValueType::kFloat:
            return AcceptsFloat(value);
        case ValueType::kNone:
            return value.empty();
        case ValueType::kOther:
            break;
    }
    return false;
}

namespace {

// The parameter's letter as a message quotes it: a letter that starts a
// character of several UTF-8 bytes comes with the rest of the character,
// which stands at the start of the value.
std::string QuotedLetter(const GCode::Word& word) {
    const auto lead = static_cast<unsigned char>(word.letter);
    const std::size_t more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    std::string letter(1, word.letter);
    if (more == 0 || word.value.size() < more) {
        return letter;
    }
    for (std::size_t i = 0; i < more; ++i) {
        if ((static_cast<unsigned char>(word.value[i]) & 0xC0) != 0x80) {
            return letter;
        }
    }
    return letter.append(word.value.substr(0, more));
}

}  // namespace

void CommandRules::CheckParameters(const GCode::Words& words, json& warnings, json& errors) const {
    if (!has_parameters_) {
        return;
    }
    for (const GCode::Word& word : words.parameters) {
        const auto key = static_cast<unsigned char>(word.letter);
        const std::string letter(1, word.letter);
        const Parameter& rule = parameters_[key];
        if (!rule.member) {
            if (ignored_parameters_.test(key)) {
                Append(warnings,
                       "The " + letter +
                           " parameter has no effect in Tavik's software.  It will be ignored.");
            } else {
                Append(errors, "Unexpected parameter " + QuotedLetter(word) +
                                   ".  Please contact Tavik for support.");
            }
            continue;
        }
        if (!Accepts(rule.type, word.value)) {
            Append(errors, letter + " parameter does not have the correct type - " +
                               rule.type_name + " expected.");
        }
    }
}

void CommandRules::CheckParameterPrecedence(const GCode::Words& words, json& warnings) const {
    for (const auto& [first, overridden] : precedence_) {
        if (!Gives(words, first)) {
            continue;
        }
        for (const std::string& second : overridden) {
            if (Gives(words, second)) {
                Append(warnings, "The " + first + " parameter takes precedence over the " + second +
                                     " parameter. The " + second + " parameter will be ignored.");
            }
        }
    }
}

bool CommandRules::GivesOneOf(const GCode::Words& words, const Group& group) {
    return (words.letters & group.mask).any();
}

void CommandRules::CheckRequiredGroups(const GCode::Words& words, json& errors) const {
    for (const Group& group : required_groups_) {
        if (!GivesOneOf(words, group)) {
            Append(errors, "At least one of the following parameters is required: " + group.joined);
        }
    }
}

void CommandRules::CheckIgnoredIfMissing(const GCode::Words& words, json& warnings) const {
    for (const Group& group : ignored_if_missing_) {
        if (!GivesOneOf(words, group)) {
            Append(warnings,
                   "This command is ignored if it does not contain one of the following "
                   "parameters: " +
                       group.joined);
        }
    }
}
