#include "T_Wait.h"

#include "DataRecordWatcher.h"

#include <cmath>
#include <sstream>
#include <utility>

T_Wait::T_Wait(Parameters data) : Task("T_Wait", std::move(data)) {
    AddCompletionCondition([this] { return IsElapsed(); });
}

T_Wait::T_Wait(uint32_t ms) : Task("T_Wait", Parameters()), ms_(ms), ms_given_(true) {
    AddCompletionCondition([this] { return IsElapsed(); });
}

int32_t T_Wait::ParseControllerTime(const std::string& reply) {
    return ::ParseControllerTime(reply);
}

uint32_t T_Wait::Milliseconds() {
    return ms_given_ ? ms_ : GetProperty<unsigned int>("ms");
}

void T_Wait::OnStart() {
    ms_ = Milliseconds();
    const int32_t clock = ParseControllerTime(SendCommand("MG TIME"));
    DataRecordWatcher& watcher = DataRecordWatcher::GetInstance();
    // The status's sample counter runs in step with the controller's clock.
    watcher.SyncSampleCounter(clock);
    end_.Set(watcher.TimeOfClock(clock).Plus(ms_));
    AddTimedWatch(
        [this](const ZDataRecord&, const ControllerTime& time) { return end_.IsPassedBy(time); });
}

bool T_Wait::IsElapsed() const {
    return end_.IsPassedBy(DataRecordWatcher::GetInstance().Now());
}
