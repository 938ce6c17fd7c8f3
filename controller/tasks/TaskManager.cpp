#include "TaskManager.h"

#include "DataRecordWatcher.h"
#include "MainConnection.h"
#include "TemperatureConnection.h"

#include <algorithm>
#include <iostream>
#include <utility>

namespace {

bool HasEnded(const Task& task) {
    return task.IsStatus(Task::FINISHED) || task.IsStatus(Task::CANCELLED);
}

// The one line on stderr for an error that the worker contained.
void ReportFailure(const Task& task, std::exception_ptr error) {
    std::cerr << "Task " << task.GetId() << " (" << task.GetName()
              << ") failed: " << Task::FailureReason(error) << std::endl;
}

// Cancels `task`; an error of its hooks is reported, not passed on: the
// worker goes on with the other tasks.
void CancelReporting(Task& task, const std::string& reason) {
    try {
        task.Cancel(reason);
    } catch (...) {
        ReportFailure(task, std::current_exception());
    }
}

// Why work that only the UI could move on ends when the UI that asked to
// finish has gone.
const char kUserInterfaceGone[] = "User Interface closed while finishing";

}  // namespace

// --- Hold ---

TaskManager::Hold::Hold(TaskManager& manager) : manager_(manager), owns_(false) {
    if (!manager_.HoldsLock()) {
        Take();
    }
}

TaskManager::Hold::Hold(TaskManager& manager, boost::adopt_lock_t)
    : manager_(manager), owns_(true) {}

TaskManager::Hold::~Hold() {
    if (owns_) {
        Release();
    }
}

void TaskManager::Hold::Take() {
    manager_.mutex_.lock();
    manager_.lock_holder_.store(std::this_thread::get_id());
    owns_ = true;
}

void TaskManager::Hold::Release() {
    manager_.lock_holder_.store(std::thread::id());
    manager_.mutex_.unlock();
    owns_ = false;
}

bool TaskManager::HoldsLock() const {
    return lock_holder_.load() == std::this_thread::get_id();
}

bool TaskManager::TryLock() {
    if (HoldsLock() || !mutex_.try_lock()) {
        return false;
    }
    lock_holder_.store(std::this_thread::get_id());
    return true;
}

// --- construction ---

TaskManager& TaskManager::GetInstance() {
    static TaskManager instance;
    return instance;
}

TaskManager::TaskManager()
    : running_(false),
      changed_(true),
      finish_requested_(false),
      finish_when_held_(false),
      end_ui_work_(false),
      wake_requested_(false),
      lock_holder_(std::thread::id()) {
    // Made first, so destroyed after this manager: the worker may still use
    // them while it is being joined at exit.
    MainConnection::GetInstance();
    TemperatureConnection::GetInstance();
    DataRecordWatcher::GetInstance().SetTaskDirectory(this);
}

TaskManager::~TaskManager() {
    // No record thread may call a destroyed manager.
    DataRecordWatcher::GetInstance().SetTaskDirectory(nullptr);
    running_ = false;
    Notify();
    if (!thread_.joinable()) {
        return;
    }
    if (thread_.get_id() == boost::this_thread::get_id()) {
        // The process is ending from the worker itself (the finish callback).
        thread_.detach();
        return;
    }
    try {
        thread_.join();
    } catch (...) {
    }
}

// --- worker ---

void TaskManager::Start() {
    if (running_) {
        DropRunningTasks();
    }
    if (thread_.joinable() && thread_.get_id() != boost::this_thread::get_id()) {
        thread_.join();
    }
    {
        // The new worker starts on an empty table. Emptied here rather than by
        // the worker, which could otherwise drop a task added right after Start.
        Hold hold(*this);
        std::unordered_map<uint32_t, boost::shared_ptr<Task>> table;
        {
            boost::lock_guard<boost::mutex> lock(table_mutex_);
            table.swap(tasks_);
        }
        // A worker that ended by an exception left its table behind.
        RemoveWatches(table);
    }
    running_ = true;
    finish_requested_ = false;
    finish_when_held_ = false;
    end_ui_work_ = false;
    thread_ = boost::thread([this] { Run(); });
}

void TaskManager::DropRunningTasks() {
    // One hold for the stops and the drop: no pass in between may step what
    // is left of the old work, nor run a finish callback on an emptied table.
    Hold hold(*this);
    running_ = false;
    // The stops wait until records show the axes standing, so the next
    // connection's tasks start on a machine at rest.
    try {
        Shutdown();
    } catch (...) {
        std::cerr << "Dropping the previous connection's tasks: "
                  << Task::FailureReason(std::current_exception()) << std::endl;
    }
    Notify();
    ClearAll(true);
}

void TaskManager::Stop() {
    // On another thread this waits for the pass in progress. On the thread that
    // holds the lock (a task or callback inside a pass) the table is being
    // walked, so it is left to the worker, which drops it on its way out.
    const bool inside = HoldsLock();
    Hold hold(*this);
    running_ = false;
    Notify();
    ClearAll(!inside);
}

void TaskManager::ClearAll(bool with_table) {
    std::unordered_map<uint32_t, boost::shared_ptr<Task>> table;
    std::vector<boost::shared_ptr<Task>> added;
    std::deque<boost::shared_ptr<Task>> queue;
    std::deque<boost::shared_ptr<Task>> ui_tasks;
    if (with_table) {
        boost::lock_guard<boost::mutex> lock(table_mutex_);
        table.swap(tasks_);
    }
    {
        boost::lock_guard<boost::mutex> lock(pending_mutex_);
        added.swap(tasks_to_add_);
        queue.swap(queue_);
        ui_tasks.swap(ui_tasks_);
        parked_predecessors_.clear();
        tasks_to_remove_.clear();
        tasks_to_update_.clear();
        tasks_to_fail_.clear();
    }
    {
        boost::lock_guard<boost::mutex> lock(updates_mutex_);
        updates_.clear();
    }
    {
        boost::lock_guard<boost::mutex> lock(awake_mutex_);
        awake_.clear();
    }
    // Tasks still waiting to be added have no watches yet.
    RemoveWatches(table);
    // The tasks are released here, outside every lock.
}

void TaskManager::RemoveWatches(
    const std::unordered_map<uint32_t, boost::shared_ptr<Task>>& table) {
    // A dropped task's watches point into it: they go before the task does.
    DataRecordWatcher& watcher = DataRecordWatcher::GetInstance();
    for (const auto& entry : table) {
        watcher.RemoveConditions(entry.first);
    }
}

void TaskManager::Run() {
    try {
        for (;;) {
            {
                // Cleared before the state is looked at: any later wake-up
                // request keeps the worker from sleeping through it.
                boost::lock_guard<boost::mutex> lock(wake_mutex_);
                wake_requested_ = false;
            }
            Hold hold(*this);
            if (!running_) {
                ClearAll(true);
                return;
            }
            // Taken before the pending lists: a jog handed over before the
            // request is then in the table when the request is carried out.
            const bool end_ui_work = end_ui_work_.exchange(false);
            ApplyPending();
            if (end_ui_work) {
                EndWorkLeftToTheUi();
            }
            // Sent before anything else: a parked task cancelled at its
            // registration has left the table already, which may now be
            // empty, and no pass would follow to send its last status.
            UpdateTasks();
            if (tasks_.empty() && finish_requested_) {
                CallFinishCallback(hold);
                continue;
            }
            if (tasks_.empty() || !changed_) {
                // Looked at only once nothing is left to step.
                if (finish_requested_ && finish_when_held_ && !GoesOnWithoutTheUi()) {
                    CancelWorkLeftToTheUi();
                    UpdateTasks();
                    CallFinishCallback(hold);
                    continue;
                }
                hold.Release();
                WaitForWake();
                continue;
            }
            changed_ = false;
            Pass();
        }
    } catch (const std::exception& error) {
        std::cerr << error.what() << "task execution ended" << std::endl;
    } catch (...) {
        std::cerr << "unknown error, task execution ended" << std::endl;
    }
}

void TaskManager::ApplyPending() {
    std::vector<uint32_t> update;
    std::vector<boost::shared_ptr<Task>> add;
    std::vector<std::pair<uint32_t, std::exception_ptr>> fail;
    std::unordered_map<uint32_t, boost::shared_ptr<Task>> predecessors;
    {
        boost::lock_guard<boost::mutex> lock(pending_mutex_);
        update.swap(tasks_to_update_);
        add.swap(tasks_to_add_);
        fail.swap(tasks_to_fail_);
        predecessors.swap(parked_predecessors_);
    }
    for (const auto& task : add) {
        RegisterTask(task);
        // Sent as they come: a whole program may wait here, and its updates
        // would otherwise all be held at once.
        UpdateTasks();
        const auto it = predecessors.find(task->GetId());
        if (it != predecessors.end()) {
            CancelIfBehindCancelled(task, it->second);
        }
    }
    // Taken only now: a task parked by a step (a group's segments) may have
    // ended before it was registered, when a UI command cancelled its parent
    // between two loops, and its removal must find it in the table.
    std::vector<uint32_t> remove;
    {
        boost::lock_guard<boost::mutex> lock(pending_mutex_);
        remove.swap(tasks_to_remove_);
    }
    std::vector<boost::shared_ptr<Task>> erased;
    for (const uint32_t id : remove) {
        boost::lock_guard<boost::mutex> lock(table_mutex_);
        const auto it = tasks_.find(id);
        if (it != tasks_.end()) {
            erased.push_back(std::move(it->second));
            tasks_.erase(it);
        }
        changed_ = true;
    }
    if (!remove.empty()) {
        std::vector<boost::shared_ptr<Task>> ended;
        boost::lock_guard<boost::mutex> lock(pending_mutex_);
        TrimEnded(ended);
    }
    for (const uint32_t id : update) {
        const auto it = tasks_.find(id);
        // Only a running task is marked: a completion that raced with a pause
        // or a cancel must not undo it.
        if (it != tasks_.end() && it->second->IsStatus(Task::RUNNING)) {
            it->second->SetStatus(Task::UPDATING);
            changed_ = true;
        }
    }
    FailTasks(fail);
}

void TaskManager::FailTasks(const std::vector<std::pair<uint32_t, std::exception_ptr>>& failures) {
    for (const auto& [id, error] : failures) {
        const auto it = tasks_.find(id);
        if (it == tasks_.end() || it->second->IsStatus(Task::CANCELLED) ||
            it->second->IsStatus(Task::FINISHED)) {
            continue;
        }
        if (it->second->IsStatus(Task::PAUSED) || it->second->IsStatus(Task::BREAKPOINT)) {
            // Held by the user, it waits for no record: it stays held, its
            // axes standing, and its watches go on with the stream opened
            // again. Its resume judges whether the controller restarted.
            continue;
        }
        const boost::shared_ptr<Task> task = it->second;
        try {
            task->Fail(error);
        } catch (...) {
            ReportFailure(*task, std::current_exception());
        }
        changed_ = true;
    }
    if (!failures.empty()) {
        UpdateTasks();
    }
}

void TaskManager::Pass() {
    // Walks the awake tasks like a table sorted by id: a task that a step
    // wakes further on is stepped in this pass, one behind in the next.
    std::vector<uint32_t> polled;
    uint64_t from = 0;
    while (const boost::shared_ptr<Task> task = TakeAwake(from)) {
        StepIfReady(task);
        // Start conditions that no task change announces are tried again in
        // every pass, as long as nothing known holds the task back.
        if (task->IsStatus(Task::INITIALIZING) && !task->IsHeldByAnotherTask()) {
            polled.push_back(task->GetId());
        }
        UpdateTasks();
    }
    {
        boost::lock_guard<boost::mutex> lock(awake_mutex_);
        awake_.insert(polled.begin(), polled.end());
    }
    UpdateTasks();
}

void TaskManager::StepIfReady(const boost::shared_ptr<Task>& task) {
    try {
        if (task->IsReady()) {
            changed_ = true;
            task->Step();
        }
    } catch (...) {
        // From a condition, from a hook that threw again while the step's
        // failure was being handled, or not a standard exception at all: the
        // task ends cancelled either way, and the worker goes on.
        const std::exception_ptr error = std::current_exception();
        if (!task->IsStatus(Task::CANCELLED) && !task->IsStatus(Task::FINISHED)) {
            try {
                task->Fail(error);
            } catch (...) {
            }
        }
        changed_ = true;
        ReportFailure(*task, error);
    }
}

boost::shared_ptr<Task> TaskManager::TakeAwake(uint64_t& from) {
    for (;;) {
        uint32_t id;
        {
            boost::lock_guard<boost::mutex> lock(awake_mutex_);
            const auto it = awake_.lower_bound(static_cast<uint32_t>(from));
            if (from > UINT32_MAX || it == awake_.end()) {
                return boost::shared_ptr<Task>();
            }
            id = *it;
            awake_.erase(it);
        }
        from = uint64_t{id} + 1;
        const auto entry = tasks_.find(id);
        if (entry != tasks_.end()) {
            return entry->second;
        }
    }
}

void TaskManager::Wake(std::initializer_list<uint32_t> ids) {
    boost::lock_guard<boost::mutex> lock(awake_mutex_);
    for (const uint32_t id : ids) {
        if (id != 0) {
            awake_.insert(id);
        }
    }
}

bool TaskManager::GoesOnWithoutTheUi() const {
    // A running task without children, or one that watches the records
    // itself (a move group between two fed segments), waits for the machine
    // (a move, a dwell, a heater), which goes on without the UI; unless it
    // waits on a controller that is not open, or runs until the user stops
    // it. A parent that only waits for its children goes on through them.
    return std::any_of(tasks_.begin(), tasks_.end(), [](const auto& entry) {
        const Task& task = *entry.second;
        return task.IsActive() && (!task.HasSubTasks() || task.WatchesRecords()) &&
               !task.RunsUntilStopped() && !task.WaitsOnClosedController();
    });
}

void TaskManager::CancelWorkLeftToTheUi() {
    std::vector<boost::shared_ptr<Task>> left;
    for (const auto& entry : tasks_) {
        if (entry.second->GetParentId() == 0 && !HasEnded(*entry.second)) {
            left.push_back(entry.second);
        }
    }
    // The last first: each line of a halted program is told why it ends,
    // rather than that the one before it was cancelled.
    std::sort(left.begin(), left.end(),
              [](const auto& a, const auto& b) { return a->GetId() > b->GetId(); });
    for (const auto& task : left) {
        // As the UI's own cancel would: a paused task stops what it set going.
        CancelReporting(*task, kUserInterfaceGone);
    }
}

void TaskManager::EndWorkLeftToTheUi() {
    std::vector<boost::shared_ptr<Task>> open_ended;
    for (const auto& entry : tasks_) {
        const boost::shared_ptr<Task>& task = entry.second;
        if (task->RunsUntilStopped() && !HasEnded(*task)) {
            open_ended.push_back(task);
        }
    }
    for (const auto& task : open_ended) {
        // Cancelled as the UI's own cancel would: the task stops its axis.
        CancelReporting(*task, kUserInterfaceGone);
        changed_ = true;
    }
}

void TaskManager::CallFinishCallback(Hold& hold) {
    std::function<void()> callback;
    {
        boost::lock_guard<boost::mutex> lock(callback_mutex_);
        callback = finish_callback_;
    }
    // Released, so that the callback may stop this manager or end the
    // process without leaving a locked mutex behind.
    hold.Release();
    if (callback) {
        callback();
        // Without a callback that ends the work, sleep until something changes.
        if (running_) {
            WaitForWake();
        }
    }
    hold.Take();
}

void TaskManager::WaitForWake() {
    boost::unique_lock<boost::mutex> lock(wake_mutex_);
    while (!wake_requested_ && running_) {
        condition_.wait(lock);
    }
}

void TaskManager::Notify() {
    {
        boost::lock_guard<boost::mutex> lock(wake_mutex_);
        wake_requested_ = true;
    }
    condition_.notify_all();
}

// --- table ---

void TaskManager::RegisterTask(const boost::shared_ptr<Task>& task) {
    {
        boost::lock_guard<boost::mutex> lock(table_mutex_);
        tasks_.emplace(task->GetId(), task);
    }
    try {
        task->SendUpdate();
    } catch (const std::exception& error) {
        std::cerr << "Task " << task->GetId() << " registered without its update: " << error.what()
                  << std::endl;
    }
    for (const auto& child : task->GetSubTasks()) {
        RegisterTask(child);
    }
    // A held task is woken by the task that holds it.
    if (!task->IsHeldByAnotherTask()) {
        Wake({task->GetId()});
    }
    changed_ = true;
}

void TaskManager::AddTask(boost::shared_ptr<Task> task) {
    if (task->GetParentId() == 0) {
        boost::lock_guard<boost::mutex> lock(pending_mutex_);
        ui_tasks_.push_back(task);
    }
    if (TryLock()) {
        Hold hold(*this, boost::adopt_lock);
        RegisterTask(task);
        hold.Release();
        Notify();
        return;
    }
    Park(std::move(task), boost::shared_ptr<Task>());
}

void TaskManager::AddTaskToBack(boost::shared_ptr<Task> task) {
    if (TryLock()) {
        // Linked under the lock, so no cancellation of the predecessor can
        // come between the look at its status and the registration.
        Hold hold(*this, boost::adopt_lock);
        const boost::shared_ptr<Task> predecessor = JoinQueue(task);
        RegisterTask(task);
        CancelIfBehindCancelled(task, predecessor);
        hold.Release();
        Notify();
        return;
    }
    const boost::shared_ptr<Task> predecessor = JoinQueue(task);
    Park(std::move(task), predecessor);
}

boost::shared_ptr<Task> TaskManager::JoinQueue(const boost::shared_ptr<Task>& task) {
    if (HasEnded(*task)) {
        // A line that failed validation ends as it is made: nothing could
        // ever start behind it, and it waits for nothing.
        return boost::shared_ptr<Task>();
    }
    boost::shared_ptr<Task> last;
    // Declared before the lock, so released after it.
    std::vector<boost::shared_ptr<Task>> ended;
    {
        boost::lock_guard<boost::mutex> lock(pending_mutex_);
        last = LastLiveTask(ended);
        queue_.push_back(task);
    }
    // A program chains its own tasks as it is loaded; behind a line of it that
    // failed validation the program halts, as it must.
    boost::shared_ptr<Task> predecessor = task->Predecessor();
    if (!predecessor && last) {
        last->SetNextInQueueId(task->GetId());
        task->StartAfter(last);
        predecessor = last;
    }
    // A predecessor that ends CANCELLED from here on, before this task is in
    // the table, cannot reach it with its cascade; the caller checks it once
    // the task is registered. One cancelled already counts the same: a
    // program's line that failed at its start before the next was queued, or
    // the last live task cancelled between the look above and the link.
    return predecessor && !predecessor->IsStatus(Task::FINISHED) ? predecessor
                                                                 : boost::shared_ptr<Task>();
}

void TaskManager::CancelIfBehindCancelled(const boost::shared_ptr<Task>& task,
                                          const boost::shared_ptr<Task>& predecessor) {
    // A line that failed validation was never cancelled: the program halts
    // behind it instead.
    if (!predecessor || !predecessor->WasCancelled()) {
        return;
    }
    CancelReporting(*task, Task::kPreviousInQueueCancelled);
}

boost::shared_ptr<Task> TaskManager::LastLiveTask(std::vector<boost::shared_ptr<Task>>& ended) {
    TrimEnded(ended);
    // The UI's own tasks end on their own schedule (a jog when the user lets
    // go of it, cancelled when toggled off): a task queued behind one while
    // the queue has work would start beside that work, or be cancelled with
    // the UI's task.
    if (!queue_.empty()) {
        return queue_.back();
    }
    return ui_tasks_.empty() ? boost::shared_ptr<Task>() : ui_tasks_.back();
}

void TaskManager::TrimEnded(std::vector<boost::shared_ptr<Task>>& ended) {
    // A task the user cancels takes the tasks queued behind it along, so the
    // ended ones gather at the back; finished ones leave at the front.
    for (auto* tasks : {&queue_, &ui_tasks_}) {
        while (!tasks->empty() && HasEnded(*tasks->back())) {
            ended.push_back(std::move(tasks->back()));
            tasks->pop_back();
        }
        while (!tasks->empty() && HasEnded(*tasks->front())) {
            ended.push_back(std::move(tasks->front()));
            tasks->pop_front();
        }
    }
}

void TaskManager::Park(boost::shared_ptr<Task> task, boost::shared_ptr<Task> predecessor) {
    {
        boost::lock_guard<boost::mutex> lock(pending_mutex_);
        if (predecessor) {
            parked_predecessors_[task->GetId()] = std::move(predecessor);
        }
        tasks_to_add_.push_back(std::move(task));
    }
    Notify();
}

boost::shared_ptr<Task> TaskManager::GetTask(uint32_t id) {
    boost::lock_guard<boost::mutex> lock(table_mutex_);
    const auto it = tasks_.find(id);
    return it == tasks_.end() ? boost::shared_ptr<Task>() : it->second;
}

boost::shared_ptr<Task> TaskManager::GetLastTask() {
    std::vector<boost::shared_ptr<Task>> ended;
    boost::lock_guard<boost::mutex> lock(pending_mutex_);
    return LastLiveTask(ended);
}

std::optional<uint32_t> TaskManager::GetTaskStatus(uint32_t id) {
    boost::lock_guard<boost::mutex> lock(table_mutex_);
    const auto it = tasks_.find(id);
    if (it == tasks_.end()) {
        return std::nullopt;
    }
    return it->second->GetStatus();
}

void TaskManager::OnConditionMet(uint32_t id) {
    if (TryLock()) {
        Hold hold(*this, boost::adopt_lock);
        const boost::shared_ptr<Task> task = GetTask(id);
        if (task && task->IsStatus(Task::RUNNING)) {
            task->SetStatus(Task::UPDATING);
            changed_ = true;
        }
        hold.Release();
        Notify();
        return;
    }
    {
        boost::lock_guard<boost::mutex> lock(pending_mutex_);
        tasks_to_update_.push_back(id);
    }
    Notify();
}

void TaskManager::OnStreamFailed(const std::vector<uint32_t>& ids, std::exception_ptr error) {
    // Always parked: the record thread holds the watcher's lock, which the
    // cancellations take again when they remove the tasks' watches.
    {
        boost::lock_guard<boost::mutex> lock(pending_mutex_);
        for (const uint32_t id : ids) {
            tasks_to_fail_.emplace_back(id, error);
        }
    }
    Notify();
}

void TaskManager::RemoveTask(boost::shared_ptr<Task> task) {
    {
        boost::lock_guard<boost::mutex> lock(pending_mutex_);
        tasks_to_remove_.push_back(task->GetId());
    }
    changed_ = true;
}

void TaskManager::AddUpdate(nlohmann::json update) {
    boost::lock_guard<boost::mutex> lock(updates_mutex_);
    updates_.push_back(std::move(update));
}
