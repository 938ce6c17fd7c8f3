#include "CommandRules.h"
#include "GCodeManager.h"
#include "GCodeTables.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

using json = nlohmann::json;

namespace {

json Validate(const std::string& text) {
    return GCodeManager::GetInstance().ValidateLine(GCode(text, 4));
}

json List(std::initializer_list<const char*> messages) {
    if (messages.size() == 0) {
        return nullptr;
    }
    json list = json::array();
    for (const char* message : messages) {
        list.push_back(message);
    }
    return list;
}

void ExpectFindings(const std::string& text, std::initializer_list<const char*> errors,
                    std::initializer_list<const char*> warnings) {
    const json result = Validate(text);
    EXPECT_EQ(result["errors"], List(errors)) << text;
    EXPECT_EQ(result["warnings"], List(warnings)) << text;
}

void ExpectClean(const std::string& text) {
    ExpectFindings(text, {}, {});
}

const char kNotSupported[] = "This command is not currently supported by Tavik.";

// The reference acceptance: the standard conversions themselves.
bool StandardIntegerAccepts(const std::string& value) {
    try {
        std::stoi(value, nullptr, 10);
    } catch (const std::exception&) {
        return false;
    }
    return value.find('.') == std::string::npos;
}

bool StandardFloatAccepts(const std::string& value) {
    try {
        std::stod(value);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

}  // namespace

TEST(ValidateLine, ResultShape) {
    const json result = GCodeManager::GetInstance().ValidateLine(GCode("g28 x ; home", 12));
    EXPECT_EQ(result.dump(), R"({"errors":null,"line":"G28 X","line_number":12,"warnings":null})");
}

TEST(ValidateLine, ModesIgnoredAndUnsupported) {
    ExpectFindings("M82", {"E axis must be set to Relative Mode with M83."}, {});
    ExpectFindings("G91 X1", {"XYZ axes must be set to Absolute Mode with G90."}, {});
    ExpectFindings("G091", {"XYZ axes must be set to Absolute Mode with G90."}, {});
    for (const char* ignored : {"M83", "M73 P50", "G80", "G83", "M115", "M862.3", "M862.1 Q"}) {
        ExpectClean(ignored);
    }
    for (const char* unsupported : {"M105", "T0", "X10", "M105 Q1 ZZZ", ";BREAKPOINT", "M862"}) {
        ExpectFindings(unsupported, {}, {kNotSupported});
    }
    ExpectClean("G90 X5");
    ExpectClean("M201 X100");
    ExpectClean("M203 Q");
    ExpectClean("M204 P1");
}

TEST(ValidateLine, UnexpectedAndIgnoredParameters) {
    ExpectFindings("G29 X1", {"Unexpected parameter X.  Please contact Tavik for support."}, {});
    ExpectFindings("M107 S1", {"Unexpected parameter S.  Please contact Tavik for support."}, {});
    ExpectClean("G29");
    ExpectClean("M107");
    ExpectFindings("M104 S200 T0", {},
                   {"The T parameter has no effect in Tavik's software.  It will be ignored."});
    ExpectFindings("M104 T0", {"At least one of the following parameters is required: S"},
                   {"The T parameter has no effect in Tavik's software.  It will be ignored."});
    ExpectFindings("G1 X1 S5", {},
                   {"The S parameter has no effect in Tavik's software.  It will be ignored."});
    ExpectFindings("M106 P1 I2 S5", {},
                   {"The I parameter has no effect in Tavik's software.  It will be ignored.",
                    "The P parameter has no effect in Tavik's software.  It will be ignored."});
}

TEST(ValidateLine, RequiredGroupsAndOrder) {
    ExpectFindings("M106", {"At least one of the following parameters is required: S"}, {});
    ExpectFindings("G1", {"At least one of the following parameters is required: X, Y, Z, E, F"},
                   {});
    ExpectFindings("G92", {"At least one of the following parameters is required: X, Y, Z, E"}, {});
    ExpectFindings("M109", {"At least one of the following parameters is required: S, R"}, {});
    ExpectFindings("M190 T1", {"At least one of the following parameters is required: S, R"},
                   {"The T parameter has no effect in Tavik's software.  It will be ignored."});
    ExpectFindings("G4", {"At least one of the following parameters is required: P, S"}, {});
    ExpectFindings("G1 Q1 A2",
                   {"Unexpected parameter A.  Please contact Tavik for support.",
                    "Unexpected parameter Q.  Please contact Tavik for support.",
                    "At least one of the following parameters is required: X, Y, Z, E, F"},
                   {});
    ExpectFindings("G1 X10 Y", {"Y parameter does not have the correct type - Float expected."},
                   {});
    ExpectClean("M109 R150");
    ExpectClean("M140 S60");
    ExpectClean("M18");
    ExpectClean("M84 X E");
    ExpectClean("G28");
    ExpectClean("G1 F1200");
}

TEST(ValidateLine, TypesAndPrecedence) {
    ExpectFindings("G4 P5 S1", {},
                   {"The S parameter takes precedence over the P parameter. The P parameter will "
                    "be ignored."});
    ExpectFindings("G4 P1.5", {"P parameter does not have the correct type - Integer expected."},
                   {});
    for (const char* good : {"G4 P10abc", "G4 P1e3", "G4 P-3", "G4 P+7", "G4 P-2147483648",
                             "G4 P2147483647", "G4 P0x10", "G4 S1.5", "G4 S.5", "G4 S-1e3",
                             "G4 SINF", "G4 SNAN", "G4 S0X1P3", "G4 S1.5MM"}) {
        ExpectClean(good);
    }
    for (const char* bad : {"G4 P2147483648", "G4 P", "G4 P-2147483649", "G4 PA", "G4 P-", "G4 P5.",
                            "G4 P99999999999999999999"}) {
        ExpectFindings(bad, {"P parameter does not have the correct type - Integer expected."}, {});
    }
    for (const char* bad : {"G1 X", "G1 XA", "G1 X.", "G1 X-", "G1 X1E999", "G1 X1E-999"}) {
        ExpectFindings(bad, {"X parameter does not have the correct type - Float expected."}, {});
    }
    ExpectFindings("G28 X0", {"X parameter does not have the correct type - None expected."}, {});
    ExpectFindings("G4 P1.5 S",
                   {"P parameter does not have the correct type - Integer expected.",
                    "S parameter does not have the correct type - Float expected."},
                   {"The S parameter takes precedence over the P parameter. The P parameter will "
                    "be ignored."});
}

TEST(ValueAcceptance, MatchesTheStandardConversions) {
    std::mt19937 random(12345);
    const std::string alphabet = "0123456789+-.eExXpPaAfFiInNtTyY( ";
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> length(0, 9);
    for (int round = 0; round < 200000; ++round) {
        std::string value;
        for (int i = length(random); i > 0; --i) {
            value += alphabet[pick(random)];
        }
        ASSERT_EQ(CommandRules::Accepts(CommandRules::ValueType::kInteger, value),
                  StandardIntegerAccepts(value))
            << "'" << value << "'";
        ASSERT_EQ(CommandRules::Accepts(CommandRules::ValueType::kFloat, value),
                  StandardFloatAccepts(value))
            << "'" << value << "'";
    }
    for (const std::string& value : {std::string(305, '9'), "0." + std::string(298, '0') + "1",
                                     "0." + std::string(310, '0') + "1", std::string(400, '0')}) {
        EXPECT_EQ(CommandRules::Accepts(CommandRules::ValueType::kFloat, value),
                  StandardFloatAccepts(value));
    }
}

TEST(ValidationSteps, SeparateChecksAgreeWithTheLine) {
    GCodeManager& manager = GCodeManager::GetInstance();
    json errors;
    json warnings;
    EXPECT_TRUE(manager.IsIgnoredCode(GCode("M862.3 P1", 1)));
    EXPECT_FALSE(manager.IsIgnoredCode(GCode("M862", 1)));
    EXPECT_FALSE(manager.CheckModes(GCode("G90", 1), errors));
    EXPECT_TRUE(manager.CheckModes(GCode("M82", 1), errors));
    EXPECT_FALSE(manager.CheckKnown(GCode("G83", 1), warnings));
    EXPECT_TRUE(manager.CheckKnown(GCode("M105", 1), warnings));
    EXPECT_FALSE(manager.CheckSupported(GCode("M105", 1), warnings));
    EXPECT_TRUE(manager.CheckSupported(GCode("X1", 1), warnings));
    EXPECT_EQ(errors, List({"E axis must be set to Relative Mode with M83."}));
    EXPECT_EQ(warnings, List({kNotSupported, kNotSupported}));

    const GCode line("G4 P1.5 S2 Q", 1);
    const json spec = BuildCommandSpec("G4");
    errors = nullptr;
    warnings = nullptr;
    manager.CheckParameters(line, spec, warnings, errors);
    manager.CheckParameterPrecedence(line, spec, warnings);
    manager.CheckRequiredGroups(line, spec, errors);
    const json result = manager.ValidateLine(line);
    EXPECT_EQ(result["errors"], errors);
    EXPECT_EQ(result["warnings"], warnings);

    // No catalogue entry carries this key; the check still honours it.
    json with_groups = BuildCommandSpec("M17");
    with_groups["ignored_if_missing"] = json::array({json::array({"X", "Y"})});
    warnings = nullptr;
    manager.CheckIgnoredIfMissing(GCode("M17 E", 1), with_groups, warnings);
    manager.CheckIgnoredIfMissing(GCode("M17 Y", 1), with_groups, warnings);
    manager.CheckIgnoredIfMissing(GCode("M17 E", 1), nullptr, warnings);
    EXPECT_EQ(warnings, List({"This command is ignored if it does not contain one of the following "
                              "parameters: X, Y"}));
}

TEST(MatchesCode, ZerosAfterTheFirstCharacter) {
    GCodeManager& manager = GCodeManager::GetInstance();
    EXPECT_TRUE(manager.MatchesCode(GCode("G1 X1", 1), {"G0", "G1"}));
    EXPECT_FALSE(manager.MatchesCode(GCode("G1 X1", 1), {"G10"}));
    EXPECT_TRUE(manager.MatchesCode(GCode("M18", 1), {"M18", "M84"}));
    EXPECT_TRUE(manager.MatchesCode(GCode("M084", 1), {"M18", "M84"}));
    EXPECT_FALSE(manager.MatchesCode(GCode("M104", 1), {"M14"}));
    EXPECT_TRUE(manager.IsLinearMove(GCode("g00 x1", 1)));
    EXPECT_TRUE(manager.IsLinearMove(GCode("G1", 1)));
    EXPECT_FALSE(manager.IsLinearMove(GCode("G10", 1)));
    EXPECT_FALSE(manager.IsLinearMove(GCode("", 1)));
}
