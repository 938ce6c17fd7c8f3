// Scenarios through the real server binary against a virtual printer in this
// process: the test talks to the server as the UI does, over TCP and UDP.
#pragma once

#include "JsonClient.h"
#include "ServerProcess.h"
#include "UdpReceiver.h"
#include "VirtualPrinter.h"

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

    sim::VirtualPrinter printer_;
    ServerProcess server_;
    JsonClient client_{server_.Port()};
    UdpReceiver ui_;
};
