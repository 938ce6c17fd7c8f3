// The worker thread: start and stop, finish requests, failures that end it,
// and a record-thread stand-in racing the worker and the I/O thread.
#include "TaskTestSupport.h"

#include "DataRecordWatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <thread>

using nlohmann::json;

namespace {

class TaskWorker : public ::testing::Test {
  protected:
    void SetUp() override {
        TaskManagerProbe::Halt();
        manager_.Start();
        ui_.Install();
    }
    void TearDown() override {
        TaskManagerProbe::Halt();
        manager_.SetSendCallback(nullptr);
    }

    TaskManager& manager_ = TaskManager::GetInstance();
    UiCollector ui_;
};

bool Ended(const Task::Pointer& task) {
    return task->IsStatus(Task::FINISHED) || task->IsStatus(Task::CANCELLED);
}

}  // namespace

TEST_F(TaskWorker, RunsAQueuedProgramToTheEnd) {
    std::vector<boost::shared_ptr<T_Probe>> tasks;
    for (int i = 0; i < 20; ++i) {
        auto task = T_Probe::Make();
        task->done_ = true;
        task->AddParallelTask(T_Probe::Make());
        boost::static_pointer_cast<T_Probe>(task->GetSubTasks()[0])->done_ = true;
        tasks.push_back(task);
        manager_.AddTaskToBack(task);
    }
    ASSERT_TRUE(Eventually([&] { return tasks.back()->IsStatus(Task::FINISHED); }));
    for (const auto& task : tasks) {
        EXPECT_TRUE(task->IsStatus(Task::FINISHED));
    }
    EXPECT_TRUE(Eventually([] { return TaskManagerProbe::TableSize() == 0; }));
}

TEST_F(TaskWorker, StartDropsEveryTaskAndTheFinishRequest) {
    auto task = T_Probe::Make();
    manager_.AddTask(task);
    ASSERT_TRUE(Eventually([&] { return task->IsStatus(Task::RUNNING); }));
    bool called = false;
    manager_.FinishThenShutdown([&called] { called = true; });
    manager_.Start();
    EXPECT_EQ(TaskManagerProbe::TableSize(), 0u);
    EXPECT_FALSE(TaskManagerProbe::FinishRequested());
    EXPECT_FALSE(manager_.GetLastTask());
    auto next = T_Probe::Make();
    next->done_ = true;
    manager_.AddTask(next);
    EXPECT_TRUE(Eventually([&] { return next->IsStatus(Task::FINISHED); }));
    EXPECT_FALSE(called);
}

TEST_F(TaskWorker, AFinishRequestRunsOnTheWorkerOnceTheTableIsEmpty) {
    auto task = T_Probe::Make();
    manager_.AddTask(task);
    ASSERT_TRUE(Eventually([&] { return task->IsStatus(Task::RUNNING); }));
    std::atomic<bool> called{false};
    std::thread::id caller;
    manager_.FinishThenShutdown([&] {
        caller = std::this_thread::get_id();
        // The connection's close stops the manager from inside the callback.
        manager_.Stop();
        called = true;
    });
    EXPECT_FALSE(called);
    task->done_ = true;
    manager_.OnConditionMet(task->GetId());
    ASSERT_TRUE(Eventually([&] { return called.load(); }));
    EXPECT_NE(caller, std::this_thread::get_id());
    EXPECT_TRUE(task->IsStatus(Task::FINISHED));
}

TEST_F(TaskWorker, AnyErrorOfATaskCancelsItWithOneLineAndTheWorkerGoesOn) {
    struct Case {
        std::function<void(T_Probe&)> arm;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {[](T_Probe& task) {
             task.AddStartCondition([]() -> bool { throw std::runtime_error("x"); });
         },
         "Task Execution Error : x"},
        {[](T_Probe& task) { task.AddStartCondition([]() -> bool { throw 42; }); },
         "Task Execution Error : unknown error"},
        // The step's failure handling cancels the task, whose OnCancel throws again.
        {[](T_Probe& task) {
             task.throw_on_start_ = T_Probe::Throw::kStd;
             task.throw_on_cancel_ = T_Probe::Throw::kVrx;
         },
         "Task Execution Error : boom"},
    };
    for (const auto& test : cases) {
        ui_.Clear();
        auto task = T_Probe::Make();
        test.arm(*task);
        auto next = T_Probe::Make();
        next->done_ = true;
        testing::internal::CaptureStderr();
        manager_.AddTaskToBack(task);
        manager_.AddTask(next);
        ASSERT_TRUE(Eventually([&] { return next->IsStatus(Task::FINISHED); }));
        ASSERT_TRUE(Eventually([&] { return Ended(task); }));
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
        EXPECT_TRUE(task->IsStatus(Task::CANCELLED)) << test.reason;
        EXPECT_TRUE(ui_.WaitFor([&](const std::vector<std::string>& texts) {
            return std::any_of(texts.begin(), texts.end(), [&](const std::string& text) {
                return text.find(test.reason) != std::string::npos;
            });
        })) << test.reason;
    }
}

TEST_F(TaskWorker, APendingConditionWakesASleepingWorker) {
    // A completion parked while another thread held the lock must not wait
    // for an unrelated wake-up.
    auto task = T_Probe::Make();
    manager_.AddTask(task);
    ASSERT_TRUE(Eventually([&] { return task->IsStatus(Task::RUNNING); }));
    for (int i = 1; i <= 200; ++i) {
        TaskManagerProbe::Lock();
        std::thread([&] { manager_.OnConditionMet(task->GetId()); }).join();
        TaskManagerProbe::Unlock();
        ASSERT_TRUE(Eventually([&] {
            return task->updates_ == i && task->IsStatus(Task::RUNNING);
        })) << "update "
            << i << " was lost";
    }
}

TEST_F(TaskWorker, RecordThreadsWorkerAndIOThreadRaceWithoutLosingWork) {
    constexpr int kTasks = 40;
    std::vector<boost::shared_ptr<T_Probe>> tasks;
    for (int i = 0; i < kTasks; ++i) {
        auto task = T_Probe::Make();
        task->done_after_updates_ = 25;
        task->watch_ = (i % 4 == 0);
        tasks.push_back(task);
    }
    std::atomic<bool> stop{false};
    // Stand-ins of the record threads: one reports directly, one through the watcher.
    std::thread direct([&] {
        while (!stop) {
            for (const auto& task : tasks) {
                if (manager_.GetTaskStatus(task->GetId()) == Task::RUNNING) {
                    manager_.OnConditionMet(task->GetId());
                }
            }
        }
    });
    std::thread watcher([&] {
        ZDataRecord record{};
        while (!stop) {
            DataRecordWatcher::GetInstance().CheckConditions(nullptr, record);
        }
    });
    std::set<uint32_t> cancelled;
    std::mt19937 random(12345);
    for (int i = 0; i < kTasks; ++i) {
        // Half of them queued, half on their own.
        if (i % 2 == 0) {
            manager_.AddTaskToBack(tasks[i]);
        } else {
            manager_.AddTask(tasks[i]);
        }
    }
    testing::internal::CaptureStderr();
    for (int round = 0; round < 300; ++round) {
        const auto& task = tasks[random() % kTasks];
        switch (random() % 8) {
            case 0:
            case 1:
            case 2:
                manager_.PauseTask(task->GetId());
                break;
            case 3:
            case 4:
            case 5:
                manager_.ResumeTask(task->GetId());
                break;
            case 6:
                manager_.PrintTasks();
                break;
            default:
                if (round % 16 == 7) {
                    manager_.CancelTask(task->GetId());
                    if (task->IsStatus(Task::CANCELLED)) {
                        cancelled.insert(task->GetId());
                    }
                }
        }
    }
    // Let everything that is left run out.
    const bool all_ended = Eventually(
        [&] {
            for (const auto& task : tasks) {
                if (task->IsStatus(Task::PAUSED)) {
                    manager_.ResumeTask(task->GetId());
                }
            }
            for (const auto& task : tasks) {
                if (!Ended(task)) {
                    return false;
                }
            }
            return true;
        },
        std::chrono::seconds(60));
    testing::internal::GetCapturedStderr();
    stop = true;
    direct.join();
    watcher.join();
    ASSERT_TRUE(all_ended);
    for (const auto& task : tasks) {
        if (cancelled.count(task->GetId()) != 0) {
            EXPECT_TRUE(task->IsStatus(Task::CANCELLED));
        }
        if (task->IsStatus(Task::FINISHED)) {
            EXPECT_GE(task->updates_.load(), 25);
        }
    }
}
