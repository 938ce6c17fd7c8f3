// Test helper: one library connection to a controller of the virtual printer.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VirtualPrinter.h"
#include "zenlib.h"

class PrinterClient {
  public:
    // Opens `controller` of `printer` with a record stream.
    PrinterClient(const sim::VirtualPrinter& printer, sim::Controller controller) {
        const std::string address = printer.Address(controller) + " -s DR -t 5000";
        EXPECT_EQ(ZOpen(address.c_str(), &handle_), Z_OK);
    }
    ~PrinterClient() { ZClose(handle_); }
    PrinterClient(const PrinterClient&) = delete;
    PrinterClient& operator=(const PrinterClient&) = delete;

    // Sends a command; the library's code (an accepted command's output stays in `reply_`).
    ZReturnCode Send(const std::string& command) {
        char buffer[449];
        ZSize count = 0;
        const ZReturnCode rc = ZCommand(handle_, command.c_str(), buffer, sizeof(buffer), &count);
        reply_.assign(buffer, rc == Z_OK && count >= 3 ? count - 3 : 0);  // without "\r\n:"
        return rc;
    }
    // Sends a command that must be accepted; its output.
    std::string Ok(const std::string& command) {
        EXPECT_EQ(Send(command), Z_OK) << command;
        return reply_;
    }
    // Sends commands that must all be accepted, in order.
    void Run(const std::vector<std::string>& commands) {
        for (const std::string& command : commands)
            Ok(command);
    }
    // Sends a command that must be rejected; the "TC1" text.
    std::string Rejected(const std::string& command) {
        EXPECT_EQ(Send(command), Z_ERR_COMMAND_REJECTED) << command;
        return Ok("TC1");
    }

  private:
    ZHandle handle_ = nullptr;
    std::string reply_;
};
