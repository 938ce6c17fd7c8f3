// Waiting on a condition with a deadline, for tests that watch other
// processes and threads.
#pragma once

#include <chrono>
#include <functional>

// Polls `condition` until it holds or `timeout` has passed; true when it held.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));
