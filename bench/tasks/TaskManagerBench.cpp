// Costs of the task worker: one pass over tasks that wait for a predecessor,
// the delay from a holding watch to the task's step, and a program of
// trivial tasks run to its end.
#include "Task.h"
#include "TaskManager.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include <boost/make_shared.hpp>

// Drives single passes of the worker (a friend of the manager).
class TaskManagerProbe {
  public:
    static void Halt() {
        TaskManager& manager = TaskManager::GetInstance();
        manager.Stop();
        if (manager.thread_.joinable()) {
            manager.thread_.join();
        }
        manager.ClearAll(true);
    }
    static void Pass() {
        TaskManager& manager = TaskManager::GetInstance();
        TaskManager::Hold hold(manager);
        manager.Pass();
    }
};

namespace {

// A task that does nothing until it is told it is done.
class T_Bench : public Task {
  public:
    explicit T_Bench(Parameters data) : Task("T_Bench", std::move(data)) {
        AddCompletionCondition([this] { return done_.load(); });
    }
    void OnUpdate() override { ++updates_; }

    std::atomic<bool> done_{false};
    std::atomic<int> updates_{0};
};

boost::shared_ptr<T_Bench> MakeTask(bool done) {
    auto task = boost::make_shared<T_Bench>(
        boost::make_shared<nlohmann::json>(nlohmann::json{{"description", "bench"}}));
    task->done_ = done;
    return task;
}

void SilenceUI() {
    TaskManager::GetInstance().SetSendCallback([](std::string) {});
}

// One pass over a running task and `count` tasks queued behind it.
void BM_PassOverWaitingTasks(benchmark::State& state) {
    TaskManagerProbe::Halt();
    SilenceUI();
    TaskManager& manager = TaskManager::GetInstance();
    auto head = MakeTask(false);
    manager.AddTaskToBack(head);
    head->Step();
    for (int64_t i = 0; i < state.range(0); ++i) {
        manager.AddTaskToBack(MakeTask(false));
    }
    manager.UpdateTasks();
    for (auto _ : state) {
        TaskManagerProbe::Pass();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    TaskManagerProbe::Halt();
}
BENCHMARK(BM_PassOverWaitingTasks)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// From OnConditionMet on a record thread to the task's OnUpdate on the worker.
void BM_ConditionMetToStep(benchmark::State& state) {
    TaskManagerProbe::Halt();
    SilenceUI();
    TaskManager& manager = TaskManager::GetInstance();
    manager.Start();
    auto task = MakeTask(false);
    manager.AddTask(task);
    while (!task->IsStatus(Task::RUNNING)) {
        std::this_thread::yield();
    }
    int expected = 0;
    for (auto _ : state) {
        manager.OnConditionMet(task->GetId());
        ++expected;
        while (task->updates_.load() != expected || !task->IsStatus(Task::RUNNING)) {
        }
    }
    TaskManagerProbe::Halt();
}
BENCHMARK(BM_ConditionMetToStep)->Unit(benchmark::kMicrosecond)->UseRealTime();

// A program of `count` trivial tasks, queued and run to the end by the worker.
void BM_RunChainToTheEnd(benchmark::State& state) {
    TaskManagerProbe::Halt();
    SilenceUI();
    TaskManager& manager = TaskManager::GetInstance();
    for (auto _ : state) {
        manager.Start();
        boost::shared_ptr<T_Bench> last;
        for (int64_t i = 0; i < state.range(0); ++i) {
            last = MakeTask(true);
            manager.AddTaskToBack(last);
        }
        while (!last->IsStatus(Task::FINISHED)) {
            std::this_thread::yield();
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    TaskManagerProbe::Halt();
}
BENCHMARK(BM_RunChainToTheEnd)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
