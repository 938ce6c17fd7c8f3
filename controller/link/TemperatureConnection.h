// The temperature controller: extruder and bed heaters and the part fan.
#pragma once

#include "ControllerConnection.h"

#include <vector>

class TemperatureConnection : public ControllerConnection {
  public:
    static TemperatureConnection& GetInstance();

    void Connect(const std::string& address);
    // Reopen with a record stream.
    void Connect(const std::string& address, const StreamStarter& start);
    // The commands that switch both heaters off: their set-points to 0, as
    // the temperature tasks write them, and their power.
    static const std::vector<std::string>& HeatersOffCommands();
    // Stops the record rate and closes the handles for good once the heaters
    // have been switched off at exit; the exit then sends nothing more.
    void CloseForExit();

  private:
    TemperatureConnection() : ControllerConnection("temperature controller") {}
    // At exit, unless closed before: the heaters off, rate 0 and close, when
    // open; failures are reported and swallowed.
    ~TemperatureConnection();
};
