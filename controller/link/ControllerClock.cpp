#include "ControllerClock.h"

#include "DataRecordWatcher.h"
#include "Utilities.h"

ControllerClock::Reading ControllerClock::Read(const DataRecordWatcher& watcher, const Send& send) {
    const int32_t clock = ParseControllerTime(send("MG TIME"));
    return {clock, watcher.TimeOfClock(clock)};
}
