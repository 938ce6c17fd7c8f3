#include "MessageFramer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

struct Framed {
    std::vector<std::string> messages;
    std::vector<std::string> drops;
};

// Feeds `chunks` one after the other into one framer.
Framed FeedAll(MessageFramer& framer, const std::vector<std::string>& chunks) {
    Framed out;
    for (const auto& chunk : chunks) {
        framer.Feed(
            chunk, [&](std::string&& text) { out.messages.push_back(std::move(text)); },
            [&](const std::string& line) { out.drops.push_back(line); });
    }
    return out;
}

Framed FeedAll(const std::vector<std::string>& chunks) {
    MessageFramer framer;
    return FeedAll(framer, chunks);
}

using Texts = std::vector<std::string>;

}  // namespace

TEST(MessageFramer, WellFormedStreamsGiveOneTextPerObject) {
    EXPECT_EQ(FeedAll({R"({"a":1}{"b":2})"}).messages, (Texts{R"({"a":1})", R"({"b":2})"}));
    EXPECT_EQ(FeedAll({"{\"a\":1}\n{\"b\":2}\n"}).messages, (Texts{R"({"a":1})", R"({"b":2})"}));
    EXPECT_EQ(FeedAll({R"( {"a":{"b":{}}} )"}).messages, (Texts{R"({"a":{"b":{}}})"}));
    EXPECT_TRUE(FeedAll({"\r\n \t"}).drops.empty());
}

TEST(MessageFramer, BracesInsideStringsDoNotCount) {
    EXPECT_EQ(FeedAll({R"({"d":"Home|{X}|"}{"d":"}"})"}).messages,
              (Texts{R"({"d":"Home|{X}|"})", R"({"d":"}"})"}));
    // Escaped quotes and backslashes keep the string open or closed correctly.
    EXPECT_EQ(FeedAll({R"({"d":"a\"}"}{"e":"\\"}{"f":"\\\"{"})"}).messages,
              (Texts{R"({"d":"a\"}"})", R"({"e":"\\"})", R"({"f":"\\\"{"})"}));
}

TEST(MessageFramer, KeepsAnUnfinishedObjectAcrossFeeds) {
    const std::string stream = R"({"command":"x","d":"{\"}"}{"n":[1,{"m":2}]})";
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        const auto out = FeedAll({stream.substr(0, cut), stream.substr(cut)});
        EXPECT_EQ(out.messages, (Texts{R"({"command":"x","d":"{\"}"})", R"({"n":[1,{"m":2}]})"}))
            << "cut at " << cut;
        EXPECT_TRUE(out.drops.empty());
    }
}

TEST(MessageFramer, TopLevelArraysAreValuesToo) {
    // An array is framed whole, so the object inside it is not run on its own.
    EXPECT_EQ(FeedAll({R"([{"command":"ping"}]{"a":1})"}).messages,
              (Texts{R"([{"command":"ping"}])", R"({"a":1})"}));
}

TEST(MessageFramer, StrayBytesAreSkippedAndReportedOncePerRun) {
    const auto out = FeedAll({R"(garbage{"a":1} 42 "x" } {"b":2}tail)"});
    EXPECT_EQ(out.messages, (Texts{R"({"a":1})", R"({"b":2})"}));
    ASSERT_EQ(out.drops.size(), 3u);
    EXPECT_EQ(out.drops[0], "Dropped 7 bytes outside any JSON object");
    EXPECT_EQ(out.drops[1], "Dropped 6 bytes outside any JSON object");
    EXPECT_EQ(out.drops[2], "Dropped 4 bytes outside any JSON object");
}

TEST(MessageFramer, OversizedMessageIsDroppedAndTheNextOneArrives) {
    MessageFramer framer(32);
    const std::string big = R"({"d":")" + std::string(100, '{') + R"("})";
    const auto out = FeedAll(framer, {big.substr(0, 50), big.substr(50) + R"({"ok":true})"});
    EXPECT_EQ(out.messages, (Texts{R"({"ok":true})"}));
    ASSERT_EQ(out.drops.size(), 1u);
    EXPECT_EQ(out.drops[0], "Dropped a message of 108 bytes, larger than the maximum of 32");
    EXPECT_EQ(framer.Pending(), 0u);
}

TEST(MessageFramer, MessageOfExactlyTheMaximumPasses) {
    MessageFramer framer(10);
    EXPECT_EQ(FeedAll(framer, {R"({"a":"12"})"}).messages, (Texts{R"({"a":"12"})"}));
}

TEST(MessageFramer, ValuesNestedDeeperThanTheMaximumAreDroppedWhole) {
    const auto nested = [](int levels) {
        return "{\"a\":" + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
    };
    EXPECT_EQ(FeedAll({nested(512)}).messages, (Texts{nested(512)}));
    const auto out = FeedAll({nested(513) + R"({"ok":1})"});
    EXPECT_EQ(out.messages, (Texts{R"({"ok":1})"}));
    EXPECT_EQ(out.drops, (Texts{"Dropped a message of 1030 bytes nested deeper than 512 levels"}));
}

// Random objects with braces, quotes, escapes and non-ASCII text in their
// strings, cut into random pieces: each must arrive once, whole, in order.
TEST(MessageFramer, RandomCutsDeliverEveryObjectOnceInOrder) {
    std::mt19937 random(20261206);
    const std::string alphabet = "ab{}[]\"\\:, \n\xc3\xa9";
    for (int round = 0; round < 200; ++round) {
        std::vector<std::string> expected;
        std::string stream;
        const int count = 1 + static_cast<int>(random() % 20);
        for (int i = 0; i < count; ++i) {
            std::string text;
            for (int n = static_cast<int>(random() % 30); n > 0; --n) {
                text += alphabet[random() % alphabet.size()];
            }
            nlohmann::json object = {{"command", "x"},
                                     {"i", i},
                                     {"s", text},
                                     {"nested", {{"t", text}, {"list", {text, 1}}}}};
            expected.push_back(
                object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
            stream += expected.back();
            stream += std::string(random() % 3, random() % 2 ? '\n' : ' ');
        }
        std::vector<std::string> chunks;
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t length = 1 + random() % 40;
            chunks.push_back(stream.substr(at, length));
            at += length;
        }
        const auto out = FeedAll(chunks);
        ASSERT_EQ(out.messages, expected) << "round " << round;
        ASSERT_TRUE(out.drops.empty());
    }
}
