// The temperature controller: extruder and bed heaters and the part fan.
#pragma once

#include "ControllerConnection.h"

class TemperatureConnection : public ControllerConnection {
public:
    static TemperatureConnection& GetInstance();

    void Connect(const std::string& address);

private:
    TemperatureConnection() = default;
    // At exit: "PM 0,0", rate 0 and close, when open; failures are swallowed.
    ~TemperatureConnection();
};
