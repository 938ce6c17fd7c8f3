#include "ManualTaskTest.h"

void ManualTaskTest::SetUp() {
    TaskManagerProbe::Halt();
    T_Probe::Log().Clear();
    ui_.Install();
}

void ManualTaskTest::TearDown() {
    TaskManagerProbe::Halt();
    manager_.SetSendCallback(nullptr);
}

void ManualTaskTest::Add(const Task::Pointer& task) {
    manager_.AddTask(task);
}

std::vector<nlohmann::json> ManualTaskTest::Flush() {
    manager_.UpdateTasks();
    auto updates = ui_.Updates();
    ui_.Clear();
    return updates;
}
