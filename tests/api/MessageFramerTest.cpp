#include "MessageFramer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Texts = std::vector<std::string>;

struct Framed {
    Texts messages;
    Texts drops;
};

// Feeds `chunks` one after the other into one framer.
Framed FeedAll(const Texts& chunks, std::size_t maximum = MessageFramer::kDefaultMaxMessageSize) {
    MessageFramer framer(maximum);
    Framed out;
    for (const auto& chunk : chunks) {
        framer.Feed(
            chunk, [&](std::string&& text) { out.messages.push_back(std::move(text)); },
            [&](const std::string& line) { out.drops.push_back(line); });
    }
    EXPECT_EQ(framer.Pending(), 0u);
    return out;
}

}  // namespace

TEST(MessageFramer, OneTextPerValueWhereverTheStreamIsCut) {
    const std::pair<std::string, Texts> rows[] = {
        {R"({"a":1}{"b":2})", {R"({"a":1})", R"({"b":2})"}},
        {"{\"a\":1}\n{\"b\":2}\n", {R"({"a":1})", R"({"b":2})"}},
        {R"( {"a":{"b":{}}} )", {R"({"a":{"b":{}}})"}},
        {"\r\n \t", {}},
        // Braces inside strings do not count; escapes keep them open or closed.
        {R"({"d":"Home|{X}|"}{"d":"}"})", {R"({"d":"Home|{X}|"})", R"({"d":"}"})"}},
        {R"({"d":"a\"}"}{"e":"\\"}{"f":"\\\"{"})",
         {R"({"d":"a\"}"})", R"({"e":"\\"})", R"({"f":"\\\"{"})"}},
        {R"({"command":"x","d":"{\"}"}{"n":[1,{"m":2}]})",
         {R"({"command":"x","d":"{\"}"})", R"({"n":[1,{"m":2}]})"}},
        // An array is framed whole, so the object inside it is not run on its own.
        {R"([{"command":"ping"}]{"a":1})", {R"([{"command":"ping"}])", R"({"a":1})"}},
    };
    for (const auto& [stream, expected] : rows) {
        for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
            const auto out = FeedAll({stream.substr(0, cut), stream.substr(cut)});
            EXPECT_EQ(out.messages, expected) << stream << " cut at " << cut;
            EXPECT_TRUE(out.drops.empty());
        }
    }
}

TEST(MessageFramer, MessagesLargerOrDeeperThanTheMaximumAreDroppedWhole) {
    EXPECT_EQ(FeedAll({R"({"a":"12"})"}, 10).messages, (Texts{R"({"a":"12"})"}));
    const std::string big = R"({"d":")" + std::string(100, '{') + R"("})";
    auto out = FeedAll({big.substr(0, 50), big.substr(50) + R"({"ok":true})"}, 32);
    EXPECT_EQ(out.messages, (Texts{R"({"ok":true})"}));
    EXPECT_EQ(out.drops, (Texts{"Dropped a message of 108 bytes, larger than the maximum of 32"}));

    const auto nested = [](int levels) {
        return "{\"a\":" + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
    };
    EXPECT_EQ(FeedAll({nested(512)}).messages, (Texts{nested(512)}));
    out = FeedAll({nested(513) + R"({"ok":1})"});
    EXPECT_EQ(out.messages, (Texts{R"({"ok":1})"}));
    EXPECT_EQ(out.drops, (Texts{"Dropped a message of 1030 bytes nested deeper than 512 levels"}));
}
