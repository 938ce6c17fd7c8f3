// What the task engine's tests share: single loops of the worker, a task
// class that records its hooks, and a collector for the messages to the UI.
#pragma once

#include "Task.h"
#include "TaskManager.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// Reaches into the task manager to run the worker's steps by hand.
class TaskManagerProbe {
  public:
    // Stops the worker and waits until it has ended: the manager is then idle,
    // its table empty, and AddTask registers at once.
    static void Halt();
    // Applies the pending lists, as the top of a worker loop does.
    static void ApplyPending();
    // One walk over the awake tasks, stepping every ready one.
    static void Pass();
    static size_t TableSize();
    static bool FinishRequested();
    // Takes and releases the manager's lock as another thread would.
    static void Lock();
    static void Unlock();
};

// Records, in order, every hook call of every T_Probe ("<id>:<hook>").
class HookLog {
  public:
    void Add(const std::string& entry);
    std::vector<std::string> Entries();
    void Clear();

  private:
    std::mutex mutex_;
    std::vector<std::string> entries_;
};

// A task class for life-cycle tests: every hook is logged, and
// each can be made to throw. It completes once `done_` is set.
class T_Probe : public Task {
  public:
    enum class Throw { kNothing, kVrx, kStd };

    T_Probe(Parameters data);
    static boost::shared_ptr<T_Probe> Make(const std::string& description = "probe");
    static boost::shared_ptr<T_Probe> With(const nlohmann::json& parameters);
    // A task that, as a linear group feeds its segments, starts `count`
    // children of its own in OnStart and hands them to the manager, which
    // parks them while the worker holds its lock.
    static boost::shared_ptr<T_Probe> Feeding(int count);

    void OnFinish() override { Record("OnFinish"); }
    void OnStart() override;
    void OnCancel() override;
    void OnUpdate() override;
    void OnPause() override { Record("OnPause"); }
    void OnResume() override { Record("OnResume"); }

    // The log shared by every T_Probe.
    static HookLog& Log();

    std::atomic<bool> done_{false};
    std::atomic<int> updates_{0};
    // When positive, the task is done after this many updates.
    int done_after_updates_ = 0;
    // Runs inside OnStart, after the log entry.
    std::function<void()> on_start_;
    // OnStart registers a main-record watch that always holds.
    bool watch_ = false;
    Throw throw_on_start_ = Throw::kNothing;
    Throw throw_on_cancel_ = Throw::kNothing;

  private:
    void Record(const char* hook);
    static void Raise(Throw what);
};

// Collects the texts sent to the UI; safe to fill from any thread.
class UiCollector {
  public:
    // Installs itself as the task manager's send callback.
    void Install();
    std::vector<std::string> Texts();
    // Every collected message parsed.
    std::vector<nlohmann::json> Messages();
    // The one-element "tasks" arrays of the "updateTasks" messages.
    std::vector<nlohmann::json> Updates();
    void Clear();
    // Waits until `condition` holds for the collected texts.
    bool WaitFor(const std::function<bool(const std::vector<std::string>&)>& condition,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> texts_;
};

// Waits on the worker: polls `condition` until it holds or the time is up.
bool Eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));
