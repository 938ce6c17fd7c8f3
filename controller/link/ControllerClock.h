// The main controller's clock read as controller time. "MG TIME" is answered
// after every command sent before it, so a record stamped after the time it
// gives shows what those commands did. Every reader of the clock (the tasks,
// the stops at exit) reads it here.
#pragma once

#include "ControllerTime.h"

#include <cstdint>
#include <functional>
#include <string>

class DataRecordWatcher;

class ControllerClock {
  public:
    // Sends one command to the main controller and returns its reply; the
    // caller chooses how (once, or until the controller takes it).
    using Send = std::function<std::string(const std::string&)>;
    // The clock as the controller gave it (modulo 2^32) and as a time of
    // the current main stream.
    struct Reading {
        int32_t clock;
        ControllerTime time;
    };

    // Sends "MG TIME" through `send` and unwraps the reply against the latest
    // main record of `watcher`. Throws what `send` throws, and a
    // std::runtime_error naming the command and the reply when that is not
    // a number: an unreadable clock never stands for 0.
    static Reading Read(const DataRecordWatcher& watcher, const Send& send);
};
