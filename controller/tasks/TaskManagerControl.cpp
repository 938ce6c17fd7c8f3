// The task manager's control operations and its messages to the UI.
#include "TaskManager.h"

#include "DataRecordWatcher.h"

#include <iostream>
#include <utility>

namespace {

const char kCancelledByUI[] = "Cancelled by User Interface";
const char kRestartedWhileHeld[] = "Main controller restarted while the task was held";

// The task and every task below it: a control of a parent stops through its children.
void ForTree(const boost::shared_ptr<Task>& task, const std::function<void(Task&)>& action) {
    action(*task);
    for (const auto& child : task->GetSubTasks()) {
        ForTree(child, action);
    }
}

}  // namespace

boost::shared_ptr<Task> TaskManager::Lookup(uint32_t id, const char* operation) {
    boost::shared_ptr<Task> task = GetTask(id);
    if (!task) {
        std::cerr << operation << ": no task with id " << id << std::endl;
    }
    return task;
}

boost::shared_ptr<Task> TaskManager::LookupLive(uint32_t id, const char* operation) {
    boost::shared_ptr<Task> task = Lookup(id, operation);
    // An ended task waits one pass for removal; pausing it would strand it
    // PAUSED, and resuming it would finish it (again, or after a cancel).
    if (task && (task->IsStatus(Task::FINISHED) || task->IsStatus(Task::CANCELLED))) {
        std::cerr << operation << ": task " << id << " has already ended" << std::endl;
        return boost::shared_ptr<Task>();
    }
    return task;
}

void TaskManager::AddBreakpoint(uint32_t id) {
    Hold hold(*this);
    if (const auto task = Lookup(id, "addBreakpoint")) {
        task->MarkBreakpoint();
        UpdateTasks();
    }
}

void TaskManager::RemoveBreakpoint(uint32_t id) {
    Hold hold(*this);
    if (const auto task = Lookup(id, "removeBreakpoint")) {
        task->ClearBreakpoint();
        UpdateTasks();
    }
}

void TaskManager::PauseTask(uint32_t id) {
    Hold hold(*this);
    if (const auto task = LookupLive(id, "pauseTask")) {
        RunStartingControl(
            task, [&task] { task->Pause(); }, false);
    }
}

void TaskManager::ResumeTask(uint32_t id) {
    Hold hold(*this);
    const auto task = LookupLive(id, "resumeTask");
    if (!task) {
        return;
    }
    if (!task->IsStatus(Task::PAUSED) && !task->IsStatus(Task::BREAKPOINT)) {
        std::cerr << "resumeTask: task " << id << " is neither paused nor at a breakpoint"
                  << std::endl;
        return;
    }
    if (EndIfHeldAcrossRestart(task)) {
        return;
    }
    RunStartingControl(task, [&task] { task->Resume(); });
}

void TaskManager::StepOverTask(uint32_t id) {
    Hold hold(*this);
    const auto task = LookupLive(id, "stepOverTask");
    if (!task || EndIfHeldAcrossRestart(task)) {
        return;
    }
    RunStartingControl(task, [&task] { task->StepOver(); });
}

bool TaskManager::EndIfHeldAcrossRestart(const boost::shared_ptr<Task>& task) {
    if (!task->IsStatus(Task::PAUSED) && !task->IsStatus(Task::BREAKPOINT)) {
        return false;
    }
    // Until a failed stream is opened again nothing would show what the
    // resume sets going (a heat wait would wait for ever), nor whether the
    // controller restarted: the task stays held.
    DataRecordWatcher::GetInstance().ThrowIfAStreamFailed();
    if (!task->HeldAcrossRestart()) {
        return false;
    }
    std::cerr << "Task " << task->GetId() << " (" << task->GetName()
              << ") was held while the main controller restarted; it fails" << std::endl;
    // Nothing of it is sent: the program behind it ends with it, and a
    // cancel stops what it had set going before its hold.
    RunControl([&task] { task->FailStep(kRestartedWhileHeld); }, true);
    return true;
}

void TaskManager::CancelTask(uint32_t id) {
    Hold hold(*this);
    if (const auto task = Lookup(id, "cancelTask")) {
        RunControl([&task] { task->Cancel(kCancelledByUI); }, true);
    }
}

void TaskManager::CancelWhere(Predicate predicate) {
    Hold hold(*this);
    // Ended tasks only join the removal list, so the walk is not disturbed.
    ForEachMatch(predicate,
                 [](const boost::shared_ptr<Task>& task) { task->Cancel(kCancelledByUI); });
}

void TaskManager::FinishWhere(Predicate predicate) {
    Hold hold(*this);
    ForEachMatch(predicate, [](const boost::shared_ptr<Task>& task) { task->Finish(); });
}

void TaskManager::ForEachMatch(const Predicate& predicate,
                               const std::function<void(const boost::shared_ptr<Task>&)>& action) {
    // A task whose hook throws does not keep the others from their turn; the
    // first error goes to the caller at the end.
    std::exception_ptr failure;
    RunControl(
        [&] {
            for (const auto& entry : tasks_) {
                try {
                    if (predicate(entry.second)) {
                        action(entry.second);
                    }
                } catch (...) {
                    if (!failure) {
                        failure = std::current_exception();
                    }
                }
            }
            if (failure) {
                std::rethrow_exception(failure);
            }
        },
        true);
}

void TaskManager::RunControl(const std::function<void()>& operation, bool wake) {
    // What the operation changed before a hook threw is announced all the
    // same; the error then goes to the UI command that caused it.
    try {
        operation();
    } catch (...) {
        Announce(wake);
        throw;
    }
    Announce(wake);
}

void TaskManager::RunStartingControl(const boost::shared_ptr<Task>& task,
                                     const std::function<void()>& operation, bool resumes) {
    ForTree(task, [](Task& each) { each.ForgetJudgedStop(); });
    RunControl(
        [&] {
            try {
                operation();
            } catch (...) {
                const std::exception_ptr error = std::current_exception();
                // One control, one stop: the recovery goes by the stop
                // judged before the failure rather than stopping again.
                ForTree(task, [](Task& each) { each.ReuseJudgedStop(true); });
                RecoverFromFailedControl(task, error, resumes);
                ForTree(task, [](Task& each) { each.ReuseJudgedStop(false); });
                throw;
            }
        },
        true);
}

void TaskManager::RecoverFromFailedControl(const boost::shared_ptr<Task>& task,
                                           std::exception_ptr error, bool resumed) {
    if (task->IsActive()) {
        // A start or a pause that failed half-way: the task fails as a
        // failing step does, and its cancellation stops what it set going.
        FailQuietly(task, error);
        return;
    }
    if (!resumed || !task->IsStatus(Task::PAUSED) || !task->HasStarted()) {
        // A pause of a paused task that failed leaves it paused.
        return;
    }
    // A resume that failed half-way may have set axes going: the task is
    // paused again (stopped, its work counted and requeued), so that the
    // resume can be sent again and go on from where the machine stands.
    try {
        task->Pause();
    } catch (...) {
        std::cerr << "Task " << task->GetId() << " (" << task->GetName()
                  << ") could not be paused again after a failed resume: "
                  << Task::FailureReason(std::current_exception()) << std::endl;
        FailQuietly(task, error);
    }
}

void TaskManager::FailQuietly(const boost::shared_ptr<Task>& task, std::exception_ptr error) {
    try {
        task->Fail(error);
    } catch (...) {
        // The cancellation's own hooks failed; the UI hears of the first error.
        std::cerr << "Task " << task->GetId() << " (" << task->GetName()
                  << ") failed to cancel: " << Task::FailureReason(std::current_exception())
                  << std::endl;
    }
}

void TaskManager::Announce(bool wake) {
    if (wake) {
        changed_ = true;
    }
    UpdateTasks();
    if (wake) {
        Notify();
    }
}

boost::shared_ptr<Task> TaskManager::FindTask(Predicate predicate) {
    // The predicates read task parameters that running tasks may change, so
    // the search runs between passes.
    Hold hold(*this);
    for (const auto& entry : tasks_) {
        if (predicate(entry.second)) {
            return entry.second;
        }
    }
    return boost::shared_ptr<Task>();
}

void TaskManager::DebugExecute() {
    Hold hold(*this);
    // Only what runs can be looked at again. A task that has not started
    // would update state its start never set up, and, RUNNING from then on,
    // never start; a paused one or one held at its breakpoint would run on
    // without the UI's resume; an ended one would finish.
    for (const auto& entry : tasks_) {
        const boost::shared_ptr<Task>& task = entry.second;
        if (task->HasStarted() && task->IsStatus(Task::RUNNING)) {
            task->SetStatus(Task::UPDATING);
        }
    }
    changed_ = true;
    Notify();
}

void TaskManager::Shutdown() {
    Hold hold(*this);
    // A task whose stop fails does not keep the others running; the first
    // error goes to the caller at the end.
    std::exception_ptr failure;
    const auto abort = [&failure](const boost::shared_ptr<Task>& task) {
        try {
            task->Abort();
        } catch (...) {
            if (!failure) {
                failure = std::current_exception();
            }
        }
    };
    for (const auto& entry : tasks_) {
        abort(entry.second);
    }
    // Tasks handed over since the last loop (the segments a group has just
    // fed) would be registered after the shutdown, still running, and never end.
    std::vector<boost::shared_ptr<Task>> parked;
    {
        boost::lock_guard<boost::mutex> lock(pending_mutex_);
        parked.swap(tasks_to_add_);
        parked_predecessors_.clear();
    }
    while (!parked.empty()) {
        const boost::shared_ptr<Task> task = std::move(parked.back());
        parked.pop_back();
        const std::vector<boost::shared_ptr<Task>> children = task->GetSubTasks();
        parked.insert(parked.end(), children.begin(), children.end());
        abort(task);
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void TaskManager::PrintTasks() {
    Hold hold(*this);
    nlohmann::json message = {{"command", "printTasks"}};
    for (const auto& entry : tasks_) {
        message[std::to_string(entry.first)] = Task::StatusToString(entry.second->GetStatus());
    }
    SendToUI(DumpMessage(message));
}

void TaskManager::FinishThenShutdown(std::function<void()> callback) {
    bool empty;
    {
        // Between passes, so that a task on its way from the pending list into
        // the table is seen in one of them.
        Hold hold(*this);
        boost::lock_guard<boost::mutex> lock(pending_mutex_);
        empty = tasks_.empty() && tasks_to_add_.empty();
    }
    if (empty && callback) {
        callback();
    }
    {
        boost::lock_guard<boost::mutex> lock(callback_mutex_);
        finish_callback_ = std::move(callback);
    }
    finish_requested_ = true;
    // The worker may be asleep on a table that has just run empty.
    Notify();
}

void TaskManager::FinishWhenHeld() {
    finish_when_held_ = true;
    end_ui_work_ = true;
    // The worker may be asleep on work that is held already, or on a jog.
    Notify();
}

void TaskManager::UpdateTasks() {
    std::vector<nlohmann::json> items;
    {
        boost::lock_guard<boost::mutex> lock(updates_mutex_);
        items.swap(updates_);
    }
    for (auto& item : items) {
        const nlohmann::json message = {{"command", "updateTasks"},
                                        {"tasks", nlohmann::json::array({std::move(item)})}};
        SendToUI(DumpMessage(message));
    }
}

void TaskManager::SetSendCallback(SendCallback callback) {
    boost::lock_guard<boost::mutex> lock(callback_mutex_);
    send_callback_ = std::move(callback);
}

void TaskManager::SendToUI(std::string text) {
    SendCallback callback;
    {
        boost::lock_guard<boost::mutex> lock(callback_mutex_);
        callback = send_callback_;
    }
    if (callback) {
        callback(std::move(text));
    }
}
