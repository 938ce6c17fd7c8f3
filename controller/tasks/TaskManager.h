// Holds every live task in one table and runs them on one worker thread.
// UI commands, running tasks and the record threads hand it work; whatever
// meets a busy lock is parked in pending lists that the worker applies at the
// top of its next loop, so the table never changes while the worker walks it.
#pragma once

#include "HeaterSetPoints.h"
#include "Task.h"
#include "TaskDirectory.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/lock_types.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <nlohmann/json.hpp>

class TaskManager : public TaskDirectory {
  public:
    // A test on a task, for FindTask, CancelWhere and FinishWhere.
    using Predicate = std::function<bool(boost::shared_ptr<Task>)>;
    // Carries one text message to the UI.
    using SendCallback = std::function<void(std::string)>;

    // The one task manager; made on first use, installs itself in the record watcher.
    static TaskManager& GetInstance();

    TaskManager(const TaskManager&) = delete;
    TaskManager& operator=(const TaskManager&) = delete;

    // --- table and worker ---
    // Stops and joins a running worker, then starts a new one on an empty table.
    // The dropped tasks are aborted first, as by Shutdown: what they set
    // moving is stopped and seen standing; heaters stay as they are.
    void Start();
    // Ends the worker's loop and drops every task and pending entry. Waits for a
    // pass in progress on another thread; never waits for the calling thread.
    void Stop();
    // Registers the task and its sub-tree, or parks it while the lock is busy.
    // A top-level one (the UI's own) starts beside whatever runs.
    void AddTask(boost::shared_ptr<Task> task);
    // Queues the task behind the last queued task still waiting or running;
    // with none, behind the last top-level task of AddTask still waiting or
    // running.
    void AddTaskToBack(boost::shared_ptr<Task> task);
    // A new T on its own copy of the parameters; not registered.
    template <typename T>
    static boost::shared_ptr<Task> CreateTask(const nlohmann::json& parameters);
    // The task of the table with this id; empty when there is none.
    boost::shared_ptr<Task> GetTask(uint32_t id);
    // The task that AddTaskToBack would queue a task behind; empty when none.
    boost::shared_ptr<Task> GetLastTask();
    // A watch of this task holds: mark it UPDATING now or at the next loop.
    void OnConditionMet(uint32_t id) override;
    // The status of the task with this id, for the record threads.
    std::optional<uint32_t> GetTaskStatus(uint32_t id) override;
    // Fails these tasks with `error` at the next loop (each cancels its parent,
    // or itself when top-level, as a failed step does); a task then paused or
    // at its breakpoint stays so.
    void OnStreamFailed(const std::vector<uint32_t>& ids, std::exception_ptr error) override;
    // An ended task leaves the table at the worker's next loop.
    void RemoveTask(boost::shared_ptr<Task> task);
    // Queues a task update for the UI.
    void AddUpdate(nlohmann::json update);
    // The worker's next pass looks at these tasks (0 stands for none); a pass
    // looks at no other task, except those whose start conditions it cannot
    // follow (see Task::IsHeldByAnotherTask).
    void Wake(std::initializer_list<uint32_t> ids);
    // The heaters' set-points as the tasks last applied them.
    HeaterSetPoints& GetSetPoints() { return set_points_; }

    // --- control operations (I/O thread) ---
    void AddBreakpoint(uint32_t id);
    void RemoveBreakpoint(uint32_t id);
    void PauseTask(uint32_t id);
    // Only a task that is paused or held at its breakpoint is resumed; any
    // other is left as it is, with a line on stderr. One held while the main
    // controller restarted fails instead (EndIfHeldAcrossRestart).
    void ResumeTask(uint32_t id);
    void StepOverTask(uint32_t id);
    // Cancels with "Cancelled by User Interface".
    void CancelTask(uint32_t id);
    void CancelWhere(Predicate predicate);
    void FinishWhere(Predicate predicate);
    // The first task of the table for which the predicate holds, or empty.
    boost::shared_ptr<Task> FindTask(Predicate predicate);
    // Marks every task that has started and runs UPDATING, so that the next
    // pass looks at it again.
    void DebugExecute();
    // Aborts every task, those waiting to be registered too.
    void Shutdown();
    // Sends {"<id>":"<status>",...,"command":"printTasks"}.
    void PrintTasks();
    // Runs the callback once the table is empty (at once when it is empty now).
    void FinishThenShutdown(std::function<void()> callback);
    // The client that asked to finish has gone, so nobody is left to move on
    // the work only a UI could (a paused task, one at its breakpoint, a
    // program halted behind a line in error, a task waiting on a controller
    // that is not open): a running jog is cancelled (its axis stopped) at
    // the worker's next loop, and once nothing goes on without the UI, the
    // work left is cancelled and the finish request runs.
    void FinishWhenHeld();
    // Sends each queued update as its own "updateTasks" message.
    void UpdateTasks();
    void SetSendCallback(SendCallback callback);
    void SendToUI(std::string text);

  private:
    // Tests and benchmarks drive single loops of the worker through it.
    friend class TaskManagerProbe;

    // Holds mutex_ and records the holder, so that operations reached from
    // inside a pass neither lock it twice nor wait for themselves.
    class Hold {
      public:
        // Waits for the lock unless this thread holds it already.
        explicit Hold(TaskManager& manager);
        // Adopts a lock just taken with TryLock.
        Hold(TaskManager& manager, boost::adopt_lock_t);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        void Release();
        void Take();

      private:
        TaskManager& manager_;
        bool owns_;
    };

    TaskManager();
    ~TaskManager() override;

    // Start's end of the running worker: aborts every task, then drops them.
    void DropRunningTasks();
    // The worker thread's loop.
    void Run();
    // Applies the addition, removal, update and failure lists, in this order.
    void ApplyPending();
    // Fails the tasks of a failed record stream that are still in the table
    // and not held by the user.
    void FailTasks(const std::vector<std::pair<uint32_t, std::exception_ptr>>& failures);
    // Steps every ready task among the awake ones, in ascending id order.
    void Pass();
    // Steps the task when it is ready; whatever it throws cancels it with one
    // line on stderr instead of ending the worker.
    void StepIfReady(const boost::shared_ptr<Task>& task);
    // Takes the awake task with the lowest id not below `from` off the awake
    // set; empty when there is none left. Ids no longer in the table are dropped.
    boost::shared_ptr<Task> TakeAwake(uint64_t& from);
    // Some task runs on its own (a move, a dwell, a heat wait): the work
    // left may still end without the UI.
    bool GoesOnWithoutTheUi() const;
    // Cancels every top-level task that has not ended, with the reason that
    // the UI has gone.
    void CancelWorkLeftToTheUi();
    // Cancels every task that runs until the user stops it (a jog): the UI
    // that could stop it has gone after asking to finish.
    void EndWorkLeftToTheUi();
    // Calls the finish callback with the lock released.
    void CallFinishCallback(Hold& hold);
    // Sleeps until notified.
    void WaitForWake();
    // Wakes the worker; no wake-up can be lost.
    void Notify();
    void RegisterTask(const boost::shared_ptr<Task>& task);
    // Puts the task at the back of the program queue, behind LastLiveTask
    // unless its program has chained it already; returns the task it waits
    // for, unless that one has finished: empty then or when there is none.
    boost::shared_ptr<Task> JoinQueue(const boost::shared_ptr<Task>& task);
    // Once the task is in the table: cancels it as the cascade of its queue
    // predecessor would have, when that one was cancelled.
    void CancelIfBehindCancelled(const boost::shared_ptr<Task>& task,
                                 const boost::shared_ptr<Task>& predecessor);
    // With pending_mutex_ held: the last task of queue_ still waiting or
    // running, else the last such of ui_tasks_. The ended tasks it drops go
    // to `ended`, for the caller to release outside the lock.
    boost::shared_ptr<Task> LastLiveTask(std::vector<boost::shared_ptr<Task>>& ended);
    // Drops the ended tasks at both ends of queue_ and ui_tasks_ into `ended`.
    void TrimEnded(std::vector<boost::shared_ptr<Task>>& ended);
    // Hands a task to the next loop while the lock is busy.
    void Park(boost::shared_ptr<Task> task, boost::shared_ptr<Task> predecessor);
    // Drops the pending lists, the updates and, when asked, the table.
    void ClearAll(bool with_table);
    // Removes the record watches of every task of a table about to be dropped.
    void RemoveWatches(const std::unordered_map<uint32_t, boost::shared_ptr<Task>>& table);
    bool HoldsLock() const;
    // Takes mutex_ only when it is free and this thread does not hold it.
    bool TryLock();
    // Runs a control operation, then sends the queued updates and, when
    // `wake`, wakes the worker, also when the operation throws.
    void RunControl(const std::function<void()>& operation, bool wake);
    // Runs a control that sends the task's commands (start, pause, resume,
    // step-over). Should a hook throw, the task is left in a clear state
    // (RecoverFromFailedControl); the error still goes to the UI.
    void RunStartingControl(const boost::shared_ptr<Task>& task,
                            const std::function<void()>& operation, bool resumes = true);
    // A held task whose main controller restarted during the hold fails,
    // with the program behind it, instead of resuming; true then. Throws
    // the error of a record stream that has failed and is not open again,
    // leaving the task held.
    bool EndIfHeldAcrossRestart(const boost::shared_ptr<Task>& task);
    // A task left running by a failed control fails as a failing step does;
    // one left paused by a failed resume or step-over (`resumed`) is paused
    // again, and fails when even that fails.
    void RecoverFromFailedControl(const boost::shared_ptr<Task>& task, std::exception_ptr error,
                                  bool resumed);
    // Fails the task with `error`; an error of its cancellation goes to stderr.
    static void FailQuietly(const boost::shared_ptr<Task>& task, std::exception_ptr error);
    void Announce(bool wake);
    // Runs `action` on every task of the table for which the predicate holds.
    void ForEachMatch(const Predicate& predicate,
                      const std::function<void(const boost::shared_ptr<Task>&)>& action);
    // The task of a by-id operation; reports an unknown id on stderr.
    boost::shared_ptr<Task> Lookup(uint32_t id, const char* operation);
    // The same, but also refuses (with a line on stderr) a task that has ended.
    boost::shared_ptr<Task> LookupLive(uint32_t id, const char* operation);

    std::unordered_map<uint32_t, boost::shared_ptr<Task>> tasks_;
    std::vector<uint32_t> tasks_to_remove_;
    std::vector<uint32_t> tasks_to_update_;
    std::vector<boost::shared_ptr<Task>> tasks_to_add_;
    std::vector<std::pair<uint32_t, std::exception_ptr>> tasks_to_fail_;
    std::vector<nlohmann::json> updates_;
    boost::mutex mutex_;
    boost::condition_variable condition_;
    std::atomic<bool> running_;
    std::atomic<bool> changed_;
    boost::thread thread_;
    SendCallback send_callback_;
    std::function<void()> finish_callback_;
    std::atomic<bool> finish_requested_;
    std::atomic<bool> finish_when_held_;
    // FinishWhenHeld asks the worker to end the work only the UI could end.
    std::atomic<bool> end_ui_work_;
    // Kept across connections, as the heaters keep them.
    HeaterSetPoints set_points_;
    // The program queue: the tasks handed to AddTaskToBack, in order, while
    // they may still start or run (ended ones inside it wait for the ends).
    std::deque<boost::shared_ptr<Task>> queue_;
    // The same for the top-level tasks handed to AddTask: the UI's own.
    std::deque<boost::shared_ptr<Task>> ui_tasks_;
    // Queue predecessors of the parked tasks, checked again at registration.
    std::unordered_map<uint32_t, boost::shared_ptr<Task>> parked_predecessors_;

    // Short leaf locks, never held while waiting for another lock:
    // the table's structure for readers that do not hold mutex_ (writers hold both),
    boost::mutex table_mutex_;
    // the four pending lists, parked_predecessors_, queue_ and ui_tasks_,
    boost::mutex pending_mutex_;
    // updates_,
    boost::mutex updates_mutex_;
    // send_callback_ and finish_callback_,
    boost::mutex callback_mutex_;
    // awake_, the ids the next pass looks at,
    boost::mutex awake_mutex_;
    std::set<uint32_t> awake_;
    // and wake_requested_, with which the worker sleeps on condition_.
    boost::mutex wake_mutex_;
    bool wake_requested_;
    // The thread that holds mutex_, if any.
    std::atomic<std::thread::id> lock_holder_;
};

template <typename T>
boost::shared_ptr<Task> TaskManager::CreateTask(const nlohmann::json& parameters) {
    auto data = boost::make_shared<nlohmann::json>(parameters);
    return boost::make_shared<T>(data);
}
