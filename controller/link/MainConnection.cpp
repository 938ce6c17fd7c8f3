#include "MainConnection.h"

#include "VrxException.h"

#include <iostream>

MainConnection& MainConnection::GetInstance() {
    static MainConnection instance;
    return instance;
}

void MainConnection::Connect(const std::string& address) {
    Open(address);
    enabled_.store(true);
}

void MainConnection::Connect(const std::string& address, const StreamStarter& start) {
    Reopen(address, start);
    enabled_.store(true);
}

std::string MainConnection::CommandIfEnabled(const std::string& text) {
    if (!enabled_.load()) {
        return "";
    }
    return Command(text);
}

std::string MainConnection::CommandIfEnabledUntilTaken(const std::string& text) {
    if (!enabled_.load()) {
        return "";
    }
    return CommandUntilTaken(text);
}

void MainConnection::ExecuteProgram() {
    CommandIfEnabled("XQ");
}

void MainConnection::CloseForExit() {
    CloseHandles();
}

namespace {

// Best effort at exit: a controller that fails here must not stop the others.
void SendAtExit(MainConnection& connection, const std::string& text) {
    try {
        connection.CommandIfEnabledUntilTaken(text);
    } catch (const std::exception& error) {
        std::cerr << "Main controller did not take \"" << text << "\" at exit: " << error.what()
                  << std::endl;
    }
}

}  // namespace

MainConnection::~MainConnection() {
    if (!IsOpen()) {
        return;
    }
    // Stop every axis, then switch the motors off, each on its own: a failing
    // stop must not leave the motors powered.
    SendAtExit(*this, "ST");
    SendAtExit(*this, "MO");
    CloseHandles();
}
