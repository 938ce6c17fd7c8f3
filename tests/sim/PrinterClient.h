// Test helper: one library connection to a controller of the virtual printer.
#pragma once

#include <string>
#include <vector>

#include "VirtualPrinter.h"
#include "zenlib.h"

// Opens a controller through the library and sends commands with one call.
class PrinterClient {
  public:
    // Opens `controller` of `printer` with a record stream.
    PrinterClient(const sim::VirtualPrinter& printer, sim::Controller controller);
    ~PrinterClient();
    PrinterClient(const PrinterClient&) = delete;
    PrinterClient& operator=(const PrinterClient&) = delete;

    // Sends a command that must be accepted; returns its output without the prompt.
    std::string Ok(const std::string& command);
    // Sends commands that must all be accepted, in order.
    void Run(const std::vector<std::string>& commands);
    // Sends a command and returns the library's code.
    ZReturnCode Send(const std::string& command);
    // Sends a command that must be rejected; returns the "TC1" text.
    std::string Rejected(const std::string& command);
    ZHandle Handle() const { return handle_; }

  private:
    ZHandle handle_ = nullptr;  // open connection
};
