#include "GCode.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using Parameters = std::map<std::string, std::string>;

const char kUnreadCr[] = "Failed to convert token '\r' to type 'std::string'\n";
const char kUnreadVf[] = "Failed to convert token '\v\f' to type 'std::string'\n";

}  // namespace

TEST(GCodeParse, Lines) {
    struct Row {
        const char* text;
        const char* line;  // "" for an empty line
        const char* command;
        Parameters parameters;
        const char* errors = "";
    };
    const Row rows[] = {
        {"G1 X10 Y20 ; move", "G1 X10 Y20", "G1", {{"X", "10"}, {"Y", "20"}}},
        {"g01 x5", "G01 X5", "G1", {{"X", "5"}}},
        {"G1 X10 X20", "G1 X10 X20", "G1", {{"X", "10"}}},
        {"G1  Z1   A2 B", "G1  Z1   A2 B", "G1", {{"A", "2"}, {"B", ""}, {"Z", "1"}}},
        {"M0104 S200", "M0104 S200", "M104", {{"S", "200"}}},
        {"G038.2", "G038.2", "G38.2", {}},
        {"G0.5", "G0.5", "G.5", {}},
        {"G000", "G000", "G0", {}},
        {"T0", "T0", "T0", {}},
        {"g1 x\xe9y", "G1 X\xe9Y", "G1", {{"X", "\xe9Y"}}},
        {"  ;breakpoint \t", ";BREAKPOINT", ";BREAKPOINT", {}},
        {";BREAKPOINT now", "", "", {}},
        // Trimming keeps the carriage return, so this is an ordinary comment.
        {";BREAKPOINT\r", "", "", {}},
        {"", "", "", {}},
        {" \t \t ", "", "", {}},
        {"   ; indented comment", "", "", {}},
        {"\r", "", "", {}, kUnreadCr},
        {"G1\tX10", "G1\tX10", "G1", {}},
        {"G1 X10\tY5 Z1", "G1 X10\tY5 Z1", "G1", {{"X", "10"}, {"Z", "1"}}},
        {"G28\r", "G28\r", "G28", {}},
        {"G1 \t X10 \t", "G1 \t X10", "G1", {{"X", "10"}}},
        {"G1 \rX5", "G1 \rX5", "G1", {{"X", "5"}}},
        {"G1 \r X5", "G1 \r X5", "G1", {{"X", "5"}}, kUnreadCr},
        {"G1 \vX5\f Y2", "G1 \vX5\f Y2", "G1", {{"X", "5"}, {"Y", "2"}}},
        {"G1 \v\f X5", "G1 \v\f X5", "G1", {{"X", "5"}}, kUnreadVf},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(std::string(row.text)));
        testing::internal::CaptureStderr();
        const GCode line(row.text, 7);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), row.errors);
        EXPECT_EQ(line.IsEmpty(), *row.line == '\0');
        EXPECT_EQ(line.GetLine(), row.line);
        EXPECT_EQ(line.GetCommand(), row.command);
        EXPECT_EQ(line.GetParameters(), row.parameters);
        EXPECT_EQ(line.GetLineNumber(), 7u);
    }
}

TEST(GCodeParse, CopiesOfLongAndShortLines) {
    std::string text = "G1";
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        text += std::string(" ") + letter + "123.456";
    }
    GCode copy(text, 9);
    GCode assigned("M104 S1", 1);
    assigned = copy;
    const GCode moved = std::move(copy);
    EXPECT_EQ(assigned.GetLine(), text);
    EXPECT_EQ(moved.GetParameters().size(), 26u);
    EXPECT_EQ(moved.GetParameter("Z"), 123.456);
    assigned = GCode("M104 S1", 2);
    EXPECT_EQ(assigned.GetLine(), "M104 S1");
}

TEST(GCodeParameter, ReadsTheLeadingNumberOrThrows) {
    const GCode line("G1 X10ABC Y1E3 Z-2.5 E.5 F AB", 1);
    for (const auto& [letter, value] :
         {std::pair<const char*, double>{"X", 10}, {"Y", 1000}, {"Z", -2.5}, {"E", 0.5}}) {
        EXPECT_EQ(line.GetParameter(letter), value) << letter;
    }
    for (const char* letter : {"F", "A", "S", ""}) {
        try {
            line.GetParameter(letter);
            ADD_FAILURE() << letter;
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), "Invalid input");
        }
    }
    EXPECT_TRUE(line.HasParameter("F"));
    EXPECT_FALSE(line.HasParameter("S"));
    EXPECT_FALSE(line.HasParameter("XY"));
}
