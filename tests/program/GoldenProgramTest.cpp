// A whole program run through the real server against the virtual printer,
// recorded as the UI and the controllers see it (replies, task datagrams with
// their ids, every controller command in order) and compared with the record
// kept beside the program. Only what depends on timing is normalised; see
// Normalise below.
#include "JsonClient.h"
#include "ServerProcess.h"
#include "UdpReceiver.h"
#include "VirtualPrinter.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using sim::Controller;

const std::string kProgram = std::string(GOLDEN_DIR) + "/program.gcode";
const std::string kExpected = std::string(GOLDEN_DIR) + "/program.expected";

bool IsUpdate(const json& message) {
    return message.value("command", "") == "updateTasks";
}

const json& Item(const json& message) {
    return message["tasks"][0];
}

// The live machine status: positions and temperatures as the records show them.
bool IsTelemetry(const json& message) {
    return message.value("command", "") == "updateUI" && message["data"].contains("rpa");
}

// A linear group's running count of retired segments.
bool IsProgress(const json& message) {
    static const std::regex progress(R"(Linear Group\|\{\d+\}\|\{\d+\})");
    return IsUpdate(message) && Item(message).size() == 2 &&
           std::regex_match(Item(message).value("description", ""), progress);
}

// The full forms of the top-level tasks among `datagrams`, by id.
std::map<uint32_t, json> Forms(const std::vector<json>& datagrams) {
    std::map<uint32_t, json> forms;
    for (const auto& message : datagrams) {
        if (IsUpdate(message) && Item(message).contains("name")) {
            forms[Item(message)["id"].get<uint32_t>()] = message;
        }
    }
    return forms;
}

// Turns what was seen into the text of a record. Timing decides, and so is
// left out: the status telemetry; the order in which the full forms of a
// loaded program's tasks are queued (the loader and the worker both register
// them), so they are listed apart by id; how many progress counts a group
// reports while the controller runs its segments, so only the last of a run
// stays; and whether ended tasks have left the table when "printTasks" looks.
std::string Normalise(const std::vector<std::string>& replies, const std::vector<json>& datagrams,
                      const std::vector<std::string>& main_log,
                      const std::vector<std::string>& temperature_log) {
    std::ostringstream text;
    const auto section = [&text](const char* title, const auto& lines) {
        text << "# " << title << "\n";
        for (const auto& line : lines) {
            text << line << "\n";
        }
    };
    section("replies", replies);
    std::vector<json> rest;
    for (json message : datagrams) {
        if (IsTelemetry(message) || (IsUpdate(message) && Item(message).contains("name"))) {
            continue;
        }
        if (IsProgress(message) && !rest.empty() && IsProgress(rest.back()) &&
            Item(rest.back())["id"] == Item(message)["id"]) {
            rest.back() = message;
        } else if (message.value("command", "") == "printTasks") {
            for (auto it = message.begin(); it != message.end();) {
                it = *it == "FINISHED" ? message.erase(it) : std::next(it);
            }
            rest.push_back(message);
        } else {
            rest.push_back(message);
        }
    }
    text << "# task forms, by id\n";
    for (const auto& form : Forms(datagrams)) {
        text << form.second << "\n";
    }
    section("datagrams", rest);
    section("main controller", main_log);
    section("temperature controller", temperature_log);
    return text.str();
}

class GoldenProgram : public testing::Test {
  protected:
    void Ask(const json& message) {
        client_.Send(message);
        const auto reply = client_.ReceiveText();
        ASSERT_TRUE(reply) << message.dump();
        replies_.push_back(*reply);
    }
    // Keeps every datagram until one satisfies `done`; that one is returned.
    std::optional<json> ReceiveUntil(const std::function<bool(const json&)>& done) {
        return ui_.ReceiveWhere(
            [&](const json& message) {
                datagrams_.push_back(message);
                return done(message);
            },
            60s);
    }
    std::optional<json> ReceiveItem(const std::function<bool(const json&)>& done) {
        return ReceiveUntil(
            [&](const json& message) { return IsUpdate(message) && done(Item(message)); });
    }
    static std::function<bool(const json&)> Status(uint32_t id, const std::string& status) {
        return [id, status](const json& item) {
            return item["id"] == id && item.value("status", "") == status;
        };
    }
    // Slow enough that the record stream keeps up under the sanitizers (a
    // group that misses its segment counts waits for ever).
    sim::VirtualPrinter printer_{sim::VirtualPrinterOptions{0, 0, 2.0, false}};
    ServerProcess server_;
    JsonClient client_{server_.Port()};
    UdpReceiver ui_;
    std::vector<std::string> replies_;
    std::vector<json> datagrams_;
};

TEST_F(GoldenProgram, RunsAsRecorded) {
    // The hot end is a little short of its set-point, so its wait starts and
    // then ends; the bed is at its own, so that wait ends without starting.
    printer_.SetTemperatures(198.4, 60.0);
    client_.Send({{"command", "uiEndpoint"}, {"port", ui_.Port()}});
    ASSERT_TRUE(ReceiveUntil([](const json& m) { return m.value("command", "") == "uiPong"; }));
    Ask({{"command", "openStream"}, {"ip_address", printer_.Address(Controller::kMain)}});
    Ask({{"command", "openTemperatureStream"},
         {"ip_address", printer_.Address(Controller::kTemperature)}});
    Ask({{"command", "loadGcode"}, {"file", kProgram}, {"execute", true}});

    const auto stop =
        ReceiveItem([](const json& item) { return item.value("status", "") == "BREAKPOINT"; });
    ASSERT_TRUE(stop);
    const uint32_t held = Item(*stop)["id"];
    client_.Send({{"command", "printTasks"}});
    ASSERT_TRUE(ReceiveUntil([](const json& m) { return m.value("command", "") == "printTasks"; }));
    client_.Send({{"command", "resumeTask"}, {"id", held}});

    // The program halts at the line that failed validation; the UI cancels the rest.
    const auto forms = Forms(datagrams_);
    const auto error = std::find_if(forms.begin(), forms.end(), [](const auto& form) {
        return Item(form.second)["description"] == "~3GCode Error";
    });
    ASSERT_NE(error, forms.end());
    ASSERT_NE(error, forms.begin());
    ASSERT_NE(std::next(error), forms.end());
    ASSERT_TRUE(ReceiveItem(Status(std::prev(error)->first, "FINISHED")));
    client_.Send({{"command", "printTasks"}});
    ASSERT_TRUE(ReceiveUntil([](const json& m) { return m.value("command", "") == "printTasks"; }));
    client_.Send({{"command", "cancelTask"}, {"id", std::next(error)->first}});
    ASSERT_TRUE(ReceiveItem(Status(forms.rbegin()->first, "CANCELLED")));

    client_.Close();
    ASSERT_EQ(server_.WaitForExit(), 0);
    // Everything the server sent is in the socket's queue by now.
    while (auto text = ui_.Receive(0ms)) {
        datagrams_.push_back(json::parse(*text));
    }
    const std::string actual =
        Normalise(replies_, datagrams_, printer_.CommandLog(Controller::kMain),
                  printer_.CommandLog(Controller::kTemperature));

    std::ifstream file(kExpected);
    std::stringstream expected;
    expected << file.rdbuf();
    if (actual != expected.str()) {
        const std::string path = ::testing::TempDir() + "program.actual";
        std::ofstream(path) << actual;
        ADD_FAILURE() << "the run differs from " << kExpected << "; it is in " << path;
    }
}

}  // namespace
