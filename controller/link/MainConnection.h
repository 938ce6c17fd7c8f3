// The main (motion) controller. Commands are skipped until "openStream" has
// connected it.
#pragma once

#include "ControllerConnection.h"

class MainConnection : public ControllerConnection {
  public:
    static MainConnection& GetInstance();

    // Open, then enable commands.
    void Connect(const std::string& address);
    // Reopen with a record stream, then enable commands.
    void Connect(const std::string& address, const StreamStarter& start);
    // The reply of `text`, or "" without sending while not enabled.
    std::string CommandIfEnabled(const std::string& text);
    // CommandUntilTaken while enabled; "" without sending otherwise.
    std::string CommandIfEnabledUntilTaken(const std::string& text);
    // Starts the controller's stored program ("XQ"); the reply is dropped.
    void ExecuteProgram();
    bool IsEnabled() const { return enabled_.load(); }
    // Closes the handles for good once the machine has been made safe at
    // exit; later commands fail and the exit sends nothing more.
    void CloseForExit();

  private:
    MainConnection() : ControllerConnection("main controller") {}
    // At exit, unless closed before: "ST", "MO" and close, when open;
    // failures are reported and swallowed.
    ~MainConnection();

    std::atomic<bool> enabled_{false};
};
