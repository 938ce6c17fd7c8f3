// The temperature controller: extruder and bed heaters and the part fan.
#pragma once

#include "ControllerConnection.h"

class TemperatureConnection : public ControllerConnection {
  public:
    static TemperatureConnection& GetInstance();

    void Connect(const std::string& address);
    // Reopen with a record stream.
    void Connect(const std::string& address, const StreamStarter& start);

  private:
    TemperatureConnection() = default;
    // At exit: "PM 0,0", rate 0 and close, when open; failures are swallowed.
    ~TemperatureConnection();
};
