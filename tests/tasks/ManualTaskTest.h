// A fixture with the worker halted: tests register tasks and drive their
// steps and the worker's loops by hand, on the test thread alone.
#pragma once

#include "TaskTestSupport.h"

#include <gtest/gtest.h>

class ManualTaskTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Registers a task and its sub-tree (at once: the lock is free).
    void Add(const Task::Pointer& task);
    // Sends the queued updates and returns them (the "tasks" items), in order.
    std::vector<nlohmann::json> Flush();
    // The hook log without the task ids' prefixes of other tests.
    std::vector<std::string> Hooks() { return T_Probe::Log().Entries(); }
    static std::string Hook(const Task::Pointer& task, const std::string& hook) {
        return std::to_string(task->GetId()) + ":" + hook;
    }

    TaskManager& manager_ = TaskManager::GetInstance();
    UiCollector ui_;
};
