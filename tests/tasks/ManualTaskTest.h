// A fixture with the worker halted: tests register tasks and drive their
// steps and the worker's loops by hand, on the test thread alone.
#pragma once

#include "TaskTestSupport.h"

#include <gtest/gtest.h>

class ManualTaskTest : public ::testing::Test {
  protected:
    using Entries = std::vector<std::string>;
    using Updates = std::vector<nlohmann::json>;
    using StatusList = std::vector<uint32_t>;
    static constexpr uint32_t I = Task::INITIALIZING, R = Task::RUNNING, U = Task::UPDATING,
                              P = Task::PAUSED, B = Task::BREAKPOINT, C = Task::CANCELLED,
                              F = Task::FINISHED;

    void SetUp() override;
    void TearDown() override;

    // Registers a task and its sub-tree (at once: the lock is free).
    void Add(const Task::Pointer& task);
    // Sends the queued updates and returns them (the "tasks" items), in order.
    Updates Flush();
    static void Loops(int count);
    static StatusList Statuses(std::initializer_list<Task::Pointer> tasks);
    // The hook log without the task ids' prefixes of other tests.
    static Entries Hooks() { return T_Probe::Log().Entries(); }
    static std::string Hook(const Task::Pointer& task, const std::string& hook) {
        return std::to_string(task->GetId()) + ":" + hook;
    }
    // The update items of a status change and of a cancellation.
    static nlohmann::json Status(const Task::Pointer& task, const std::string& status);
    static nlohmann::json Cancelled(const Task::Pointer& task, const std::string& reason);

    TaskManager& manager_ = TaskManager::GetInstance();
    UiCollector ui_;
};
