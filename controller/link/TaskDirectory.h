// What the record watcher needs of the task engine. The task manager installs
// itself at start-up, so the link subsystem does not depend on the tasks one.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <vector>

class TaskDirectory {
  public:
    virtual ~TaskDirectory() = default;
    // The status of the task with this id; no value when no such task exists.
    // Called on record threads; must not block on the manager's lock.
    virtual std::optional<uint32_t> GetTaskStatus(uint32_t id) = 0;
    // The watch of this task holds; never blocks on the manager's lock.
    virtual void OnConditionMet(uint32_t id) = 0;
    // The record stream that these tasks watch has failed: each is to fail
    // with `error` (the watcher leaves out the tasks the user holds, paused
    // or at a breakpoint, which wait for no record). Called on a record
    // thread; never blocks on the manager's lock.
    virtual void OnStreamFailed(const std::vector<uint32_t>& ids, std::exception_ptr error) = 0;
};
