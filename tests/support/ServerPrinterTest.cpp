#include "ServerPrinterTest.h"

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
