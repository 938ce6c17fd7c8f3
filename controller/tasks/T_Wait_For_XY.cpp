#include "T_Wait_For_XY.h"

#include "DataRecordWatcher.h"

#include <utility>

T_Wait_For_XY::T_Wait_For_XY(Parameters data) : Task("T_Wait_For_XY", std::move(data)) {
    AddCompletionCondition([] { return XYIdle(); });
}

bool T_Wait_For_XY::XYIdle() {
    const DataRecordWatcher& watcher = DataRecordWatcher::GetInstance();
    return !watcher.IsHoming("A") && !watcher.IsHoming("B");
}

void T_Wait_For_XY::OnStart() {
    AddWatch([](ZDataRecord*) { return XYIdle(); });
}
