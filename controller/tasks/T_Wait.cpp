#include "T_Wait.h"

#include "DataRecordWatcher.h"

#include <cmath>
#include <sstream>
#include <utility>

T_Wait::T_Wait(Parameters data) : Task("T_Wait", std::move(data)) {
    AddCompletionCondition([this] { return wait_started_ && IsElapsed(); });
}

T_Wait::T_Wait(uint32_t ms) : Task("T_Wait", Parameters()), ms_(ms), ms_given_(true) {
    AddCompletionCondition([this] { return wait_started_ && IsElapsed(); });
}

int32_t T_Wait::ParseControllerTime(const std::string& reply) {
    return ::ParseControllerTime(reply);
}

uint32_t T_Wait::Milliseconds() {
    return ms_given_ ? ms_ : GetProperty<unsigned int>("ms");
}

void T_Wait::OnStart() {
    ms_ = Milliseconds();
    const int32_t now = ParseControllerTime(SendCommand("MG TIME"));
    start_time_ = static_cast<uint32_t>(now);
    DataRecordWatcher& watcher = DataRecordWatcher::GetInstance();
    watcher.SyncSampleCounter(now);
    // The latest record lies within a few samples of the clock read, but its
    // 16-bit sample number may sit on the other side of a wrap from it; the
    // counter's high part then misses by 65536 for as long as the dwell lasts.
    const uint32_t counter = watcher.GetSampleCounter();
    const auto ahead = static_cast<int16_t>(static_cast<uint16_t>(counter - start_time_));
    const uint32_t record_time = start_time_ + static_cast<uint32_t>(static_cast<int32_t>(ahead));
    counter_correction_ = record_time - counter;
    AddWatch([this](ZDataRecord*) { return IsElapsed(); });
    wait_started_ = true;
}

bool T_Wait::IsElapsed() const {
    const uint32_t elapsed =
        DataRecordWatcher::GetInstance().GetSampleCounter() + counter_correction_ - start_time_;
    // A record sampled just before the clock read is behind the start, not
    // 2^32 samples past it.
    if (static_cast<int32_t>(elapsed) < 0) {
        return false;
    }
    return elapsed > ms_;
}
