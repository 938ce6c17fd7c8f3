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

ManualTaskTest::Updates ManualTaskTest::Flush() {
    manager_.UpdateTasks();
    auto updates = ui_.Updates();
    ui_.Clear();
    return updates;
}

void ManualTaskTest::Loops(int count) {
    for (int i = 0; i < count; ++i) {
        TaskManagerProbe::ApplyPending();
        TaskManagerProbe::Pass();
    }
}

ManualTaskTest::StatusList ManualTaskTest::Statuses(std::initializer_list<Task::Pointer> tasks) {
    StatusList statuses;
    for (const auto& task : tasks) {
        statuses.push_back(task->GetStatus());
    }
    return statuses;
}

nlohmann::json ManualTaskTest::Status(const Task::Pointer& task, const std::string& status) {
    return {{"id", task->GetId()}, {"status", status}};
}

nlohmann::json ManualTaskTest::Cancelled(const Task::Pointer& task, const std::string& reason) {
    return {{"cancellation_reason", reason}, {"id", task->GetId()}, {"status", "CANCELLED"}};
}
