#include "ServerPrinterTest.h"

#include <algorithm>
#include <cstdio>

using nlohmann::json;
using sim::Controller;

ServerPrinterTest::ServerPrinterTest(const sim::VirtualPrinterOptions& options)
    : printer_(options) {}

json ServerPrinterTest::Ask(const json& message) {
    client_.Send(message);
    const auto reply = client_.Receive();
    return reply ? *reply : json();
}

void ServerPrinterTest::OpenMain() {
    EXPECT_EQ(Ask({{"command", "openStream"}, {"ip_address", printer_.Address(Controller::kMain)}}),
              (json{{"command", "openStream"}, {"status", "success"}}));
}

void ServerPrinterTest::OpenTemperature() {
    EXPECT_EQ(Ask({{"command", "openTemperatureStream"},
                   {"ip_address", printer_.Address(Controller::kTemperature)}}),
              (json{{"command", "openTemperatureStream"}, {"status", "success"}}));
}

void ServerPrinterTest::ListenUi() {
    client_.Send({{"command", "uiEndpoint"}, {"port", ui_.Port()}});
    EXPECT_TRUE(ui_.ReceiveCommand("uiPong"));
}

void ServerPrinterTest::Run(const std::string& program) {
    const std::string path = dir_.WriteFile("p.gcode", program);
    EXPECT_EQ(Ask({{"command", "loadGcode"}, {"file", path}, {"execute", true}}),
              (json{{"command", "loadResponse"}, {"status", "success"}}));
}

void ServerPrinterTest::Type(const std::string& line) {
    client_.Send({{"command", "terminalCommand"}, {"data", line}});
}

size_t ServerPrinterTest::Sent(const std::string& prefix) {
    const auto log = printer_.CommandLog(Controller::kMain);
    return std::count_if(log.begin(), log.end(), [&](const std::string& line) {
        return line.compare(0, prefix.size(), prefix) == 0;
    });
}

bool ServerPrinterTest::Stands(std::chrono::milliseconds timeout) {
    return printer_.WaitUntil([](const sim::PrinterSnapshot& p) { return p.Standing(); }, timeout);
}

void ServerPrinterTest::Leave() {
    client_.Send({{"command", "finishThenShutdown"}});
    client_.Close();
}

void ServerPrinterTest::FinishAndLeave(int status, std::chrono::milliseconds timeout) {
    Leave();
    EXPECT_EQ(server_.WaitForExit(timeout), status) << server_.Stderr();
}

std::string ServerPrinterTest::Zigzag(int moves, int feed, int group) {
    std::string program = "M83\n";
    for (int i = 1; i <= moves; ++i) {
        char line[64];
        std::snprintf(line, sizeof(line), "G1 X%s Y%.2f E0.05 F%d\n",
                      i % 2 == 1 ? "50.50" : "50.00", 50.0 + 0.05 * i, feed);
        program += line;
        if (group > 0 && i % group == 0 && i < moves) {
            program += "G4 P20\n";
        }
    }
    return program;
}

const json* ServerPrinterTest::Seen(const std::string& label, int nth) {
    const auto& ids = labelled_[label];
    const auto index = nth < 0 ? static_cast<int>(ids.size()) + nth : nth;
    return index >= 0 && index < static_cast<int>(ids.size()) ? &tasks_[ids[index]] : nullptr;
}

std::string ServerPrinterTest::Status(const std::string& label, int nth) {
    const json* task = Seen(label, nth);
    return task ? task->value("status", "") : "";
}

std::string ServerPrinterTest::End(const std::string& label, int nth,
                                   std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        for (const char* status : {"FINISHED", "CANCELLED"}) {
            if (!Await(label, status, nth, std::chrono::milliseconds(1)).is_null()) {
                return status;
            }
        }
    } while (std::chrono::steady_clock::now() < deadline);
    return Status(label, nth);
}

std::string ServerPrinterTest::Reason(const std::string& label, int nth) {
    const json* task = Seen(label, nth);
    return task ? task->value("cancellation_reason", "") : "";
}

json ServerPrinterTest::Await(const std::string& label, const std::string& status, int nth,
                              std::chrono::milliseconds timeout) {
    using std::chrono::milliseconds;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const json* task = Seen(label, nth); task && (*task)["status"] == status) {
            return *task;
        }
        const auto left =
            std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        const auto update = ui_.ReceiveCommand("updateTasks", std::max(left, milliseconds(1)));
        if (!update) {
            return nullptr;
        }
        const json& item = (*update)["tasks"][0];
        const auto id = item["id"].get<uint32_t>();
        if (item.contains("name")) {
            labelled_[item.value("gcode_command", item["name"].get<std::string>())].push_back(id);
        }
        tasks_[id].update(item);
    }
}
