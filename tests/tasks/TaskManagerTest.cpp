// The task table, the pending lists, the worker's passes and the control
// operations, with the worker's loops run by hand.
#include "ManualTaskTest.h"

#include "DataRecordWatcher.h"

#include <thread>

using nlohmann::json;

using TaskTable = ManualTaskTest;

TEST_F(TaskTable, ATaskAddedInsideAStepEntersAtTheNextLoop) {
    auto added = T_Probe::Make(), task = T_Probe::Make();
    task->on_start_ = [this, added] { manager_.AddTask(added); };
    Add(task);
    Flush();
    TaskManagerProbe::Pass();
    EXPECT_FALSE(manager_.GetTask(added->GetId()));
    EXPECT_EQ(ui_.Updates().size(), 1u);  // only the RUNNING of `task`
    TaskManagerProbe::ApplyPending();
    EXPECT_TRUE(manager_.GetTask(added->GetId()));
    EXPECT_EQ(manager_.GetLastTask(), added);
}

TEST_F(TaskTable, AConditionMetUnderABusyLockWaitsForTheLoopAndUndoesNoPauseOrCancel) {
    auto task = T_Probe::Make(), paused = T_Probe::Make(), cancelled = T_Probe::Make();
    for (const auto& t : {task, paused, cancelled}) {
        Add(t);
        t->Step();
    }
    TaskManagerProbe::Lock();
    for (const uint32_t id : {task->GetId(), paused->GetId(), cancelled->GetId(), 999999u}) {
        manager_.OnConditionMet(id);
    }
    TaskManagerProbe::Unlock();
    EXPECT_TRUE(task->IsStatus(R));
    manager_.PauseTask(paused->GetId());
    manager_.CancelTask(cancelled->GetId());
    TaskManagerProbe::ApplyPending();
    EXPECT_EQ(Statuses({task, paused, cancelled}), StatusList({U, P, C}));
    EXPECT_EQ(TaskManagerProbe::TableSize(), 2u);
    EXPECT_FALSE(manager_.GetTask(999999));
    // With the lock free it takes effect at once.
    task->Step();
    manager_.OnConditionMet(task->GetId());
    EXPECT_TRUE(task->IsStatus(U));
}

TEST_F(TaskTable, AWatchWakesItsTaskThroughTheManagerUntilTheTaskEnds) {
    auto task = T_Probe::Make();
    task->watch_ = true;
    Add(task);
    task->Step();
    ZDataRecord record{};
    DataRecordWatcher::GetInstance().CheckConditions(nullptr, record);
    EXPECT_TRUE(task->IsStatus(U));
    task->Cancel("done");
    task->SetStatus(R);
    DataRecordWatcher::GetInstance().CheckConditions(nullptr, record);
    EXPECT_TRUE(task->IsStatus(R));  // its watch left with the clean-up
}

TEST_F(TaskTable, AddTaskToBackChainsOnlyBehindAWaitingOrRunningTask) {
    auto alone = T_Probe::Make();
    manager_.AddTaskToBack(alone);
    EXPECT_EQ(alone->GetNextInQueueId(), 0u);
    EXPECT_TRUE(alone->IsReady());
    alone->Step();
    auto next = T_Probe::Make();
    manager_.AddTaskToBack(next);
    EXPECT_EQ(alone->GetNextInQueueId(), next->GetId());
    EXPECT_FALSE(next->IsReady());
    alone->Finish();
    EXPECT_TRUE(next->IsReady());
    next->Cancel("x");
    auto after_cancelled = T_Probe::Make();
    manager_.AddTaskToBack(after_cancelled);
    EXPECT_EQ(next->GetNextInQueueId(), 0u);
    EXPECT_TRUE(after_cancelled->IsReady());
    // A sub-task added on its own does not become the last task.
    auto sub = T_Probe::Make();
    sub->SetParentId(after_cancelled->GetId());
    Add(sub);
    EXPECT_EQ(manager_.GetLastTask(), after_cancelled);
}

TEST_F(TaskTable, AQueuedTaskWaitsForTheLastQueuedOneStillWaitingOrRunning) {
    auto print = T_Probe::Make(), cancelled = T_Probe::Make(), ui = T_Probe::Make(),
         error = T_Probe::Make(), next = T_Probe::Make();
    manager_.AddTaskToBack(print);
    print->Step();
    manager_.AddTaskToBack(cancelled);
    cancelled->Cancel("Cancelled by User Interface");
    Add(ui);
    error->SetStatus(C);  // a line that failed validation
    manager_.AddTaskToBack(error);
    manager_.AddTaskToBack(next);
    EXPECT_EQ(print->GetNextInQueueId(), next->GetId());
    EXPECT_EQ(error->GetNextInQueueId(), 0u);
    EXPECT_FALSE(next->IsReady());
    print->Finish();
    EXPECT_TRUE(next->IsReady());
    // With no queued task left waiting or running, the UI's task is waited for.
    next->Finish();
    auto typed = T_Probe::Make();
    manager_.AddTaskToBack(typed);
    EXPECT_EQ(ui->GetNextInQueueId(), typed->GetId());
}

TEST_F(TaskTable, ATaskParkedWhileItsPredecessorIsCancelledIsCancelledToo) {
    auto running = T_Probe::Make(), parked = T_Probe::Make(), behind = T_Probe::Make();
    manager_.AddTaskToBack(running);
    running->Step();
    TaskManagerProbe::Lock();  // a pass in progress
    manager_.AddTaskToBack(parked);
    manager_.AddTaskToBack(behind);
    EXPECT_EQ(running->GetNextInQueueId(), parked->GetId());
    running->Cancel("stop");  // the cascade cannot find the parked task yet
    EXPECT_TRUE(parked->IsStatus(I));
    TaskManagerProbe::Unlock();
    TaskManagerProbe::ApplyPending();
    EXPECT_EQ(Statuses({parked, behind}), StatusList({C, C}));
    EXPECT_EQ(Flush().back(), Cancelled(behind, Task::kPreviousInQueueCancelled));
    // Parked behind a task that goes on running, it simply waits.
    auto next = T_Probe::Make(), waiting = T_Probe::Make();
    manager_.AddTaskToBack(next);
    next->Step();
    TaskManagerProbe::Lock();
    manager_.AddTaskToBack(waiting);
    TaskManagerProbe::Unlock();
    TaskManagerProbe::ApplyPending();
    EXPECT_TRUE(waiting->IsStatus(I));
    EXPECT_FALSE(waiting->IsReady());
}

TEST_F(TaskTable, AProgramLineQueuedAfterTheLineBeforeItFailedIsCancelledAndTheUiHearsIt) {
    // Whether the worker is busy as the next line is queued (the line is
    // parked) or not, and whether the line before failed at its start or
    // failed validation (made CANCELLED: the program halts behind it).
    for (const bool parked : {false, true}) {
        for (const bool failed : {true, false}) {
            auto before = T_Probe::Make(), next = T_Probe::Make(), last = T_Probe::Make();
            for (const auto& [a, b] : {std::pair{before, next}, std::pair{next, last}}) {
                b->StartAfter(a);
                a->SetNextInQueueId(b->GetId());
            }
            manager_.AddTaskToBack(before);
            if (failed) {
                before->Cancel("fails at its start");  // its cascade finds no successor
            } else {
                before->SetStatus(C);
            }
            Flush();
            if (parked) {
                TaskManagerProbe::Lock();
            }
            manager_.AddTaskToBack(next);
            manager_.AddTaskToBack(last);
            if (parked) {
                TaskManagerProbe::Unlock();
            }
            TaskManagerProbe::ApplyPending();
            const uint32_t behind = failed ? C : I;
            EXPECT_EQ(Statuses({next, last}), StatusList({behind, behind})) << parked;
            if (failed) {
                EXPECT_EQ(Flush().back(), Cancelled(last, Task::kPreviousInQueueCancelled));
                EXPECT_FALSE(manager_.GetTask(last->GetId()));
            }
            manager_.Shutdown();
            TaskManagerProbe::ApplyPending();
        }
    }
}

TEST_F(TaskTable, ChildrenParkedByAStartLeaveTheTableWithTheirParentCancelledBeforeTheNextLoop) {
    for (const bool shutdown : {false, true}) {
        auto task = T_Probe::Feeding(3);
        // One child brings a sub-task of its own, registered with it.
        auto grandchild = T_Probe::Make();
        task->on_start_ = [feed = task->on_start_, self = task.get(), grandchild] {
            feed();
            self->GetSubTasks().back()->AddChild(grandchild);
        };
        Add(task);
        TaskManagerProbe::Pass();  // starts it; its children wait for the next loop
        auto children = task->GetSubTasks();
        ASSERT_EQ(children.size(), 3u);
        children.push_back(grandchild);
        if (shutdown) {
            manager_.Shutdown();
        } else {
            manager_.CancelTask(task->GetId());
        }
        for (const auto& child : children) {
            EXPECT_TRUE(child->IsStatus(C));
        }
        TaskManagerProbe::ApplyPending();
        EXPECT_EQ(TaskManagerProbe::TableSize(), 0u) << (shutdown ? "shutdown" : "cancel");
    }
}

TEST_F(TaskTable, ControlsFarDownALongQueueTakeEffectWhenTheQueueGetsThere) {
    manager_.SetSendCallback([](std::string) {});
    std::vector<boost::shared_ptr<T_Probe>> queue, children;
    for (int i = 0; i < 3000; ++i) {
        queue.push_back(T_Probe::Make());
        children.push_back(T_Probe::Make());
        queue.back()->done_ = true;
        children.back()->done_ = i != 1000;
        queue.back()->AddParallelTask(children.back());
        manager_.AddTaskToBack(queue.back());
    }
    // Each line of the queue takes a pass or two; a pass with nothing awake costs nothing.
    const auto settle = [] { Loops(10000); };
    const auto &stop = queue[1000], &paused = queue[2000];
    manager_.AddBreakpoint(stop->GetId());
    manager_.PauseTask(paused->GetId());
    settle();
    // A parent at BREAKPOINT has not started, so its children wait.
    EXPECT_EQ(Statuses({queue[999], stop, children[1000]}), StatusList({F, B, I}));
    manager_.StepOverTask(stop->GetId());
    settle();
    // The child has started with its parent and waits for its own end.
    EXPECT_TRUE(stop->IsStatus(R));
    children[1000]->done_ = true;
    manager_.OnConditionMet(children[1000]->GetId());
    settle();
    EXPECT_TRUE(queue[1001]->IsStatus(B));
    manager_.ResumeTask(queue[1001]->GetId());
    settle();
    EXPECT_EQ(Statuses({queue[1999], paused}), StatusList({F, P}));
    manager_.CancelTask(queue[2500]->GetId());
    manager_.ResumeTask(paused->GetId());
    settle();
    EXPECT_EQ(Statuses({queue[2499], queue.back()}), StatusList({F, C}));
}

TEST_F(TaskTable, AStartConditionThatNoTaskAnnouncesIsTriedInEveryPass) {
    std::atomic<bool> open{false};
    auto task = T_Probe::Make();
    task->AddStartCondition([&open] { return open.load(); });
    Add(task);
    Loops(1);
    EXPECT_TRUE(task->IsStatus(I));
    open = true;
    Loops(1);
    EXPECT_TRUE(task->IsStatus(R));
}

using ControlOperations = ManualTaskTest;

TEST_F(ControlOperations, UnknownIdsTouchNothingAndEndedTasksAreNeitherPausedNorResumed) {
    auto task = T_Probe::Make();
    int finishes = 0;
    task->AddOnFinish([&finishes] { ++finishes; });
    Add(task);
    task->Step();
    manager_.FinishWhere([&](Task::Pointer t) { return t == task; });
    Flush();
    const uint32_t unknown = 4000000000u;
    testing::internal::CaptureStderr();
    for (const uint32_t id : {unknown, task->GetId()}) {
        manager_.PauseTask(id);
        manager_.ResumeTask(id);
    }
    manager_.AddBreakpoint(unknown);
    manager_.RemoveBreakpoint(unknown);
    manager_.CancelTask(unknown);
    manager_.StepOverTask(unknown);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 8) << errors;
    EXPECT_NE(errors.find("cancelTask: no task with id 4000000000"), std::string::npos);
    EXPECT_TRUE(task->IsStatus(F));
    EXPECT_EQ(finishes, 1);
    EXPECT_EQ(TaskManagerProbe::TableSize(), 1u);
    EXPECT_TRUE(ui_.Texts().empty());
}

TEST_F(ControlOperations, DebugExecuteMakesOnlyStartedRunningTasksUpdatingSilently) {
    auto running = T_Probe::Make(), paused = T_Probe::Make(), held = T_Probe::Make(),
         waiting = T_Probe::Make(), cancelled = T_Probe::Make();
    for (const auto& task : {running, paused, held, waiting, cancelled}) {
        Add(task);
    }
    running->Step();
    paused->Step();
    paused->Pause();
    held->MarkBreakpoint();
    held->Step();
    cancelled->Cancel("x");
    Flush();
    manager_.DebugExecute();
    EXPECT_EQ(Statuses({running, paused, held, waiting, cancelled}), StatusList({U, P, B, I, C}));
    EXPECT_TRUE(Flush().empty());
}

TEST_F(ControlOperations, ShutdownAbortsSilently) {
    auto running = T_Probe::Make(), child = T_Probe::Make();
    running->AddParallelTask(child);
    Add(running);
    running->Step();
    child->Step();
    Flush();
    T_Probe::Log().Clear();
    int callbacks = 0;
    running->AddOnCancel([&callbacks] { ++callbacks; });
    manager_.Shutdown();
    EXPECT_TRUE(ui_.Texts().empty());
    EXPECT_EQ(callbacks, 0);
    EXPECT_EQ(Hooks().size(), 2u);  // OnCancel of both running tasks
    EXPECT_EQ(Statuses({running, child}), StatusList({C, C}));
    TaskManagerProbe::ApplyPending();
    EXPECT_EQ(TaskManagerProbe::TableSize(), 0u);
}

TEST_F(ControlOperations, FinishThenShutdownCallsAtOnceOnlyWithNothingPending) {
    std::thread::id caller;
    manager_.FinishThenShutdown([&caller] { caller = std::this_thread::get_id(); });
    EXPECT_EQ(caller, std::this_thread::get_id());
    EXPECT_TRUE(TaskManagerProbe::FinishRequested());
    TaskManagerProbe::Halt();
    TaskManagerProbe::Lock();  // the worker is busy: the task is parked
    manager_.AddTask(T_Probe::Make());
    TaskManagerProbe::Unlock();
    ASSERT_EQ(TaskManagerProbe::TableSize(), 0u);
    bool called = false;
    manager_.FinishThenShutdown([&called] { called = true; });
    EXPECT_FALSE(called);
    EXPECT_TRUE(TaskManagerProbe::FinishRequested());
}
