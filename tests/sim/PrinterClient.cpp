#include "PrinterClient.h"

#include <gtest/gtest.h>

PrinterClient::PrinterClient(const sim::VirtualPrinter& printer, sim::Controller controller) {
    std::string address = printer.Address(controller) + " -s DR -t 5000";
    EXPECT_EQ(ZOpen(address.c_str(), &handle_), Z_OK);
}

PrinterClient::~PrinterClient() {
    if (handle_ != nullptr) {
        ZClose(handle_);
    }
}

ZReturnCode PrinterClient::Send(const std::string& command) {
    char reply[449];
    ZSize count = 0;
    return ZCommand(handle_, command.c_str(), reply, sizeof(reply), &count);
}

std::string PrinterClient::Ok(const std::string& command) {
    char reply[449];
    ZSize count = 0;
    ZReturnCode rc = ZCommand(handle_, command.c_str(), reply, sizeof(reply), &count);
    EXPECT_EQ(rc, Z_OK) << command;
    std::string text(reply, count);
    if (text.size() >= 3 && text.compare(text.size() - 3, 3, "\r\n:") == 0) {
        text.resize(text.size() - 3);
    }
    return text;
}

void PrinterClient::Run(const std::vector<std::string>& commands) {
    for (const std::string& command : commands) {
        Ok(command);
    }
}

std::string PrinterClient::Rejected(const std::string& command) {
    EXPECT_EQ(Send(command), Z_ERR_COMMAND_REJECTED) << command;
    return Ok("TC1");
}
