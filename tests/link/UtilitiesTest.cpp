#include "Utilities.h"

#include <gtest/gtest.h>

TEST(FormatNumber, TrimsTrailingZerosAndPoint) {
    const std::tuple<double, int, std::string> rows[] = {
        {12.5, 2, "12.5"}, {12.0, 1, "12"}, {100.0, 1, "100"},        {0.0, 1, "0"},
        {-0.5, 1, "-0.5"}, {0.04, 1, "0"},  {1234.567, 2, "1234.57"}, {100.0, 0, "100"},
        {0.0, 0, "0"},  // without a decimal point there is nothing to trim
    };
    for (const auto& [value, precision, text] : rows)
        EXPECT_EQ(FormatNumber(value, precision), text) << value << " " << precision;
}

TEST(Split, ReadsTokensOnTheFirstDelimiterCharacter) {
    using Numbers = std::vector<long long>;
    using Words = std::vector<std::string>;
    EXPECT_EQ(Split<long long>("10, 20,30", ", "), (Numbers{10, 20, 30}));
    EXPECT_EQ(Split<long long>("1, , 2", ", "), (Numbers{1, 2}));
    EXPECT_EQ(Split<long long>("-7, 12abc", ", "), (Numbers{-7, 12}));
    EXPECT_EQ(Split<std::string>("G1  X10", " "), (Words{"G1", "X10"}));
    EXPECT_EQ(Split<std::string>("G1\tX10 Y2", " "), (Words{"G1", "Y2"}));
    EXPECT_TRUE(Split<std::string>("", " ").empty());
    EXPECT_TRUE(Split<long long>("", ", ").empty());
}

TEST(Split, ReportsAndSkipsBadTokensOnOneShortLineEach) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(Split<long long>("5, x, 7", ", "), (std::vector<long long>{5, 7}));
    // A token made of line feeds, or a huge one, still gives one short line.
    Split<long long>("\n\nx, " + std::string(1000, 'y'), ", ");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Failed to convert token ' x' to type 'long long'\n"
              "Failed to convert token '\\n\\nx' to type 'long long'\n"
              "Failed to convert token ' " +
                  std::string(199, 'y') + "...' to type 'long long'\n");
}

TEST(ReadInteger, TakesTheWholePartOfNumbersInRangeAndRefusesTheRest) {
    using nlohmann::json;
    EXPECT_EQ(ReadInteger<int32_t>(json(2147483647.9), "n"), 2147483647);
    EXPECT_EQ(ReadInteger<int32_t>(json(-2147483648.9), "n"), INT32_MIN);
    EXPECT_EQ(ReadInteger<int32_t>(json(-5), "n"), -5);
    EXPECT_EQ(ReadInteger<uint32_t>(json(-0.5), "n"), 0u);
    EXPECT_EQ(ReadInteger<uint32_t>(json(4294967295u), "n"), 4294967295u);
    EXPECT_EQ(ReadInteger<int64_t>(json(-9223372036854775807LL - 1), "n"), INT64_MIN);
    for (const json& value : {json(2147483648.0), json(-2147483649.0), json(2147483648u),
                              json(-2147483649LL), json(1e300), json(-1e300)})
        EXPECT_THROW(ReadInteger<int32_t>(value, "n"), std::out_of_range) << value;
    for (const json& value : {json(-1), json(-1.0), json(4294967296.0), json(4294967296u)})
        EXPECT_THROW(ReadInteger<uint32_t>(value, "n"), std::out_of_range) << value;
    EXPECT_THROW(ReadInteger<int64_t>(json(9223372036854775808.0), "n"), std::out_of_range);
    EXPECT_THROW(ReadInteger<int64_t>(json(18446744073709551615u), "n"), std::out_of_range);
    for (const json& value : {json(true), json("1"), json(nullptr), json::array()})
        EXPECT_THROW(ReadInteger<int32_t>(value, "n"), json::type_error) << value;
}

TEST(ReplyReading, ReadsWhatWasAskedOrFailsNamingCommandAndReply) {
    EXPECT_EQ(ParseReplyNumber("MG _XQ", " -1.0000\r\n"), -1.0);
    EXPECT_EQ(ParseReplyNumber("MG _XQ", "3"), 3.0);
    EXPECT_EQ(ParseReplyIntegers("RP", "1, -2,3 , 4, 5"), (std::vector<long long>{1, -2, 3, 4, 5}));
    const std::pair<const char*, const char*> numbers[] = {
        {"MG _XQ", ""}, {"MG _XQ", "abc"}, {"MG TIME", "12abc"}, {"MG TIME", "nan"}};
    for (const auto& [command, reply] : numbers) {
        try {
            ParseReplyNumber(command, reply);
            ADD_FAILURE() << reply << " was read";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(error.what(), "Unreadable reply to \"" + std::string(command) + "\": \"" +
                                        reply + "\" is not a number");
        }
    }
    for (const char* reply : {"", "1, , 2", "5, x, 7", "-7, 12abc", "1.5, 2"}) {
        EXPECT_THROW(ParseReplyIntegers("RP", reply), std::runtime_error) << reply;
    }
}
