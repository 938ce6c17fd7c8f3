// One unit of machine work: identity, status, place in a tree and in the
// program queue, start and completion conditions, callbacks, breakpoint and
// the JSON parameters. Task classes (T_...) fill in the virtual hooks.
#pragma once

#include "ControllerClock.h"
#include "ControllerTime.h"
#include "DataRecordWatcher.h"
#include "HoldMark.h"
#include "Utilities.h"

#include <zenlib.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <nlohmann/json.hpp>

class Task : public boost::enable_shared_from_this<Task> {
  public:
    // A start or completion condition: true when met.
    using Condition = std::function<bool()>;
    // An on-finish or on-cancel callback.
    using Callback = std::function<void()>;
    // An on-cancel callback that is told the cancellation reason.
    using CancelCallback = std::function<void(const std::string& reason)>;
    // A watch on a data record: true when the task is to be looked at again.
    using WatchCondition = std::function<bool(ZDataRecord*)>;
    // The same, also given the controller time of the record.
    using TimedWatchCondition = std::function<bool(const ZDataRecord&, const ControllerTime&)>;
    // Shared ownership of a task, as everyone holds them.
    using Pointer = boost::shared_ptr<Task>;
    // A main data record, shared with the record thread that delivered it.
    using Record = boost::shared_ptr<const ZDataRecord>;
    // The parameters, shared with the creator.
    using Parameters = boost::shared_ptr<nlohmann::json>;

    // Status values; StatusToString gives their texts.
    static constexpr uint32_t INITIALIZING = 0;
    static constexpr uint32_t RUNNING = 1;
    static constexpr uint32_t UPDATING = 2;
    static constexpr uint32_t PAUSED = 3;
    static constexpr uint32_t BREAKPOINT = 4;
    static constexpr uint32_t CANCELLED = 5;
    static constexpr uint32_t FINISHED = 6;

    // The reason a queued task gets when its predecessor is cancelled.
    static constexpr const char* kPreviousInQueueCancelled = "Previous Task in Queue Cancelled";

    // Takes the next id, the class name and the parameters (none: an empty
    // object, made when first needed).
    Task(std::string name, Parameters data);
    // Takes `count` consecutive ids from the task counter for tasks made later
    // with them; returns the first.
    static uint32_t ReserveIds(uint32_t count);
    // Not virtual: tasks are made through make_shared of their own class.
    ~Task();
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    // --- accessors ---
    uint32_t GetId() const { return id_; }
    uint32_t GetStatus() const { return status_.load(); }
    bool IsStatus(uint32_t status) const { return status_.load() == status; }
    // RUNNING or UPDATING: started, and neither paused nor ended.
    bool IsActive() const;
    // Active, or paused after it started: it may have set the machine going,
    // so a cancel or a pause must stop it.
    bool HasWorkUnderWay() const;
    // Stores the status without any message; the worker looks again at the
    // tasks this one may have made ready.
    void SetStatus(uint32_t status);
    std::string GetName() const { return name_; }
    uint32_t GetParentId() const { return parent_id_; }
    void SetParentId(uint32_t id) { parent_id_ = id; }
    uint32_t GetNextInQueueId() const { return next_in_queue_id_.load(); }
    void SetNextInQueueId(uint32_t id) { next_in_queue_id_.store(id); }
    void SetOrigin(const std::string& origin) { origin_ = origin; }
    std::string GetOrigin() const { return origin_; }
    bool HasStarted() const { return started_; }
    // Ended through Cancel, which takes the queue successors along; a line
    // made CANCELLED because it failed validation, or an aborted task, was not.
    bool WasCancelled() const { return cancelled_.load(); }
    bool HasBreakpoint() const { return breakpoint_; }
    // The task this one starts after (StartAfter); empty when there is none
    // or once this task has ended and let it go.
    Pointer Predecessor() const { return after_; }
    // INITIALIZING and held by a task that must change first: its parent has
    // not started, or the task it starts after has not finished.
    bool IsHeldByAnotherTask() const;
    std::vector<Pointer> GetSubTasks() const { return children_; }
    bool HasSubTasks() const { return !children_.empty(); }
    // The parent from the task table; empty when it has left the table.
    // Throws when the task has no parent.
    Pointer Parent() const;
    // The queued successor from the task table; empty when it has left it.
    // Throws when the task has no successor.
    Pointer NextTaskInQueue() const;
    // "INITIALIZING" ... "FINISHED"; empty for any other value.
    static std::string StatusToString(uint32_t status);
    // The "axis" parameter.
    std::string GetAxis();
    // "X" -> "A", "Y" -> "B", "Z" -> "C", "E" -> "D"; anything else unchanged.
    std::string GetControllerAxis();
    // Byte offset of the axis's status word / switch byte in the main record.
    int GetAxisStatusOffset();
    int GetAxisSwitchOffset();

    // --- life cycle (run with the task manager's lock held) ---
    bool IsReady();
    void Step();
    void Start();
    void Finish();
    // Cancels this task, its children and its queue successors. A task that
    // has started gets OnCancel whatever its status (a paused one too), so
    // it stops what it set going; a stop that fails is named in the reason.
    // A hook or callback that throws does not stop the cancellation; the
    // first such error is rethrown once everything has been cancelled.
    void Cancel(const std::string& reason);
    // Cancels the parent, or this task when it is top-level, with the reason
    // that a step failing with `error` gives.
    void Fail(std::exception_ptr error);
    // The cancellation reason of a step that failed with `error`.
    static std::string FailureReason(std::exception_ptr error);
    // Cancels the parent (or this top-level task) with `reason`, as a failed
    // step does.
    void FailStep(const std::string& reason);
    // Held by the user (paused, or at its breakpoint) while the main
    // controller restarted: the positions it would go on from are lost.
    // Reads the controller's clock when the main stream was opened again
    // since the hold; false for a task that is not held.
    bool HeldAcrossRestart();
    void Pause();
    void Resume();
    // Cancels without callbacks, messages or cascade; a failing OnCancel is
    // rethrown once the task has ended.
    void Abort();
    // Holds the queued successor at a breakpoint, then resumes this task if
    // it is paused or held at its breakpoint.
    void StepOver();
    void MarkBreakpoint();
    void ClearBreakpoint();
    // Drops conditions, children and watches; hands the task to the manager's removal list.
    void CleanUp();

    // --- composition ---
    void AddChild(Pointer child);
    // Children that run one after another once this task has started.
    void AddSubTasks(std::vector<Pointer> tasks);
    // A child that starts with its siblings once this task has started.
    void AddParallelTask(Pointer task);
    void AddStartCondition(Condition condition);
    // A start condition that `predecessor` is FINISHED, which also lets this
    // task sleep until the predecessor's status changes.
    void StartAfter(Pointer predecessor);
    void AddCompletionCondition(Condition condition);
    void AddOnFinish(Callback callback);
    void AddOnCancel(Callback callback);
    void AddOnCancelWithReason(CancelCallback callback);
    // True when every condition holds; stops at the first that does not.
    static bool AllConditionsMet(std::vector<Condition> conditions);
    bool StartConditionsMet();
    bool CompletionConditionsMet();
    // Every child FINISHED or CANCELLED (true without children).
    bool AllChildrenDone() const;
    // At least one child and every child CANCELLED.
    bool AllChildrenCancelled() const;
    // Watches on the main and on the temperature record stream.
    void AddWatch(WatchCondition condition);
    void AddTemperatureWatch(WatchCondition condition);
    // A main watch that judges records by their time (TimeMark::IsPassedBy).
    void AddTimedWatch(TimedWatchCondition condition);
    // Marks the task for a fresh look whenever the main-record field of type T
    // at byte offset `offset` changes; `cell` always holds the value last seen.
    template <typename T>
    void AddDataRecordCondition(int offset, std::atomic<T>* cell);
    // The parameter `key` converted to T; a missing key is added as null and
    // the conversion throws the JSON library's type error. An integer whose
    // value T cannot hold throws std::out_of_range.
    template <typename T>
    T GetProperty(const std::string& key);
    bool HasProperty(const std::string& key) const;
    // Reply of the main controller. Like every command and watch helper
    // here, throws "Main controller not open" (or "Temperature controller
    // not open") while that controller is not open.
    std::string SendCommand(std::string command);
    // The latest main record once it shows the effect of every command sent
    // before the call: one sampled after a read of the controller's clock
    // ("MG TIME") that follows their replies. A record taken earlier may
    // predate a stop or a motor switched off just now. Throws the stream's
    // error when no such record comes.
    Record RecordAfterCommands();
    // The same with the record's controller time.
    DataRecordWatcher::TimedRecord TimedRecordAfterCommands();
    // The controller's clock now (ControllerClock): records stamped after it
    // show every command sent before.
    ControllerTime ReadControllerTime();
    // The same with the clock as the controller gave it.
    ControllerClock::Reading ReadClock();
    // Sends on the temperature controller; the reply is dropped.
    void SendTemperatureCommand(std::string command);

    // --- one stop per control (AxisStopper, TaskManager) ---
    // Keeps how the task's latest stop was judged: the record that showed
    // its axes standing, or none when they were not seen standing.
    void KeepJudgedStop(Record standing);
    // While a failed control is recovered: the stop judged earlier in that
    // control, unless a command sent since may have set axes going; null
    // otherwise.
    const Record* ReusableStop() const;
    // Set around a failed control's recovery.
    void ReuseJudgedStop(bool reuse);
    // At the start of every control: a stop judged before it is not its own.
    void ForgetJudgedStop();
    // Axis commands for the task's axis: BG, DP=, JG=, LD=, MO, SH, ST.
    void BeginMotion();
    void DefinePosition(int32_t value);
    void SetJogSpeed(const std::string& value);
    void SetLimitDisable(const std::string& value);
    void MotorOff();
    void ServoHere();
    void StopAxis();

    // --- JSON and UI updates ---
    // Writes the full form (all but the class keys and "id") into `json`;
    // "description" only when the parameter is there.
    void ToJson(nlohmann::json& json);
    // Queues the full form of a top-level task for the UI.
    void SendUpdate();
    // Adds "id" and queues `json` for the UI (top-level tasks only).
    void QueueUpdate(nlohmann::json& json);
    // Queues {"status": text of status}.
    void PublishStatus(uint32_t status);
    // Sends {"command":"updateUI","data":value} to the UI at once.
    void UpdateUI(nlohmann::json value);
    void SetDescription(const std::string& description);

    // --- hooks of the task classes, in slot order ---
    virtual void OnFinish() {}
    virtual void OnStart() {}
    virtual void OnCancel() {}
    virtual void OnUpdate() {}
    virtual void OnPause() {}
    virtual void OnResume() {}
    // Adds the class keys to the full form.
    virtual void FillStatus(nlohmann::json& json);
    // Runs until the user stops it (a jog): when the UI has gone after asking
    // to finish, nothing else would ever end it.
    virtual bool RunsUntilStopped() const { return false; }
    // Has watches on the records of a controller that is not open (any
    // more): nothing will ever hold for them.
    bool WaitsOnClosedController() const;
    // Has watches on a record stream: it follows the machine itself.
    bool WatchesRecords() const { return watches_main_ || watches_temperature_; }

  protected:
    // A task under an id taken earlier with ReserveIds.
    Task(std::string name, Parameters data, uint32_t id);

    Parameters data_;
    uint32_t id_;
    uint32_t parent_id_;
    std::atomic<uint32_t> next_in_queue_id_;
    std::string name_;
    // Atomic: the record threads read it while they evaluate watches.
    std::atomic<uint32_t> status_;
    // Start conditions beyond the two every task has: its parent has started
    // and the task it starts after has finished.
    std::vector<Condition> start_conditions_;
    std::vector<Pointer> children_;
    std::string origin_;
    bool breakpoint_;
    bool started_;
    // Atomic: a task is queued behind another on the I/O thread.
    std::atomic<bool> cancelled_;
    // Whether `after_` wakes this task when its status changes; otherwise the
    // worker polls the task in every pass.
    bool woken_by_after_;
    // The task this one starts after, and the id of the task that starts after
    // this one: the queue's links and the worker's wake-up links (see StartAfter).
    Pointer after_;
    std::atomic<uint32_t> waiter_id_;

  private:
    // What few tasks have, kept apart: a program holds a task or two per line.
    struct Extras {
        // Beyond the one every task has: all its children are done.
        std::vector<Condition> completion_conditions;
        std::vector<Callback> on_finish;
        std::vector<CancelCallback> on_cancel;
        // The main controller when the user last held the task.
        HoldMark held;
        std::optional<Record> judged_stop;
        bool reuse_judged_stop = false;
    };
    Extras& GetExtras();
    std::unique_ptr<Extras> extras_;
    // Set by the watch helpers, under the manager's lock.
    bool watches_main_ = false;
    bool watches_temperature_ = false;

    // Steps 1 to 6 of a cancellation; false when the task was already
    // cancelled. Keeps the first error of a hook, callback or child in `failure`.
    bool CancelThis(const std::string& reason, std::exception_ptr& failure);
    // Asks the worker to look again at the tasks whose readiness may follow
    // this one's status; the children too when `with_children`.
    void WakeDependents(bool with_children) const;
    // Sends "<word><axis>" or "<word><axis>=<value>" to the main controller.
    void SendAxisCommand(const std::string& word, const std::string& value);
    // The main-record field's current value, or the cell's when no record is in.
    template <typename T>
    static T ReadField(const ZDataRecord* record, int offset);
    // The watcher's latest main record, for a watch's starting value.
    static bool LatestRecord(ZDataRecord* record);

    // The parameters, made empty when the task was given none.
    nlohmann::json& Data();

    // The process-wide task counter.
    static std::atomic<uint32_t> counter_;
};

template <typename T>
T Task::ReadField(const ZDataRecord* record, int offset) {
    T value;
    std::memcpy(&value, reinterpret_cast<const uint8_t*>(record) + offset, sizeof(T));
    return value;
}

template <typename T>
void Task::AddDataRecordCondition(int offset, std::atomic<T>* cell) {
    static_assert(std::is_same<T, uint8_t>::value || std::is_same<T, uint16_t>::value ||
                      std::is_same<T, int32_t>::value,
                  "record-field watches read u8, u16 or s32 fields");
    ZDataRecord latest;
    if (LatestRecord(&latest)) {
        cell->store(ReadField<T>(&latest, offset));
    }
    AddWatch([offset, cell](ZDataRecord* record) {
        const T value = ReadField<T>(record, offset);
        return cell->exchange(value) != value;
    });
}

template <typename T>
T Task::GetProperty(const std::string& key) {
    const nlohmann::json& value = Data()[key];
    if constexpr (std::is_integral<T>::value && !std::is_same<T, bool>::value) {
        return ReadInteger<T>(value, key);
    } else {
        return value.template get<T>();
    }
}
