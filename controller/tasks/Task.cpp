#include "Task.h"

#include "AxisStopper.h"
#include "DataRecordWatcher.h"
#include "MainConnection.h"
#include "MotionStop.h"
#include "TaskManager.h"
#include "TemperatureConnection.h"
#include "VrxException.h"

#include <iostream>
#include <stdexcept>
#include <utility>

std::atomic<uint32_t> Task::counter_{0};

namespace {

const char kParentCancelled[] = "Parent Task Cancelled";
const char kAllSubTasksCancelled[] = "All Sub-Tasks were Cancelled";

// A task that needs a controller which is not open fails at once, naming it:
// nothing would ever answer its commands or feed its watches. (The UI's own
// raw commands and stops skip such a controller instead.)
MainConnection& OpenMain() {
    MainConnection& main = MainConnection::GetInstance();
    if (!main.IsEnabled()) {
        throw std::runtime_error("Main controller not open");
    }
    return main;
}

TemperatureConnection& OpenTemperature() {
    TemperatureConnection& temperature = TemperatureConnection::GetInstance();
    if (!temperature.IsOpen()) {
        throw std::runtime_error("Temperature controller not open");
    }
    return temperature;
}

// What a dying task still owns of other tasks: the task it starts after,
// conditions and callbacks that hold other tasks, and its children.
struct Remains {
    std::vector<Task::Condition> conditions;
    std::vector<Task::Callback> callbacks;
    std::vector<Task::CancelCallback> cancel_callbacks;
    std::vector<Task::Pointer> children;
};

// Every task of a loaded program holds its predecessor, so dropping the last
// task of a long chain would destroy the whole chain recursively. Destructors
// park what they own here and the outermost one releases it in a loop.
thread_local std::vector<Remains>* dying_remains = nullptr;

// Runs one part of a cancellation; an error is kept, the first one only, and
// the cancellation goes on.
template <typename Part>
void Contain(std::exception_ptr& failure, Part&& part) {
    try {
        part();
    } catch (...) {
        if (!failure) {
            failure = std::current_exception();
        }
    }
}

}  // namespace

Task::Task(std::string name, Parameters data)
    : Task(std::move(name), std::move(data), ++counter_) {}

uint32_t Task::ReserveIds(uint32_t count) {
    return counter_.fetch_add(count) + 1;
}

Task::Task(std::string name, Parameters data, uint32_t id)
    : data_(std::move(data)),
      id_(id),
      parent_id_(0),
      next_in_queue_id_(0),
      name_(std::move(name)),
      status_(INITIALIZING),
      origin_(),
      breakpoint_(false),
      started_(false),
      cancelled_(false),
      woken_by_after_(false),
      waiter_id_(0) {}

Task::~Task() {
    Remains remains;
    remains.conditions = std::move(start_conditions_);
    remains.children = std::move(children_);
    if (after_) {
        remains.children.push_back(std::move(after_));
    }
    if (extras_) {
        for (auto& condition : extras_->completion_conditions) {
            remains.conditions.push_back(std::move(condition));
        }
        remains.callbacks = std::move(extras_->on_finish);
        remains.cancel_callbacks = std::move(extras_->on_cancel);
    }
    if (dying_remains != nullptr) {
        dying_remains->push_back(std::move(remains));
        return;
    }
    std::vector<Remains> queue;
    queue.push_back(std::move(remains));
    dying_remains = &queue;
    while (!queue.empty()) {
        Remains next = std::move(queue.back());
        queue.pop_back();
        // Tasks released here park their own remains in `queue`.
        next = Remains();
    }
    dying_remains = nullptr;
}

std::string Task::StatusToString(uint32_t status) {
    switch (status) {
        case INITIALIZING:
            return "INITIALIZING";
        case RUNNING:
            return "RUNNING";
        case UPDATING:
            return "UPDATING";
        case PAUSED:
            return "PAUSED";
        case BREAKPOINT:
            return "BREAKPOINT";
        case CANCELLED:
            return "CANCELLED";
        case FINISHED:
            return "FINISHED";
        default:
            return "";
    }
}

void Task::SetStatus(uint32_t status) {
    const uint32_t before = status_.exchange(status);
    WakeDependents(false);
    const bool stopped = status == PAUSED || status == BREAKPOINT;
    const bool was_stopped = before == PAUSED || before == BREAKPOINT;
    if (stopped && !was_stopped) {
        // Taken when the hold begins: a pause of a task held already must
        // not hide a restart since.
        GetExtras().held.Take();
    }
}

bool Task::HeldAcrossRestart() {
    if ((!IsStatus(PAUSED) && !IsStatus(BREAKPOINT)) || !extras_) {
        return false;
    }
    const HoldMark& held = extras_->held;
    // Records went on without a break: the controller cannot have restarted.
    return held.StreamChanged() && held.Restarted(ReadControllerTime());
}

void Task::WakeDependents(bool with_children) const {
    // The worker only looks at tasks that something may have made ready: this
    // one, its parent (its children may all be done now) and the tasks that
    // start after it. Children wait for their parent to start.
    TaskManager& manager = TaskManager::GetInstance();
    manager.Wake({id_, parent_id_, next_in_queue_id_.load(), waiter_id_.load()});
    if (with_children) {
        for (const auto& child : children_) {
            manager.Wake({child->GetId()});
        }
    }
}

bool Task::IsHeldByAnotherTask() const {
    if (!IsStatus(INITIALIZING)) {
        return false;
    }
    if (parent_id_ != 0) {
        const Pointer parent = TaskManager::GetInstance().GetTask(parent_id_);
        if (!parent || !parent->HasStarted()) {
            return true;
        }
    }
    return woken_by_after_ && after_ && !after_->IsStatus(FINISHED);
}

Task::Pointer Task::Parent() const {
    if (parent_id_ == 0) {
        throw std::runtime_error("Should not be in parent if no parent_id_");
    }
    return TaskManager::GetInstance().GetTask(parent_id_);
}

Task::Pointer Task::NextTaskInQueue() const {
    const uint32_t next = next_in_queue_id_.load();
    if (next == 0) {
        throw std::runtime_error("Should not be in NextTaskInQueue if no next_in_queue_id_");
    }
    return TaskManager::GetInstance().GetTask(next);
}

std::string Task::GetAxis() {
    return GetProperty<std::string>("axis");
}

std::string Task::GetControllerAxis() {
    const std::string axis = GetAxis();
    if (axis == "X") {
        return "A";
    }
    if (axis == "Y") {
        return "B";
    }
    if (axis == "Z") {
        return "C";
    }
    if (axis == "E") {
        return "D";
    }
    return axis;
}

int Task::GetAxisStatusOffset() {
    const std::string axis = GetControllerAxis();
    if (axis == "A") {
        return 82;
    }
    if (axis == "B") {
        return 118;
    }
    if (axis == "C") {
        return 154;
    }
    throw std::runtime_error("Invalid axis detected");
}

int Task::GetAxisSwitchOffset() {
    const std::string axis = GetControllerAxis();
    if (axis == "A") {
        return 84;
    }
    if (axis == "B") {
        return 120;
    }
    if (axis == "C") {
        return 156;
    }
    throw std::runtime_error("Invalid axis detected");
}

// --- life cycle ---

bool Task::IsReady() {
    const uint32_t status = status_.load();
    // A paused task ignores its steps; calling it ready would only make the
    // worker spin on a paused parent whose children are done.
    if (status == PAUSED) {
        return false;
    }
    if (status == INITIALIZING && StartConditionsMet()) {
        return true;
    }
    if (status == UPDATING) {
        return true;
    }
    return !children_.empty() && AllChildrenDone();
}

void Task::Step() {
    try {
        if (IsStatus(PAUSED)) {
            return;
        }
        if (IsStatus(INITIALIZING) && breakpoint_) {
            SetStatus(BREAKPOINT);
            PublishStatus(BREAKPOINT);
            return;
        }
        if (IsStatus(INITIALIZING) && !StartConditionsMet()) {
            return;
        }
        if (CompletionConditionsMet()) {
            if (AllChildrenCancelled()) {
                Cancel(kAllSubTasksCancelled);
            } else {
                Finish();
            }
            return;
        }
        if (IsStatus(CANCELLED)) {
            return;
        }
        if (IsStatus(INITIALIZING)) {
            Start();
        }
        if (IsStatus(UPDATING)) {
            SetStatus(RUNNING);
            OnUpdate();
        }
    } catch (const std::exception&) {
        // A hook that throws again while the task is being cancelled leaves
        // the cancellation complete and its error to the worker.
        Fail(std::current_exception());
    }
}

void Task::Fail(std::exception_ptr error) {
    FailStep(FailureReason(error));
}

std::string Task::FailureReason(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const VrxException& vrx) {
        return "<vrx_error><cmd>" + vrx.GetSource() + "</cmd>" + vrx.GetErrorString() +
               "</vrx_error>";
    } catch (const std::exception& other) {
        return std::string("Task Execution Error : ") + other.what();
    } catch (...) {
        return "Task Execution Error : unknown error";
    }
}

void Task::FailStep(const std::string& reason) {
    if (parent_id_ != 0) {
        const Pointer parent = Parent();
        if (parent) {
            parent->Cancel(reason);
            return;
        }
        // The parent has left the table, so no cascade can reach this task.
        std::cerr << "Task " << id_ << " failed after its parent " << parent_id_
                  << " had left the task table: " << reason << std::endl;
    }
    Cancel(reason);
}

void Task::Start() {
    SetStatus(RUNNING);
    PublishStatus(RUNNING);
    OnStart();
    started_ = true;
    WakeDependents(true);
}

void Task::Finish() {
    OnFinish();
    const std::vector<Callback> callbacks = extras_ ? extras_->on_finish : std::vector<Callback>();
    for (const auto& callback : callbacks) {
        callback();
    }
    SetStatus(FINISHED);
    PublishStatus(FINISHED);
    CleanUp();
}

bool Task::HasWorkUnderWay() const {
    // Paused or not, a task that has started may have set axes going that
    // nothing else stops; one that ended left nothing of its own.
    return IsActive() || (IsStatus(PAUSED) && started_);
}

namespace {

// What a cancellation reason adds for axes that a cancel could not stop;
// empty for any other error of a cancellation, which the caller hears of.
std::string StopFailureText(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const AxesNotStopped& not_stopped) {
        return not_stopped.what();
    } catch (...) {
        return "";
    }
}

}  // namespace

bool Task::CancelThis(const std::string& reason, std::exception_ptr& failure) {
    if (IsStatus(CANCELLED)) {
        return false;
    }
    std::string why = reason;
    if (HasWorkUnderWay()) {
        std::exception_ptr stop_error;
        Contain(stop_error, [this] { OnCancel(); });
        if (stop_error) {
            // The UI learns from the reason that the machine may still move.
            const std::string not_stopped = StopFailureText(stop_error);
            if (!not_stopped.empty()) {
                why += "; " + not_stopped;
            }
            if (!failure) {
                failure = stop_error;
            }
        }
    }
    // Set first: whoever sees the status also sees that the cascade ran.
    cancelled_.store(true);
    SetStatus(CANCELLED);
    const std::vector<CancelCallback> callbacks =
        extras_ ? extras_->on_cancel : std::vector<CancelCallback>();
    for (const auto& callback : callbacks) {
        Contain(failure, [&] { callback(reason); });
    }
    nlohmann::json update = {{"status", StatusToString(CANCELLED)}, {"cancellation_reason", why}};
    QueueUpdate(update);
    const std::vector<Pointer> children = children_;
    for (const auto& child : children) {
        Contain(failure, [&child] { child->Cancel(kParentCancelled); });
    }
    return true;
}

void Task::Cancel(const std::string& reason) {
    // The queue chain of a loaded program can be as long as the program, so it
    // is walked in a loop: each task is cancelled after its own children, and
    // the clean-ups run last to first, as nested calls would run them.
    std::exception_ptr failure;
    std::vector<Pointer> cancelled;
    Pointer current = shared_from_this();
    std::string why = reason;
    while (current && current->CancelThis(why, failure)) {
        cancelled.push_back(current);
        current = current->GetNextInQueueId() != 0 ? current->NextTaskInQueue() : Pointer();
        why = kPreviousInQueueCancelled;
    }
    for (auto it = cancelled.rbegin(); it != cancelled.rend(); ++it) {
        (*it)->CleanUp();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

void Task::Pause() {
    if (!started_ && !IsActive()) {
        // Nothing of it has reached a controller, and another task may be
        // driving the machine: holding it back is all there is to do.
        SetStatus(PAUSED);
        PublishStatus(PAUSED);
        return;
    }
    OnPause();
    // Paused children that have started are paused again too: a resume
    // that failed half-way may have set some of them going.
    const std::vector<Pointer> children = children_;
    for (const auto& child : children) {
        if (child->HasWorkUnderWay()) {
            child->Pause();
        }
    }
    SetStatus(PAUSED);
    PublishStatus(PAUSED);
}

void Task::Resume() {
    // A running task would set itself up again in the middle of its work, and
    // a waiting one would start before its turn.
    if (!IsStatus(PAUSED) && !IsStatus(BREAKPOINT)) {
        return;
    }
    if (!started_ && (IsStatus(PAUSED) || !StartConditionsMet())) {
        // Held before it started: it waits for its turn again, and its
        // breakpoint, if set, holds it once more.
        SetStatus(INITIALIZING);
        PublishStatus(INITIALIZING);
        return;
    }
    if (CompletionConditionsMet()) {
        Finish();
        return;
    }
    if (!started_) {
        Start();
        return;
    }
    OnResume();
    const std::vector<Pointer> children = children_;
    for (const auto& child : children) {
        if (child->IsStatus(PAUSED)) {
            child->Resume();
        }
    }
    SetStatus(RUNNING);
    PublishStatus(RUNNING);
}

void Task::Abort() {
    std::exception_ptr failure;
    if (HasWorkUnderWay()) {
        Contain(failure, [this] { OnCancel(); });
    }
    SetStatus(CANCELLED);
    CleanUp();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

bool Task::IsActive() const {
    // A record change marks a running task UPDATING until its next step; it
    // is still running (jogging, heating) and must be stopped or paused.
    return IsStatus(RUNNING) || IsStatus(UPDATING);
}

void Task::StepOver() {
    if (GetNextInQueueId() != 0) {
        const Pointer next = NextTaskInQueue();
        if (next) {
            next->MarkBreakpoint();
        }
    }
    // A running or waiting task stays as it is: only the successor is held.
    Resume();
}

void Task::MarkBreakpoint() {
    breakpoint_ = true;
    nlohmann::json update = {{"breakpoint", true}};
    QueueUpdate(update);
}

void Task::ClearBreakpoint() {
    breakpoint_ = false;
    nlohmann::json update = {{"breakpoint", false}};
    QueueUpdate(update);
}

void Task::CleanUp() {
    // Released outside the task: the conditions may hold the last reference
    // to other tasks.
    std::vector<Condition> completion;
    std::vector<Condition> start;
    std::vector<Pointer> children;
    Pointer after;
    if (extras_) {
        completion.swap(extras_->completion_conditions);
    }
    start.swap(start_conditions_);
    children.swap(children_);
    after.swap(after_);
    DataRecordWatcher::GetInstance().RemoveConditions(id_);
    TaskManager::GetInstance().RemoveTask(shared_from_this());
}

// --- composition ---

void Task::AddChild(Pointer child) {
    child->SetParentId(id_);
    children_.push_back(std::move(child));
}

void Task::AddSubTasks(std::vector<Pointer> tasks) {
    if (tasks.empty()) {
        return;
    }
    for (size_t i = 1; i < tasks.size(); ++i) {
        tasks[i]->StartAfter(tasks[i - 1]);
    }
    tasks[0]->AddStartCondition([this] { return !IsStatus(INITIALIZING); });
    for (auto& task : tasks) {
        AddChild(task);
    }
}

void Task::AddParallelTask(Pointer task) {
    task->AddStartCondition([this] { return !IsStatus(INITIALIZING); });
    AddChild(std::move(task));
}

void Task::AddStartCondition(Condition condition) {
    start_conditions_.push_back(std::move(condition));
}

void Task::StartAfter(Pointer predecessor) {
    if (predecessor == after_) {
        return;  // a program's tasks are linked when loaded and again when queued
    }
    // A predecessor wakes one waiter, which is all queues and sequences need;
    // a second waiter is looked at in every pass.
    uint32_t waiter = 0;
    const bool woken =
        predecessor->waiter_id_.compare_exchange_strong(waiter, id_) || waiter == id_;
    if (!after_) {
        after_ = std::move(predecessor);
        woken_by_after_ = woken;
        return;
    }
    // Rare: a second predecessor is an ordinary condition.
    AddStartCondition([predecessor] { return predecessor->IsStatus(FINISHED); });
}

Task::Extras& Task::GetExtras() {
    if (!extras_) {
        extras_ = std::make_unique<Extras>();
    }
    return *extras_;
}

void Task::AddCompletionCondition(Condition condition) {
    GetExtras().completion_conditions.push_back(std::move(condition));
}

void Task::AddOnFinish(Callback callback) {
    GetExtras().on_finish.push_back(std::move(callback));
}

void Task::AddOnCancel(Callback callback) {
    GetExtras().on_cancel.push_back(
        [callback = std::move(callback)](const std::string&) { callback(); });
}

void Task::AddOnCancelWithReason(CancelCallback callback) {
    GetExtras().on_cancel.push_back(std::move(callback));
}

bool Task::AllConditionsMet(std::vector<Condition> conditions) {
    for (const auto& condition : conditions) {
        if (!condition()) {
            return false;
        }
    }
    return true;
}

bool Task::StartConditionsMet() {
    // The parent is looked up at every evaluation, so a parent set later counts too.
    if (parent_id_ != 0) {
        const Pointer parent = Parent();
        if (!parent || !parent->HasStarted()) {
            return false;
        }
    }
    if (after_ && !after_->IsStatus(FINISHED)) {
        return false;
    }
    return AllConditionsMet(start_conditions_);
}

bool Task::CompletionConditionsMet() {
    if (!AllChildrenDone()) {
        return false;
    }
    return !extras_ || AllConditionsMet(extras_->completion_conditions);
}

bool Task::AllChildrenDone() const {
    for (const auto& child : children_) {
        if (!child->IsStatus(FINISHED) && !child->IsStatus(CANCELLED)) {
            return false;
        }
    }
    return true;
}

bool Task::AllChildrenCancelled() const {
    if (children_.empty()) {
        return false;
    }
    for (const auto& child : children_) {
        if (!child->IsStatus(CANCELLED)) {
            return false;
        }
    }
    return true;
}

void Task::AddWatch(WatchCondition condition) {
    OpenMain();
    DataRecordWatcher::GetInstance().AddCondition(id_, std::move(condition));
    watches_main_ = true;
}

void Task::AddTimedWatch(TimedWatchCondition condition) {
    OpenMain();
    DataRecordWatcher::GetInstance().AddTimedCondition(id_, std::move(condition));
    watches_main_ = true;
}

void Task::AddTemperatureWatch(WatchCondition condition) {
    OpenTemperature();
    DataRecordWatcher::GetInstance().AddTemperatureCondition(id_, std::move(condition));
    watches_temperature_ = true;
}

bool Task::WaitsOnClosedController() const {
    return (watches_main_ && !MainConnection::GetInstance().IsEnabled()) ||
           (watches_temperature_ && !TemperatureConnection::GetInstance().IsOpen());
}

bool Task::LatestRecord(ZDataRecord* record) {
    const auto latest = DataRecordWatcher::GetInstance().GetRecord();
    if (!latest) {
        return false;
    }
    *record = *latest;
    return true;
}

bool Task::HasProperty(const std::string& key) const {
    return data_ && data_->is_object() && data_->contains(key);
}

std::string Task::SendCommand(std::string command) {
    if (extras_ && extras_->judged_stop && !MotionStop::OnlyAsks(command)) {
        // It may set axes going that the stop judged earlier did not see.
        extras_->judged_stop.reset();
    }
    return OpenMain().Command(command);
}

ControllerClock::Reading Task::ReadClock() {
    return ControllerClock::Read(DataRecordWatcher::GetInstance(),
                                 [this](const std::string& text) { return SendCommand(text); });
}

void Task::KeepJudgedStop(Record standing) {
    GetExtras().judged_stop = std::move(standing);
}

const Task::Record* Task::ReusableStop() const {
    if (!extras_ || !extras_->reuse_judged_stop || !extras_->judged_stop) {
        return nullptr;
    }
    return &*extras_->judged_stop;
}

void Task::ReuseJudgedStop(bool reuse) {
    if (reuse || extras_) {
        GetExtras().reuse_judged_stop = reuse;
    }
}

void Task::ForgetJudgedStop() {
    if (extras_) {
        extras_->judged_stop.reset();
    }
}

ControllerTime Task::ReadControllerTime() {
    return ReadClock().time;
}

Task::Record Task::RecordAfterCommands() {
    return TimedRecordAfterCommands().record;
}

DataRecordWatcher::TimedRecord Task::TimedRecordAfterCommands() {
    return DataRecordWatcher::GetInstance().RecordAfter(ReadControllerTime());
}

void Task::SendTemperatureCommand(std::string command) {
    OpenTemperature().Command(command);
}

void Task::SendAxisCommand(const std::string& word, const std::string& value) {
    std::string command = word + GetControllerAxis();
    if (!value.empty()) {
        command += "=" + value;
    }
    SendCommand(command);
}

void Task::BeginMotion() {
    SendAxisCommand("BG", "");
}

void Task::DefinePosition(int32_t value) {
    SendAxisCommand("DP", std::to_string(value));
}

void Task::SetJogSpeed(const std::string& value) {
    SendAxisCommand("JG", value);
}

void Task::SetLimitDisable(const std::string& value) {
    SendAxisCommand("LD", value);
}

void Task::MotorOff() {
    SendAxisCommand("MO", "");
}

void Task::ServoHere() {
    SendAxisCommand("SH", "");
}

void Task::StopAxis() {
    SendAxisCommand("ST", "");
}

// --- JSON and UI updates ---

void Task::ToJson(nlohmann::json& json) {
    json["name"] = name_;
    json["status"] = StatusToString(GetStatus());
    if (HasProperty("description")) {
        json["description"] = GetProperty<std::string>("description");
    }
    json["origin"] = origin_;
    json["breakpoint"] = breakpoint_;
    if (HasProperty("cancellation_reason")) {
        json["cancellation_reason"] = GetProperty<std::string>("cancellation_reason");
    }
    if (parent_id_ != 0) {
        json["parent"] = parent_id_;
    }
    if (!children_.empty()) {
        nlohmann::json ids = nlohmann::json::array();
        for (const auto& child : children_) {
            ids.push_back(child->GetId());
        }
        json["children"] = ids;
    }
}

void Task::FillStatus(nlohmann::json&) {}

void Task::SendUpdate() {
    if (parent_id_ != 0) {
        return;
    }
    nlohmann::json json;
    ToJson(json);
    FillStatus(json);
    // A task without a description still reaches the UI, with an empty one.
    if (!json.contains("description")) {
        std::cerr << "Task " << id_ << " (" << name_
                  << ") has no \"description\"; the UI shows an empty one" << std::endl;
        json["description"] = "";
    }
    QueueUpdate(json);
}

void Task::QueueUpdate(nlohmann::json& json) {
    if (parent_id_ != 0) {
        return;
    }
    json["id"] = id_;
    TaskManager::GetInstance().AddUpdate(json);
}

void Task::PublishStatus(uint32_t status) {
    nlohmann::json update = {{"status", StatusToString(status)}};
    QueueUpdate(update);
}

void Task::UpdateUI(nlohmann::json value) {
    const nlohmann::json message = {{"command", "updateUI"}, {"data", std::move(value)}};
    TaskManager::GetInstance().SendToUI(DumpMessage(message));
}

void Task::SetDescription(const std::string& description) {
    Data()["description"] = description;
}

nlohmann::json& Task::Data() {
    if (!data_) {
        data_ = boost::make_shared<nlohmann::json>(nlohmann::json::object());
    }
    return *data_;
}
