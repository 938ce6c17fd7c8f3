// The worker thread: start and stop, finish requests, failures it survives,
// and record-thread stand-ins racing the worker and the I/O thread.
#include "TaskTestSupport.h"

#include "DataRecordWatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <thread>

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
    // A task whose completion condition holds at once.
    static boost::shared_ptr<T_Probe> Done() {
        auto task = T_Probe::Make();
        task->done_ = true;
        return task;
    }
    static bool Ended(const Task::Pointer& task) {
        return task->IsStatus(Task::FINISHED) || task->IsStatus(Task::CANCELLED);
    }

    TaskManager& manager_ = TaskManager::GetInstance();
    UiCollector ui_;
};

}  // namespace

TEST_F(TaskWorker, StartDropsEveryTaskAndTheFinishRequest) {
    auto task = T_Probe::Make();
    manager_.AddTask(task);
    ASSERT_TRUE(Eventually([&] { return task->IsStatus(Task::RUNNING); }));
    bool called = false;
    manager_.FinishThenShutdown([&called] { called = true; });
    T_Probe::Log().Clear();
    manager_.Start();
    // Aborted, not thrown away: its stop ran, so nothing it set going runs on.
    EXPECT_TRUE(task->IsStatus(Task::CANCELLED));
    const auto hooks = T_Probe::Log().Entries();
    EXPECT_NE(std::find(hooks.begin(), hooks.end(), std::to_string(task->GetId()) + ":OnCancel"),
              hooks.end());
    EXPECT_EQ(TaskManagerProbe::TableSize(), 0u);
    EXPECT_FALSE(TaskManagerProbe::FinishRequested());
    EXPECT_FALSE(manager_.GetLastTask());
    auto next = Done();
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
    const Case cases[] = {
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
        SCOPED_TRACE(test.reason);
        auto task = T_Probe::Make(), next = Done();
        test.arm(*task);
        testing::internal::CaptureStderr();
        manager_.AddTaskToBack(task);
        manager_.AddTask(next);
        ASSERT_TRUE(Eventually([&] { return next->IsStatus(Task::FINISHED) && Ended(task); }));
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
        EXPECT_TRUE(task->IsStatus(Task::CANCELLED));
        EXPECT_TRUE(ui_.WaitFor([&](const std::vector<std::string>& texts) {
            return std::any_of(texts.begin(), texts.end(), [&](const std::string& text) {
                return text.find(test.reason) != std::string::npos;
            });
        }));
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
        tasks.push_back(T_Probe::Make());
        tasks.back()->done_after_updates_ = 25;
        tasks.back()->watch_ = (i % 4 == 0);
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
    for (int i = 0; i < kTasks; ++i) {
        // Half of them queued, half on their own.
        i % 2 == 0 ? manager_.AddTaskToBack(tasks[i]) : manager_.AddTask(tasks[i]);
    }
    std::set<uint32_t> cancelled;
    std::mt19937 random(12345);
    testing::internal::CaptureStderr();
    for (int round = 0; round < 300; ++round) {
        const auto& task = tasks[random() % kTasks];
        const auto action = random() % 8;
        if (action < 3) {
            manager_.PauseTask(task->GetId());
        } else if (action < 6) {
            manager_.ResumeTask(task->GetId());
        } else if (action == 6) {
            manager_.PrintTasks();
        } else if (round % 16 == 7) {
            manager_.CancelTask(task->GetId());
            if (task->IsStatus(Task::CANCELLED)) {
                cancelled.insert(task->GetId());
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
            return std::all_of(tasks.begin(), tasks.end(), Ended);
        },
        std::chrono::seconds(60));
    testing::internal::GetCapturedStderr();
    stop = true;
    direct.join();
    watcher.join();
    ASSERT_TRUE(all_ended);
    for (const auto& task : tasks) {
        EXPECT_TRUE(cancelled.count(task->GetId()) == 0 || task->IsStatus(Task::CANCELLED));
        EXPECT_TRUE(!task->IsStatus(Task::FINISHED) || task->updates_ >= 25);
    }
}

TEST_F(TaskWorker, ATaskCancelledAsItParksItsChildrenLeavesTheTableEmpty) {
    // The UI cancels a group the moment it starts, as the task before it
    // reports its end: the cancel may come before the worker's next loop.
    for (int round = 0; round < 500; ++round) {
        auto task = T_Probe::Feeding(10);
        std::atomic<bool> started{false};
        task->on_start_ = [&started, feed = task->on_start_] {
            feed();
            started = true;
        };
        std::thread ui([&] {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!started && std::chrono::steady_clock::now() < deadline) {
            }
            manager_.CancelTask(task->GetId());
        });
        manager_.AddTask(task);
        ui.join();
        ASSERT_TRUE(task->IsStatus(Task::CANCELLED)) << "round " << round;
        ASSERT_TRUE(Eventually([] { return TaskManagerProbe::TableSize() == 0; }))
            << "round " << round;
    }
}
