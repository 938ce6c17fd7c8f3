// The controllers' clock: advances the printer in samples, faster than wall time if asked.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace sim {

// Runs a thread that, about once per wall millisecond, hands the number of
// samples due (wall time elapsed x speed) to the advance callback. It can be
// paused and stepped by hand.
class ControllerClock {
  public:
    // Callback that advances the printer by the given number of samples.
    using Advance = std::function<void(uint64_t samples)>;

    // `speed` is controller milliseconds per wall millisecond.
    ControllerClock(Advance advance, double speed);
    ~ControllerClock();
    ControllerClock(const ControllerClock&) = delete;
    ControllerClock& operator=(const ControllerClock&) = delete;

    // Starts the clock thread (running unless `paused`).
    void Start(bool paused);
    // Ends the clock thread.
    void Stop();
    // Stops the automatic advance; Step still works.
    void Pause();
    // Restarts the automatic advance from now (time spent paused is skipped).
    void Resume();
    // True while paused.
    bool IsPaused();
    // Changes the speed (controller ms per wall ms, > 0).
    void SetSpeed(double speed);
    // Advances by `samples` at once, on the calling thread.
    void Step(uint64_t samples);

  private:
    // Clock thread.
    void Run();

    Advance advance_;                             // advances the printer
    std::mutex mutex_;                            // guards the members below
    std::condition_variable changed_;             // wakes the thread on stop
    double speed_;                                // controller ms per wall ms
    bool paused_ = false;                         // automatic advance stopped
    bool stopping_ = false;                       // Stop was called
    std::chrono::steady_clock::time_point last_;  // wall time accounted for
    double carry_ = 0.0;                          // fraction of a sample not yet run
    std::thread thread_;                          // runs Run
};

}  // namespace sim
