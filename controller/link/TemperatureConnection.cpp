#include "TemperatureConnection.h"

#include "VrxException.h"

#include <zenlibo.h>

#include <iostream>

TemperatureConnection& TemperatureConnection::GetInstance() {
    static TemperatureConnection instance;
    return instance;
}

void TemperatureConnection::Connect(const std::string& address) {
    Open(address);
}

void TemperatureConnection::Connect(const std::string& address, const StreamStarter& start) {
    Reopen(address, start);
}

TemperatureConnection::~TemperatureConnection() {
    if (!IsOpen()) {
        return;
    }
    try {
        // Both heaters off.
        Command("PM 0,0");
    } catch (const std::exception& error) {
        std::cerr << "Temperature controller did not take \"PM 0,0\" at exit: " << error.what()
                  << std::endl;
    }
    ZRecordRate(GetHandle(), 0.0);
    ZClose(GetHandle());
}
