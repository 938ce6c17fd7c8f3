// Task life cycles driven step by step: readiness and step order, children,
// cancellation (also of long queues), pause and resume, step-over,
// breakpoints and failing steps.
#include "ManualTaskTest.h"

#include "VrxException.h"

#include <algorithm>

using nlohmann::json;

using StepOrder = ManualTaskTest;

// A childless task whose conditions hold at its first step finishes without starting.
TEST_F(StepOrder, AReadyTaskStartsThenUpdatesAndFinishesOrFinishesAtOnce) {
    auto at_once = T_Probe::Make(), task = T_Probe::Make();
    at_once->done_ = true;
    Add(at_once);
    Add(task);
    Flush();
    at_once->Step();
    EXPECT_TRUE(at_once->IsStatus(F) && !at_once->HasStarted());
    EXPECT_EQ(Flush(), Updates({Status(at_once, "FINISHED")}));
    task->Step();
    EXPECT_TRUE(task->IsStatus(R) && task->HasStarted());
    EXPECT_FALSE(task->IsReady());
    for (const bool done : {false, true}) {
        task->done_ = done;
        task->SetStatus(U);
        ASSERT_TRUE(task->IsReady());
        task->Step();
        EXPECT_EQ(task->GetStatus(), done ? F : R);
    }
    EXPECT_EQ(Hooks(), Entries({Hook(at_once, "OnFinish"), Hook(task, "OnStart"),
                                Hook(task, "OnUpdate"), Hook(task, "OnFinish")}));
    // Only the status changes are reported; the RUNNING after an update is silent.
    EXPECT_EQ(Flush(), Updates({Status(task, "RUNNING"), Status(task, "FINISHED")}));
}

TEST_F(StepOrder, ABreakpointHoldsTheTaskBeforeItsStartConditionsUntilResumedInItsTurn) {
    for (const bool done : {false, true}) {
        SCOPED_TRACE(done);
        T_Probe::Log().Clear();
        Flush();
        auto task = T_Probe::Make();
        bool asked = false, open = false;
        task->AddStartCondition([&] { return asked = true, open; });
        task->MarkBreakpoint();
        Add(task);
        task->Step();
        EXPECT_TRUE(task->IsStatus(B));
        EXPECT_FALSE(asked);
        EXPECT_TRUE(Hooks().empty());
        const auto updates = Flush();
        ASSERT_EQ(updates.size(), 3u);  // breakpoint, full form, BREAKPOINT
        EXPECT_EQ(updates[0], json({{"breakpoint", true}, {"id", task->GetId()}}));
        EXPECT_EQ(updates[2], Status(task, "BREAKPOINT"));
        task->Step();  // held: further steps change nothing
        EXPECT_TRUE(task->IsStatus(B));
        // Resumed before its turn, it waits again, and its breakpoint holds it again.
        task->Resume();
        EXPECT_EQ(Flush(), Updates({Status(task, "INITIALIZING")}));
        open = true;
        task->Step();
        EXPECT_TRUE(task->IsStatus(B));
        // In its turn, resume starts it, or finishes it when its conditions hold already.
        task->done_ = done;
        task->Resume();
        EXPECT_EQ(task->GetStatus(), done ? F : R);
        EXPECT_EQ(Hooks(), Entries({Hook(task, done ? "OnFinish" : "OnStart")}));
    }
}

using Children = ManualTaskTest;

TEST_F(Children, AllCancelledCancelTheParentOneFinishedFinishesIt) {
    for (const bool one_finishes : {false, true}) {
        SCOPED_TRACE(one_finishes);
        auto parent = T_Probe::Make();
        parent->done_ = true;
        parent->AddSubTasks({});  // attaches nothing
        auto a = T_Probe::Make(), b = T_Probe::Make();
        parent->AddParallelTask(a);
        parent->AddParallelTask(b);
        Add(parent);
        Loops(2);
        ASSERT_EQ(Statuses({a, b}), StatusList({R, R}));
        a->Cancel("gone");
        one_finishes ? b->Finish() : b->Cancel("gone");
        Flush();
        Loops(1);
        EXPECT_EQ(parent->GetStatus(), one_finishes ? F : C);
        if (!one_finishes) {
            EXPECT_EQ(Flush(), Updates({Cancelled(parent, "All Sub-Tasks were Cancelled")}));
        }
    }
}

TEST_F(Children, SubTasksRunInSequenceAndACancelledOneStopsTheRest) {
    auto parent = T_Probe::Make();
    auto s0 = T_Probe::Make(), s1 = T_Probe::Make(), s2 = T_Probe::Make();
    parent->AddSubTasks({s0, s1, s2});
    Add(parent);
    EXPECT_FALSE(s0->IsReady());  // the parent has not started
    // A pass walks up the ids: the parent's start readies its first child in the same pass.
    Loops(1);
    EXPECT_EQ(Statuses({parent, s0, s1, s2}), StatusList({R, R, I, I}));
    s0->Finish();
    Loops(1);
    EXPECT_EQ(Statuses({s0, s1, s2}), StatusList({F, R, I}));
    s1->Cancel("gone");
    Loops(3);
    // Not every child is done, so the parent goes on.
    EXPECT_EQ(Statuses({parent, s0, s1, s2}), StatusList({R, F, C, I}));
}

using Cancellation = ManualTaskTest;

TEST_F(Cancellation, ReachesChildAndSuccessorOnceAndCompletesWhenHooksThrow) {
    for (const bool hooks_throw : {false, true}) {
        SCOPED_TRACE(hooks_throw);
        auto task = T_Probe::Make(), child = T_Probe::Make(), next = T_Probe::Make();
        task->AddParallelTask(child);
        manager_.AddTaskToBack(task);
        manager_.AddTaskToBack(next);
        Loops(1);
        ASSERT_TRUE(child->IsStatus(R));
        int callbacks = 0;
        task->AddOnCancel([&callbacks] { ++callbacks; });
        std::vector<std::string> reasons;
        next->AddOnCancelWithReason([&reasons](const std::string& why) { reasons.push_back(why); });
        if (hooks_throw) {
            task->throw_on_cancel_ = T_Probe::Throw::kStd;
            child->throw_on_cancel_ = T_Probe::Throw::kVrx;
            Flush();
            EXPECT_THROW(manager_.CancelTask(task->GetId()), std::runtime_error);
        } else {
            manager_.PauseTask(task->GetId());
            Flush();
            T_Probe::Log().Clear();
            manager_.CancelTask(task->GetId());
            manager_.CancelTask(task->GetId());
            // A paused task that has started stops what it set going: OnCancel
            // once each, the child's through the cascade; a second cancel does nothing.
            EXPECT_EQ(Hooks(), (Entries{Hook(task, "OnCancel"), Hook(child, "OnCancel")}));
        }
        EXPECT_EQ(callbacks, 1);
        EXPECT_EQ(reasons, std::vector<std::string>{Task::kPreviousInQueueCancelled});
        EXPECT_EQ(Statuses({task, child, next}), StatusList({C, C, C}));
        EXPECT_TRUE(task->GetSubTasks().empty());
        // Every update of the cascade leaves with the command, even a failing one.
        EXPECT_EQ(ui_.Updates(), Updates({Cancelled(task, "Cancelled by User Interface"),
                                          Cancelled(next, Task::kPreviousInQueueCancelled)}));
        ui_.Clear();
        // The ended tasks leave the table at the next loop.
        TaskManagerProbe::ApplyPending();
        EXPECT_EQ(TaskManagerProbe::TableSize(), 0u);
    }
}

TEST_F(Cancellation, ALongQueueIsCancelledEachTaskAfterItsChildrenWithoutRecursion) {
    manager_.SetSendCallback([](std::string) {});
    std::vector<uint32_t> order, expected;
    boost::shared_ptr<T_Probe> first, last;
    for (int i = 0; i < 200000; ++i) {
        last = T_Probe::Make();
        first = first ? first : last;
        std::vector<boost::shared_ptr<T_Probe>> family = {last};
        if (i < 3) {
            family.push_back(T_Probe::Make());
            last->AddParallelTask(family.back());
        }
        for (const auto& task : family) {
            expected.push_back(task->GetId());
            task->AddOnCancel([&order, id = task->GetId()] { order.push_back(id); });
        }
        manager_.AddTaskToBack(last);
    }
    first->Cancel("stop");
    EXPECT_TRUE(order == expected);
    EXPECT_TRUE(last->IsStatus(C));
    // Nor does dropping a long waiting queue.
    for (int i = 0; i < 200000; ++i) {
        manager_.AddTaskToBack(T_Probe::Make());
    }
    TaskManagerProbe::Halt();  // drops the table, and with it the whole chain
    EXPECT_EQ(TaskManagerProbe::TableSize(), 0u);
}

TEST_F(Cancellation, ALinkToATaskNotInTheTableEndsTheCascadeAndHoldsTheTask) {
    auto first = T_Probe::Make(), second = T_Probe::Make(), third = T_Probe::Make();
    for (const auto& task : {first, second, third}) {
        manager_.AddTaskToBack(task);
    }
    second->Cancel("by the user");
    TaskManagerProbe::ApplyPending();
    ASSERT_FALSE(manager_.GetTask(second->GetId()));
    const size_t size = TaskManagerProbe::TableSize();
    first->Cancel("now");
    EXPECT_TRUE(first->IsStatus(C));
    EXPECT_EQ(TaskManagerProbe::TableSize(), size);  // no entry was made
    auto orphan = T_Probe::Make();
    EXPECT_THROW(orphan->Parent(), std::exception);
    EXPECT_THROW(orphan->NextTaskInQueue(), std::exception);
    orphan->SetParentId(999999);
    EXPECT_FALSE(orphan->Parent());
    EXPECT_FALSE(orphan->IsReady());
}

using FailingSteps = ManualTaskTest;

TEST_F(FailingSteps, AControllerErrorInAChildCancelsItsParentWithTheErrorAsReason) {
    const VrxException sample("BGA", -10000, nullptr);
    auto parent = T_Probe::Make(), child = T_Probe::Make();
    parent->AddParallelTask(child);
    child->throw_on_start_ = T_Probe::Throw::kVrx;
    Add(parent);
    Flush();
    Loops(2);
    EXPECT_EQ(Statuses({parent, child}), StatusList({C, C}));
    EXPECT_EQ(Flush().back(), Cancelled(parent, "<vrx_error><cmd>BGA</cmd>" +
                                                    sample.GetErrorString() + "</vrx_error>"));
}

using PauseResume = ManualTaskTest;

TEST_F(PauseResume, PausingATreePausesOnlyRunningChildren) {
    auto parent = T_Probe::Make(), first = T_Probe::Make(), second = T_Probe::Make();
    parent->AddSubTasks({first, second});
    Add(parent);
    Loops(2);
    ASSERT_TRUE(first->IsStatus(R));
    Flush();
    T_Probe::Log().Clear();
    manager_.PauseTask(parent->GetId());
    EXPECT_EQ(Statuses({parent, first, second}), StatusList({P, P, I}));
    EXPECT_EQ(Hooks(), Entries({Hook(parent, "OnPause"), Hook(first, "OnPause")}));
    EXPECT_EQ(Flush(), Updates({Status(parent, "PAUSED")}));
    // A paused task is never stepped, nor taken for ready: the worker would spin on it.
    EXPECT_FALSE(parent->IsReady());
    parent->Step();
    EXPECT_TRUE(parent->IsStatus(P));
    T_Probe::Log().Clear();
    manager_.ResumeTask(parent->GetId());
    EXPECT_EQ(Statuses({parent, first, second}), StatusList({R, R, I}));
    EXPECT_EQ(Hooks(), Entries({Hook(parent, "OnResume"), Hook(first, "OnResume")}));
    EXPECT_EQ(Flush(), Updates({Status(parent, "RUNNING")}));
}

TEST_F(PauseResume, ATaskThatHasNotStartedIsOnlyHeldAndARunningOneIsNotResumed) {
    auto first = T_Probe::Make(), queued = T_Probe::Make(), child = T_Probe::Make(),
         last = T_Probe::Make();
    queued->AddParallelTask(child);
    for (const auto& task : {first, queued, last}) {
        manager_.AddTaskToBack(task);
    }
    Loops(2);
    Flush();
    T_Probe::Log().Clear();
    testing::internal::CaptureStderr();
    // Before its turn: held or sent back to waiting, never started; a step-over
    // only holds the task after it.
    manager_.PauseTask(queued->GetId());
    manager_.ResumeTask(queued->GetId());
    manager_.StepOverTask(queued->GetId());
    manager_.ResumeTask(queued->GetId());  // waiting, not paused: refused
    manager_.PauseTask(queued->GetId());
    first->Finish();
    Loops(3);
    EXPECT_EQ(Statuses({first, queued, child, last}), StatusList({F, P, I, I}));
    manager_.ResumeTask(queued->GetId());
    Loops(2);
    EXPECT_EQ(Statuses({queued, child}), StatusList({R, R}));
    // Running: a resume changes nothing, a step-over only holds the next task.
    manager_.ResumeTask(queued->GetId());
    manager_.StepOverTask(queued->GetId());
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2) << errors;
    EXPECT_EQ(Hooks(),
              Entries({Hook(first, "OnFinish"), Hook(queued, "OnStart"), Hook(child, "OnStart")}));
    const json marked = {{"breakpoint", true}, {"id", last->GetId()}};
    EXPECT_EQ(Flush(),
              Updates({Status(queued, "PAUSED"), Status(queued, "INITIALIZING"), marked,
                       Status(queued, "PAUSED"), Status(first, "FINISHED"),
                       Status(queued, "INITIALIZING"), Status(queued, "RUNNING"), marked}));
}

TEST_F(PauseResume, BreakpointsChangeNoStatusAndStepOverHoldsTheSuccessor) {
    auto task = T_Probe::Make(), next = T_Probe::Make();
    manager_.AddTaskToBack(task);
    manager_.AddTaskToBack(next);
    Loops(1);
    Flush();
    manager_.AddBreakpoint(task->GetId());
    EXPECT_TRUE(task->IsStatus(R));
    manager_.RemoveBreakpoint(task->GetId());
    EXPECT_FALSE(task->HasBreakpoint());
    manager_.PauseTask(task->GetId());
    manager_.StepOverTask(task->GetId());
    EXPECT_TRUE(task->IsStatus(R));
    const json id = task->GetId();
    EXPECT_EQ(Flush(), Updates({{{"breakpoint", true}, {"id", id}},
                                {{"breakpoint", false}, {"id", id}},
                                Status(task, "PAUSED"),
                                {{"breakpoint", true}, {"id", next->GetId()}},
                                Status(task, "RUNNING")}));
    task->done_ = true;
    task->SetStatus(U);
    Loops(3);
    EXPECT_TRUE(next->IsStatus(B));
}
