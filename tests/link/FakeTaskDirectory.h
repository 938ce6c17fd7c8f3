// A task directory for tests: statuses set by the test, met conditions recorded.
#pragma once

#include "DataRecordWatcher.h"
#include "TaskDirectory.h"

#include <map>
#include <mutex>
#include <vector>

class FakeTaskDirectory : public TaskDirectory {
  public:
    static constexpr uint32_t kRunning = 1;
    static constexpr uint32_t kPaused = 3;
    static constexpr uint32_t kFinished = 6;

    FakeTaskDirectory() { DataRecordWatcher::GetInstance().SetTaskDirectory(this); }
    ~FakeTaskDirectory() override { DataRecordWatcher::GetInstance().SetTaskDirectory(nullptr); }

    void SetStatus(uint32_t id, uint32_t status) {
        std::lock_guard<std::mutex> lock(mutex_);
        statuses_[id] = status;
    }
    // Ids reported so far; clears the list.
    std::vector<uint32_t> TakeMet() {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::move(met_);
    }

    std::optional<uint32_t> GetTaskStatus(uint32_t id) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = statuses_.find(id);
        if (found == statuses_.end())
            return std::nullopt;
        return found->second;
    }
    void OnConditionMet(uint32_t id) override {
        std::lock_guard<std::mutex> lock(mutex_);
        met_.push_back(id);
    }

  private:
    std::mutex mutex_;
    std::map<uint32_t, uint32_t> statuses_;
    std::vector<uint32_t> met_;
};
