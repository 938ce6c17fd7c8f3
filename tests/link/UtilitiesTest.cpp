#include "Utilities.h"

#include <gtest/gtest.h>

TEST(FormatNumber, TrimsTrailingZerosAndPoint) {
    EXPECT_EQ(FormatNumber(12.5, 2), "12.5");
    EXPECT_EQ(FormatNumber(12.0, 1), "12");
    EXPECT_EQ(FormatNumber(100.0, 1), "100");
    EXPECT_EQ(FormatNumber(0.0, 1), "0");
    EXPECT_EQ(FormatNumber(-0.5, 1), "-0.5");
    EXPECT_EQ(FormatNumber(0.04, 1), "0");
    EXPECT_EQ(FormatNumber(1234.567, 2), "1234.57");
}

TEST(FormatNumber, PrecisionZeroKeepsWholeNumbers) {
    // Without a decimal point there is nothing to trim.
    EXPECT_EQ(FormatNumber(100.0, 0), "100");
    EXPECT_EQ(FormatNumber(0.0, 0), "0");
}

TEST(Split, ReadsIntegersOnCommaBlank) {
    EXPECT_EQ(Split<long long>("10, 20,30", ", "), (std::vector<long long>{10, 20, 30}));
    EXPECT_EQ(Split<long long>("1, , 2", ", "), (std::vector<long long>{1, 2}));
    EXPECT_EQ(Split<long long>("-7, 12abc", ", "), (std::vector<long long>{-7, 12}));
}

TEST(Split, ReportsAndSkipsBadTokens) {
    testing::internal::CaptureStderr();
    const auto values = Split<long long>("5, x, 7", ", ");
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(values, (std::vector<long long>{5, 7}));
    EXPECT_EQ(errors, "Failed to convert token ' x' to type 'long long'\n");

    // A token made of line feeds, or a huge one, still gives one short line.
    testing::internal::CaptureStderr();
    Split<long long>("\n\nx, " + std::string(1000, 'y'), ", ");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Failed to convert token '\\n\\nx' to type 'long long'\n"
              "Failed to convert token ' " +
                  std::string(199, 'y') + "...' to type 'long long'\n");
}

TEST(Split, ReadsWordsOnBlank) {
    EXPECT_EQ(Split<std::string>("G1  X10", " "), (std::vector<std::string>{"G1", "X10"}));
    EXPECT_EQ(Split<std::string>("G1\tX10 Y2", " "), (std::vector<std::string>{"G1", "Y2"}));
    EXPECT_TRUE(Split<std::string>("", " ").empty());
    EXPECT_TRUE(Split<long long>("", ", ").empty());
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
                              json(-2147483649LL), json(1e300), json(-1e300)}) {
        EXPECT_THROW(ReadInteger<int32_t>(value, "n"), std::out_of_range) << value;
    }
    for (const json& value : {json(-1), json(-1.0), json(4294967296.0), json(4294967296u)}) {
        EXPECT_THROW(ReadInteger<uint32_t>(value, "n"), std::out_of_range) << value;
    }
    EXPECT_THROW(ReadInteger<int64_t>(json(9223372036854775808.0), "n"), std::out_of_range);
    EXPECT_THROW(ReadInteger<int64_t>(json(18446744073709551615u), "n"), std::out_of_range);
    for (const json& value : {json(true), json("1"), json(nullptr), json::array()}) {
        EXPECT_THROW(ReadInteger<int32_t>(value, "n"), json::type_error) << value;
    }
}
