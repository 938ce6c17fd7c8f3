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

const std::vector<std::string>& TemperatureConnection::HeatersOffCommands() {
    static const std::vector<std::string> commands = {"PM 0,0", "setext=0", "setbed=0"};
    return commands;
}

void TemperatureConnection::CloseForExit() {
    CloseHandles([](ZHandle handle) { ZRecordRate(handle, 0.0); });
}

TemperatureConnection::~TemperatureConnection() {
    if (!IsOpen()) {
        return;
    }
    for (const std::string& command : HeatersOffCommands()) {
        try {
            CommandUntilTaken(command);
        } catch (const std::exception& error) {
            std::cerr << "Temperature controller did not take \"" << command
                      << "\" at exit: " << error.what() << std::endl;
        }
    }
    CloseForExit();
}
