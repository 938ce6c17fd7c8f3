#include "T_Wait.h"

#include "DataRecordWatcher.h"

#include <utility>

T_Wait::T_Wait(Parameters data) : Task("T_Wait", std::move(data)) {
    AddCompletionCondition([this] { return IsElapsed(); });
}

T_Wait::T_Wait(uint32_t ms) : Task("T_Wait", Parameters()), ms_(ms), ms_given_(true) {
    AddCompletionCondition([this] { return IsElapsed(); });
}

uint32_t T_Wait::Milliseconds() {
    return ms_given_ ? ms_ : GetProperty<unsigned int>("ms");
}

void T_Wait::OnStart() {
    ms_ = Milliseconds();
    const ControllerClock::Reading now = ReadClock();
    // The status's sample counter runs in step with the controller's clock.
    DataRecordWatcher::GetInstance().SyncSampleCounter(now.clock);
    end_.Set(now.time.Plus(ms_));
    AddTimedWatch(
        [this](const ZDataRecord&, const ControllerTime& time) { return end_.IsPassedBy(time); });
}

bool T_Wait::IsElapsed() const {
    return end_.IsPassedBy(DataRecordWatcher::GetInstance().Now());
}
