#include "GCode.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

#include "Utilities.h"

namespace {

using Parameters = std::map<std::string, std::string>;

void ExpectLine(const GCode& line, const std::string& text, const std::string& command,
                const Parameters& parameters) {
    EXPECT_FALSE(line.IsEmpty());
    EXPECT_EQ(line.GetLine(), text);
    EXPECT_EQ(line.GetCommand(), command);
    EXPECT_EQ(line.GetParameters(), parameters);
}

void ExpectEmpty(const std::string& text) {
    const GCode line(text, 7);
    EXPECT_TRUE(line.IsEmpty()) << text;
    EXPECT_EQ(line.GetLine(), "") << text;
    EXPECT_EQ(line.GetCommand(), "") << text;
    EXPECT_TRUE(line.GetParameters().empty()) << text;
    EXPECT_TRUE(line.IsUnknown()) << text;
    EXPECT_EQ(line.GetLineNumber(), 7u);
}

}  // namespace

TEST(GCodeText, TrimStripUpperNormalize) {
    EXPECT_EQ(GCode::Trim(" \t\nG1 X1\n\t "), "G1 X1");
    EXPECT_EQ(GCode::Trim("\rG1\r"), "\rG1\r");
    EXPECT_EQ(GCode::Trim(" \t\n"), "");
    EXPECT_EQ(GCode::StripComment("G1 X1 ; move ; more"), "G1 X1");
    EXPECT_EQ(GCode::StripComment("; all comment"), "");
    EXPECT_EQ(GCode::ToUpper("g1 x\xe9y;z"), "G1 X\xe9Y;Z");
    EXPECT_EQ(GCode::NormalizeCommand("G01"), "G1");
    EXPECT_EQ(GCode::NormalizeCommand("G00"), "G0");
    EXPECT_EQ(GCode::NormalizeCommand("G0"), "G0");
    EXPECT_EQ(GCode::NormalizeCommand("M0104"), "M104");
    EXPECT_EQ(GCode::NormalizeCommand("G038.2"), "G38.2");
    EXPECT_EQ(GCode::NormalizeCommand("G0.5"), "G.5");
    EXPECT_EQ(GCode::NormalizeCommand("T0"), "T0");
    EXPECT_EQ(GCode::NormalizeCommand("G000"), "G0");
    EXPECT_EQ(GCode::NormalizeCommand(";BREAKPOINT"), ";BREAKPOINT");
}

TEST(GCodeParse, OrdinaryLines) {
    ExpectLine(GCode("G1 X10 Y20 ; move", 1), "G1 X10 Y20", "G1", {{"X", "10"}, {"Y", "20"}});
    ExpectLine(GCode("g01 x5", 1), "G01 X5", "G1", {{"X", "5"}});
    ExpectLine(GCode("G1 X10 X20", 1), "G1 X10 X20", "G1", {{"X", "10"}});
    ExpectLine(GCode("G1  Z1   A2 B", 1), "G1  Z1   A2 B", "G1",
               {{"A", "2"}, {"B", ""}, {"Z", "1"}});
    ExpectLine(GCode("M0104 S200", 1), "M0104 S200", "M104", {{"S", "200"}});
    EXPECT_EQ(GCode("G1 X1", 42).GetLineNumber(), 42u);
}

TEST(GCodeParse, BreakpointLines) {
    ExpectLine(GCode("  ;breakpoint \t", 3), ";BREAKPOINT", ";BREAKPOINT", {});
    EXPECT_TRUE(GCode(";BreakPoint", 3).IsUnknown());
    ExpectEmpty(";BREAKPOINT now");
    // Trimming keeps the carriage return, so this is an ordinary comment.
    ExpectEmpty(";BREAKPOINT\r");
}

TEST(GCodeParse, EmptyLines) {
    ExpectEmpty("");
    ExpectEmpty(" \t \t ");
    ExpectEmpty("; just a comment");
    ExpectEmpty("   ; indented comment");
    testing::internal::CaptureStderr();
    ExpectEmpty("\r");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Failed to convert token '\r' to type 'std::string'\n");
}

TEST(GCodeParse, TabsAndCarriageReturnsEndWords) {
    ExpectLine(GCode("G1\tX10", 1), "G1\tX10", "G1", {});
    ExpectLine(GCode("G1 X10\tY5 Z1", 1), "G1 X10\tY5 Z1", "G1", {{"X", "10"}, {"Z", "1"}});
    ExpectLine(GCode("G28\r", 0), "G28\r", "G28", {});
    ExpectLine(GCode("G1 \t X10 \t", 1), "G1 \t X10", "G1", {{"X", "10"}});
    ExpectLine(GCode("G1 \rX5", 1), "G1 \rX5", "G1", {{"X", "5"}});
    // A piece made only of a carriage return is reported and dropped.
    testing::internal::CaptureStderr();
    ExpectLine(GCode("G1 \r X5", 1), "G1 \r X5", "G1", {{"X", "5"}});
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Failed to convert token '\r' to type 'std::string'\n");
}

TEST(GCodeParse, LongLinesAndCopies) {
    std::string text = "G1";
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        text += std::string(" ") + letter + "123.456";
    }
    const GCode line(text, 9);
    EXPECT_EQ(line.GetLine(), text);
    EXPECT_EQ(line.GetParameters().size(), 26u);
    GCode copy = line;
    GCode assigned("M104 S1", 1);
    assigned = copy;
    GCode moved = std::move(copy);
    EXPECT_EQ(assigned.GetLine(), text);
    EXPECT_EQ(moved.GetLine(), text);
    EXPECT_EQ(moved.GetLineNumber(), 9u);
    EXPECT_EQ(moved.GetParameter("Z"), 123.456);
    assigned = GCode("M104 S1", 2);
    EXPECT_EQ(assigned.GetLine(), "M104 S1");
}

TEST(GCodeParameter, ReadsLeadingNumber) {
    const GCode line("G1 X10ABC Y1E3 Z-2.5 E.5 F", 1);
    EXPECT_EQ(line.GetParameter("X"), 10.0);
    EXPECT_EQ(line.GetParameter("Y"), 1000.0);
    EXPECT_EQ(line.GetParameter("Z"), -2.5);
    EXPECT_EQ(line.GetParameter("E"), 0.5);
    EXPECT_TRUE(line.HasParameter("F"));
    EXPECT_FALSE(line.HasParameter("S"));
    EXPECT_FALSE(line.HasParameter("XY"));
}

TEST(GCodeParameter, InvalidInput) {
    const GCode line("G28 X Y2 ZA", 1);
    for (const char* letter : {"X", "Z", "S", ""}) {
        try {
            line.GetParameter(letter);
            ADD_FAILURE() << letter;
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), "Invalid input");
        }
    }
    EXPECT_EQ(line.GetParameter("Y"), 2.0);
}

TEST(GCodeTableClass, ExactlyOneClassHolds) {
    struct Case {
        const char* text;
        bool supported, known_unsupported, unknown;
    };
    const Case cases[] = {
        {"G1", true, false, false},          {"G01", true, false, false},
        {"g1", true, false, false},          {"M105", false, true, false},
        {"M7219", false, true, false},       {"M7", false, true, false},
        {"M6", false, false, true},          {"T?", false, true, false},
        {"T8", false, false, true},          {"M862", false, true, false},
        {"M862.3", false, false, true},      {"G83", false, false, true},
        {"G80", false, true, false},         {"M82", false, true, false},
        {"G91", false, true, false},         {"M201", true, false, false},
        {"M203 X1", true, false, false},     {"M204", true, false, false},
        {";BREAKPOINT", false, false, true},
    };
    for (const Case& c : cases) {
        const GCode line(c.text, 1);
        EXPECT_EQ(line.IsSupported(), c.supported) << c.text;
        EXPECT_EQ(line.IsKnownUnsupported(), c.known_unsupported) << c.text;
        EXPECT_EQ(line.IsUnknown(), c.unknown) << c.text;
        EXPECT_TRUE(line.IsValid());
    }
}

namespace {

// The line rules written out plainly on std::string, to hold the parser to.
struct ReferenceLine {
    bool empty = false;
    std::string line;
    std::string command;
    Parameters parameters;
};

std::string ReferenceTrim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\n");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

std::string ReferenceUpper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 32);
        }
    }
    return text;
}

ReferenceLine ReferenceParse(const std::string& text) {
    ReferenceLine result;
    std::string s = ReferenceUpper(ReferenceTrim(text));
    if (s != ";BREAKPOINT") {
        s = ReferenceUpper(ReferenceTrim(text.substr(0, text.find(';'))));
        if (s.empty()) {
            result.empty = true;
            return result;
        }
    }
    const std::vector<std::string> words = Split<std::string>(s, " ");
    if (words.empty()) {
        result.empty = true;
        return result;
    }
    result.line = s;
    std::string rest = words[0].substr(1);
    while (rest.size() >= 2 && rest[0] == '0') {
        rest.erase(0, 1);
    }
    result.command = words[0].substr(0, 1) + rest;
    for (std::size_t i = 1; i < words.size(); ++i) {
        result.parameters.emplace(words[i].substr(0, 1), words[i].substr(1));
    }
    return result;
}

}  // namespace

TEST(GCodeParse, AgreesWithThePlainRulesOnRandomLines) {
    std::mt19937 random(2024);
    const std::string alphabet = "gGmMxX0019.;; \t\r\n\v\fBREAKPOINTbreakpoint\xe9";
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> length(0, 50);
    std::vector<std::string> texts;
    for (int round = 0; round < 100000; ++round) {
        std::string text;
        for (int i = length(random); i > 0; --i) {
            text += alphabet[pick(random)];
        }
        if (round % 7 == 0) {
            text = " ;breakpoint" + text.substr(0, round % 3);
        }
        texts.push_back(text);
    }
    std::vector<ReferenceLine> expected;
    testing::internal::CaptureStderr();
    for (const std::string& text : texts) {
        expected.push_back(ReferenceParse(text));
    }
    const std::string expected_errors = testing::internal::GetCapturedStderr();
    std::vector<GCode> lines;
    testing::internal::CaptureStderr();
    for (const std::string& text : texts) {
        lines.emplace_back(text, 1);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected_errors);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        ASSERT_EQ(lines[i].IsEmpty(), expected[i].empty) << texts[i];
        ASSERT_EQ(lines[i].GetLine(), expected[i].line) << texts[i];
        ASSERT_EQ(lines[i].GetCommand(), expected[i].command) << texts[i];
        ASSERT_EQ(lines[i].GetParameters(), expected[i].parameters) << texts[i];
    }
}
