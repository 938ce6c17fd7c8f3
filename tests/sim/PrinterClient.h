// Test helper: one library connection to a controller of the virtual printer.
#pragma once

#include <string>
#include <vector>

#include "VirtualPrinter.h"
#include "zenlib.h"

class PrinterClient {
  public:
    // Opens `controller` of `printer` with a record stream.
    PrinterClient(const sim::VirtualPrinter& printer, sim::Controller controller);
    ~PrinterClient();
    PrinterClient(const PrinterClient&) = delete;
    PrinterClient& operator=(const PrinterClient&) = delete;

    // Sends a command; the library's code, and its output without the prompt in `reply`.
    ZReturnCode Send(const std::string& command, std::string* reply = nullptr);
    // Sends a command that must be accepted; its output.
    std::string Ok(const std::string& command);
    // Sends commands that must all be accepted, in order.
    void Run(const std::vector<std::string>& commands);
    // Sends a command that must be rejected; the "TC1" text.
    std::string Rejected(const std::string& command);

  private:
    ZHandle handle_ = nullptr;  // open connection
};
