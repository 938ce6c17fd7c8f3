#include "SignalWatcher.h"

#include <csignal>
#include <string>
#include <utility>

SignalWatcher::SignalWatcher(Handler first, Handler again)
    : first_(std::move(first)),
      again_(std::move(again)),
      signals_(context_, SIGINT, SIGTERM, SIGHUP) {
    Wait();
    thread_ = boost::thread([this] { context_.run(); });
}

SignalWatcher::~SignalWatcher() {
    context_.stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string SignalWatcher::Name(int signal) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "signal " + std::to_string(signal);
    }
}

void SignalWatcher::Wait() {
    signals_.async_wait(
        [this](const boost::system::error_code& error, int signal) { OnSignal(error, signal); });
}

void SignalWatcher::OnSignal(const boost::system::error_code& error, int signal) {
    if (error) {
        return;  // Stopped.
    }
    const bool first = !signalled_;
    signalled_ = true;
    // Re-armed first: a signal that comes while the handler runs is kept.
    Wait();
    (first ? first_ : again_)(signal);
}
