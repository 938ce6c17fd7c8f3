// Scenarios through the real server binary against a virtual printer in this
// process: the test talks to the server as the UI does, over TCP and UDP.
#pragma once

#include "JsonClient.h"
#include "ServerProcess.h"
#include "TempDir.h"
#include "UdpReceiver.h"
#include "VirtualPrinter.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

class ServerPrinterTest : public testing::Test {
  protected:
    explicit ServerPrinterTest(const sim::VirtualPrinterOptions& options = {});

    // Sends `message` and returns the next reply; null when none comes.
    nlohmann::json Ask(const nlohmann::json& message);
    // Opens the main or the temperature stream; fails the test unless the
    // server answers success.
    void OpenMain();
    void OpenTemperature();
    // Points the server's datagrams at ui_ and waits for its "uiPong".
    void ListenUi();
    // Loads `program` as a file and runs it; fails the test unless it loads.
    void Run(const std::string& program);
    // Sends a terminal line without waiting for its reply.
    void Type(const std::string& line);
    // Follows the task datagrams until a task reaches `status`: the `nth`
    // task (-1: the newest) labelled `label`, its "gcode_command" or, for
    // other top-level tasks, its class name. Its latest form, or null at the
    // deadline.
    nlohmann::json Await(const std::string& label, const std::string& status, int nth = -1,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The latest status seen so far of that task; "" when it has not been seen.
    std::string Status(const std::string& label, int nth = -1);
    // How that task ends ("FINISHED" or "CANCELLED"); its latest status when
    // it has not ended by the deadline.
    std::string End(const std::string& label, int nth = -1,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Its cancellation reason; "" when it has none or has not been seen.
    std::string Reason(const std::string& label, int nth = -1);

    // How many commands the main controller was sent that begin with `prefix`.
    size_t Sent(const std::string& prefix);
    // Whether every axis of the virtual printer stands within `timeout`.
    bool Stands(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Ends the session as the UI does: "finishThenShutdown", then the
    // connection closed. FinishAndLeave also expects the server to exit with
    // `status` within `timeout`.
    void Leave();
    void FinishAndLeave(int status = 0,
                        std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // A print in M83 of `moves` moves zigzagging in X between 50.5 and 50 mm
    // while Y rises 0.05 mm a move, each extruding 0.05 mm at `feed` mm/min,
    // with a "G4 P20" after every `group` moves (0: none).
    static std::string Zigzag(int moves, int feed = 1200, int group = 0);

    // The latest form of that task; none when it has not been seen.
    const nlohmann::json* Seen(const std::string& label, int nth);

    sim::VirtualPrinter printer_;
    ServerProcess server_;
    JsonClient client_{server_.Port()};
    UdpReceiver ui_;
    TempDir dir_;
    // The latest form of every task seen, and the ids of each label in order.
    std::map<uint32_t, nlohmann::json> tasks_;
    std::map<std::string, std::vector<uint32_t>> labelled_;
};
