#include "ControllerClock.h"

#include <algorithm>

namespace sim {
namespace {

// After a long stall of the host the clock catches up by at most this much at once.
constexpr double kMaxSamplesPerTick = 200000.0;

}  // namespace

ControllerClock::ControllerClock(Advance advance, double speed)
    : advance_(std::move(advance)), speed_(speed > 0.0 ? speed : 1.0) {}

ControllerClock::~ControllerClock() {
    Stop();
}

void ControllerClock::Start(bool paused) {
    std::lock_guard<std::mutex> lock(mutex_);
    paused_ = paused;
    last_ = std::chrono::steady_clock::now();
    thread_ = std::thread([this] { Run(); });
}

void ControllerClock::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

void ControllerClock::Pause() {
    std::lock_guard<std::mutex> lock(mutex_);
    paused_ = true;
}

void ControllerClock::Resume() {
    std::lock_guard<std::mutex> lock(mutex_);
    paused_ = false;
    last_ = std::chrono::steady_clock::now();
    carry_ = 0.0;
}

bool ControllerClock::IsPaused() {
    std::lock_guard<std::mutex> lock(mutex_);
    return paused_;
}

void ControllerClock::SetSpeed(double speed) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (speed > 0.0) {
        speed_ = speed;
    }
}

void ControllerClock::Step(uint64_t samples) {
    advance_(samples);
}

void ControllerClock::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        changed_.wait_for(lock, std::chrono::milliseconds(1));
        if (stopping_ || paused_) {
            continue;
        }
        auto now = std::chrono::steady_clock::now();
        double wall_ms = std::chrono::duration<double, std::milli>(now - last_).count();
        last_ = now;
        double due = std::min(wall_ms * speed_ + carry_, kMaxSamplesPerTick);
        uint64_t samples = static_cast<uint64_t>(due);
        carry_ = due - static_cast<double>(samples);
        if (samples == 0) {
            continue;
        }
        lock.unlock();
        advance_(samples);
        lock.lock();
    }
}

}  // namespace sim
