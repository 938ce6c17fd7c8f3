#include "CommandRules.h"
#include "GCodeManager.h"

#include <gtest/gtest.h>

#include <stdexcept>

using json = nlohmann::json;
using Texts = std::vector<std::string>;

namespace {

const std::string kNotSupported = "This command is not currently supported by Tavik.";
const std::string kSPrecedence =
    "The S parameter takes precedence over the P parameter. The P parameter will be ignored.";
std::string Ignored(const std::string& p) {
    return "The " + p + " parameter has no effect in Tavik's software.  It will be ignored.";
}
std::string Unexpected(const std::string& p) {
    return "Unexpected parameter " + p + ".  Please contact Tavik for support.";
}
std::string Required(const std::string& p) {
    return "At least one of the following parameters is required: " + p;
}
std::string WrongType(const std::string& p, const std::string& type) {
    return p + " parameter does not have the correct type - " + type + " expected.";
}

}  // namespace

TEST(ValidateLine, ResultShape) {
    const json result = GCodeManager::GetInstance().ValidateLine(GCode("g28 x ; home", 12));
    EXPECT_EQ(result.dump(), R"({"errors":null,"line":"G28 X","line_number":12,"warnings":null})");
}

TEST(ValidateLine, Findings) {
    const std::string m82 = "E axis must be set to Relative Mode with M83.";
    const std::string g91 = "XYZ axes must be set to Absolute Mode with G90.";
    const std::string int_p = WrongType("P", "Integer");
    const std::string float_x = WrongType("X", "Float");
    struct Row {
        std::string text;
        Texts errors;
        Texts warnings;
    };
    std::vector<Row> rows = {
        {"M82", {m82}, {}},
        {"G91 X1", {g91}, {}},
        {"G091", {g91}, {}},
        {"G29 X1", {Unexpected("X")}, {}},
        {"M107 S1", {Unexpected("S")}, {}},
        {"M104 S200 T0", {}, {Ignored("T")}},
        {"M104 T0", {Required("S")}, {Ignored("T")}},
        {"G1 X1 S5", {}, {Ignored("S")}},
        {"M106 P1 I2 S5", {}, {Ignored("I"), Ignored("P")}},
        {"M106", {Required("S")}, {}},
        {"M140 T1", {Unexpected("T"), Required("S")}, {}},
        {"G1", {Required("X, Y, Z, E, F")}, {}},
        {"G92", {Required("X, Y, Z, E")}, {}},
        {"M109", {Required("S, R")}, {}},
        {"M190 T1", {Required("S, R")}, {Ignored("T")}},
        {"G4", {Required("P, S")}, {}},
        {"G1 Q1 A2", {Unexpected("A"), Unexpected("Q"), Required("X, Y, Z, E, F")}, {}},
        {"G1 X10 Y", {WrongType("Y", "Float")}, {}},
        {"G4 P5 S1", {}, {kSPrecedence}},
        {"G4 P1.5 S", {int_p, WrongType("S", "Float")}, {kSPrecedence}},
        {"G28 X0", {WrongType("X", "None")}, {}},
    };
    // Every supported code has a clean form; ignored codes pass unchecked.
    for (const char* clean :
         {"G0 X1",    "G1 F1200", "G4 P2",     "G28",     "G29",     "G90 X5", "G92 E0",
          "M17",      "M18",      "M84 X E",   "M104 S1", "M106 S1", "M107",   "M109 R150",
          "M140 S60", "M190 S1",  "M201 X100", "M203 Q",  "M204 P1", "M83",    "M73 P50",
          "G80",      "G83",      "M115",      "M862.3",  "M862.1 Q"}) {
        rows.push_back({clean, {}, {}});
    }
    for (const char* unsupported : {"M105", "T0", "X10", "M105 Q1 ZZZ", ";BREAKPOINT", "M862"}) {
        rows.push_back({unsupported, {}, {kNotSupported}});
    }
    for (const char* good : {"G4 P10abc", "G4 P1e3", "G4 P-3", "G4 P+7", "G4 P-2147483648",
                             "G4 P2147483647", "G4 P0x10", "G4 S1.5", "G4 S.5", "G4 S-1e3",
                             "G4 SINF", "G4 SNAN", "G4 S0X1P3", "G4 S1.5MM"}) {
        rows.push_back({good, {}, {}});
    }
    for (const char* bad : {"G4 P2147483648", "G4 P", "G4 P-2147483649", "G4 PA", "G4 P-", "G4 P5.",
                            "G4 P99999999999999999999", "G4 P1.5"}) {
        rows.push_back({bad, {int_p}, {}});
    }
    for (const char* bad : {"G1 X", "G1 XA", "G1 X.", "G1 X-", "G1 X1E999", "G1 X1E-999"}) {
        rows.push_back({bad, {float_x}, {}});
    }
    // Values far outside a double's range or precision.
    rows.push_back({"G1 X" + std::string(305, '9') + " Y0." + std::string(298, '0') + "1 E" +
                        std::string(400, '0'),
                    {},
                    {}});
    rows.push_back({"G1 X0." + std::string(310, '0') + "1", {float_x}, {}});
    rows.push_back({"G4 P" + std::string(400, '0'), {}, {}});
    for (const Row& row : rows) {
        const json result = GCodeManager::GetInstance().ValidateLine(GCode(row.text, 4));
        EXPECT_EQ(result["errors"], row.errors.empty() ? json() : json(row.errors)) << row.text;
        EXPECT_EQ(result["warnings"], row.warnings.empty() ? json() : json(row.warnings))
            << row.text;
    }
}

TEST(ValidationSteps, EachStepReportsWhetherItFoundSomething) {
    GCodeManager& manager = GCodeManager::GetInstance();
    json errors, warnings;
    EXPECT_FALSE(manager.IsIgnoredCode(GCode("M862", 1)));
    EXPECT_TRUE(manager.CheckModes(GCode("M82", 1), errors) &&
                manager.CheckKnown(GCode("M105", 1), warnings));
    EXPECT_TRUE(manager.CheckSupported(GCode("X1", 1), warnings));
    EXPECT_FALSE(manager.CheckModes(GCode("G90", 1), errors) ||
                 manager.CheckKnown(GCode("G83", 1), warnings) ||
                 manager.CheckSupported(GCode("M105", 1), warnings));
    EXPECT_EQ(errors, json({"E axis must be set to Relative Mode with M83."}));
    EXPECT_EQ(warnings, json({kNotSupported, kNotSupported}));
}
