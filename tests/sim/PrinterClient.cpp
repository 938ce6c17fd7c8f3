#include "PrinterClient.h"

#include <gtest/gtest.h>

PrinterClient::PrinterClient(const sim::VirtualPrinter& printer, sim::Controller controller) {
    const std::string address = printer.Address(controller) + " -s DR -t 5000";
    EXPECT_EQ(ZOpen(address.c_str(), &handle_), Z_OK);
}

PrinterClient::~PrinterClient() {
    ZClose(handle_);
}

ZReturnCode PrinterClient::Send(const std::string& command, std::string* reply) {
    char buffer[449];
    ZSize count = 0;
    const ZReturnCode rc = ZCommand(handle_, command.c_str(), buffer, sizeof(buffer), &count);
    std::string text(buffer, rc == Z_OK ? count : 0);
    if (text.size() >= 3 && text.compare(text.size() - 3, 3, "\r\n:") == 0)
        text.resize(text.size() - 3);
    if (reply != nullptr)
        *reply = text;
    return rc;
}

std::string PrinterClient::Ok(const std::string& command) {
    std::string reply;
    EXPECT_EQ(Send(command, &reply), Z_OK) << command;
    return reply;
}

void PrinterClient::Run(const std::vector<std::string>& commands) {
    for (const std::string& command : commands)
        Ok(command);
}

std::string PrinterClient::Rejected(const std::string& command) {
    EXPECT_EQ(Send(command), Z_ERR_COMMAND_REJECTED) << command;
    return Ok("TC1");
}
