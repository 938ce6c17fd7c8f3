// Task life cycles driven step by step: ids, readiness and step order,
// sequences and parallel children, cancellation, pause and resume,
// step-over, breakpoints and failing steps.
#include "ManualTaskTest.h"

#include "VrxException.h"

#include <stdexcept>

using nlohmann::json;
using Entries = std::vector<std::string>;

namespace {

std::vector<uint32_t> Statuses(const std::vector<boost::shared_ptr<T_Probe>>& tasks) {
    std::vector<uint32_t> statuses;
    for (const auto& task : tasks) {
        statuses.push_back(task->GetStatus());
    }
    return statuses;
}

}  // namespace

using TaskIds = ManualTaskTest;

TEST_F(TaskIds, ComeFromOneCounterInConstructionOrder) {
    auto first = T_Probe::Make();
    auto second = T_Probe::Make();
    auto child = T_Probe::Make();
    EXPECT_EQ(second->GetId(), first->GetId() + 1);
    EXPECT_EQ(child->GetId(), second->GetId() + 1);
    EXPECT_NE(first->GetId(), 0u);
}

TEST_F(TaskIds, StatusTextsAndAxisMapping) {
    const Entries texts = {"INITIALIZING", "RUNNING",   "UPDATING", "PAUSED",
                           "BREAKPOINT",   "CANCELLED", "FINISHED"};
    for (uint32_t status = 0; status < texts.size(); ++status) {
        EXPECT_EQ(Task::StatusToString(status), texts[status]);
    }
    EXPECT_EQ(Task::StatusToString(7), "");

    const std::vector<std::pair<std::string, std::string>> axes = {
        {"X", "A"}, {"Y", "B"}, {"Z", "C"}, {"E", "D"}, {"x", "x"}, {"B", "B"}};
    for (const auto& [axis, letter] : axes) {
        json parameters = {{"axis", axis}};
        auto probe = boost::make_shared<T_Probe>(boost::make_shared<json>(parameters));
        EXPECT_EQ(probe->GetControllerAxis(), letter) << axis;
    }
    auto y = boost::make_shared<T_Probe>(boost::make_shared<json>(json{{"axis", "Y"}}));
    EXPECT_EQ(y->GetAxisStatusOffset(), 118);
    EXPECT_EQ(y->GetAxisSwitchOffset(), 120);
    auto e = boost::make_shared<T_Probe>(boost::make_shared<json>(json{{"axis", "E"}}));
    EXPECT_THROW(
        {
            try {
                e->GetAxisStatusOffset();
            } catch (const std::exception& error) {
                EXPECT_STREQ(error.what(), "Invalid axis detected");
                throw;
            }
        },
        std::exception);
    EXPECT_THROW(e->GetAxisSwitchOffset(), std::exception);
}

using StepOrder = ManualTaskTest;

TEST_F(StepOrder, AChildlessTaskWhoseConditionsHoldFinishesWithoutStarting) {
    auto task = T_Probe::Make();
    task->done_ = true;
    Add(task);
    Flush();
    ASSERT_TRUE(task->IsReady());
    task->Step();
    EXPECT_TRUE(task->IsStatus(Task::FINISHED));
    EXPECT_FALSE(task->HasStarted());
    EXPECT_EQ(Hooks(), Entries({Hook(task, "OnFinish")}));
    EXPECT_EQ(Flush(), std::vector<json>({{{"id", task->GetId()}, {"status", "FINISHED"}}}));
}

TEST_F(StepOrder, AReadyTaskStartsThenUpdatesAndFinishes) {
    auto task = T_Probe::Make();
    Add(task);
    Flush();
    task->Step();
    EXPECT_TRUE(task->IsStatus(Task::RUNNING));
    EXPECT_TRUE(task->HasStarted());
    EXPECT_FALSE(task->IsReady());
    task->SetStatus(Task::UPDATING);
    ASSERT_TRUE(task->IsReady());
    task->Step();
    EXPECT_TRUE(task->IsStatus(Task::RUNNING));
    task->done_ = true;
    task->SetStatus(Task::UPDATING);
    task->Step();
    EXPECT_TRUE(task->IsStatus(Task::FINISHED));
    EXPECT_EQ(Hooks(),
              Entries({Hook(task, "OnStart"), Hook(task, "OnUpdate"), Hook(task, "OnFinish")}));
    // Only the status changes are reported; the RUNNING after an update is silent.
    EXPECT_EQ(Flush(), std::vector<json>({{{"id", task->GetId()}, {"status", "RUNNING"}},
                                          {{"id", task->GetId()}, {"status", "FINISHED"}}}));
}

TEST_F(StepOrder, ABreakpointHoldsTheTaskBeforeItsStartConditionsAreLookedAt) {
    auto task = T_Probe::Make();
    bool asked = false;
    task->AddStartCondition([&asked] {
        asked = true;
        return false;
    });
    task->MarkBreakpoint();
    Add(task);
    task->Step();
    EXPECT_TRUE(task->IsStatus(Task::BREAKPOINT));
    EXPECT_FALSE(asked);
    EXPECT_TRUE(Hooks().empty());
    const auto updates = Flush();
    ASSERT_EQ(updates.size(), 3u);  // breakpoint, full form, BREAKPOINT
    EXPECT_EQ(updates[0], json({{"breakpoint", true}, {"id", task->GetId()}}));
    EXPECT_EQ(updates[2], json({{"id", task->GetId()}, {"status", "BREAKPOINT"}}));
    // Held: further steps change nothing; Resume starts it.
    task->Step();
    EXPECT_TRUE(task->IsStatus(Task::BREAKPOINT));
    task->Resume();
    EXPECT_TRUE(task->IsStatus(Task::RUNNING));
    EXPECT_EQ(Hooks(), Entries({Hook(task, "OnStart")}));
}

TEST_F(StepOrder, ResumeOfATaskWhoseConditionsHoldFinishesIt) {
    auto task = T_Probe::Make();
    task->MarkBreakpoint();
    Add(task);
    task->Step();
    task->done_ = true;
    task->Resume();
    EXPECT_TRUE(task->IsStatus(Task::FINISHED));
    EXPECT_EQ(Hooks(), Entries({Hook(task, "OnFinish")}));
}

TEST_F(StepOrder, AQueuedTaskWithABreakpointStopsWhenItsPredecessorFinishes) {
    auto first = T_Probe::Make();
    auto held = T_Probe::Make();
    auto child = T_Probe::Make();
    held->AddParallelTask(child);
    held->MarkBreakpoint();
    manager_.AddTaskToBack(first);
    manager_.AddTaskToBack(held);
    for (int i = 0; i < 3; ++i) {
        TaskManagerProbe::Loop();
    }
    EXPECT_TRUE(first->IsStatus(Task::RUNNING));
    EXPECT_TRUE(held->IsStatus(Task::INITIALIZING));
    first->done_ = true;
    first->SetStatus(Task::UPDATING);
    for (int i = 0; i < 3; ++i) {
        TaskManagerProbe::Loop();
    }
    EXPECT_TRUE(first->IsStatus(Task::FINISHED));
    EXPECT_TRUE(held->IsStatus(Task::BREAKPOINT));
    EXPECT_FALSE(held->HasStarted());
    // A parent at BREAKPOINT has not started, so its children wait.
    EXPECT_TRUE(child->IsStatus(Task::INITIALIZING));
}

TEST_F(StepOrder, AllConditionsMetStopsAtTheFirstFalseCondition) {
    int later_calls = 0;
    EXPECT_TRUE(Task::AllConditionsMet({}));
    EXPECT_FALSE(Task::AllConditionsMet({[] { return true; }, [] { return false; },
                                         [&later_calls] {
                                             ++later_calls;
                                             return true;
                                         }}));
    EXPECT_EQ(later_calls, 0);
    auto task = T_Probe::Make();
    EXPECT_FALSE(task->AllChildrenCancelled());
    EXPECT_TRUE(task->AllChildrenDone());
}

using Children = ManualTaskTest;

TEST_F(Children, AllChildrenCancelledCancelsTheParentOneFinishedChildFinishesIt) {
    for (const bool one_finishes : {false, true}) {
        auto parent = T_Probe::Make();
        parent->done_ = true;
        auto a = T_Probe::Make();
        auto b = T_Probe::Make();
        parent->AddParallelTask(a);
        parent->AddParallelTask(b);
        Add(parent);
        TaskManagerProbe::Loop();
        TaskManagerProbe::Loop();
        ASSERT_TRUE(a->IsStatus(Task::RUNNING));
        ASSERT_TRUE(b->IsStatus(Task::RUNNING));
        a->Cancel("gone");
        if (one_finishes) {
            b->Finish();
        } else {
            b->Cancel("gone");
        }
        Flush();
        TaskManagerProbe::Loop();
        if (one_finishes) {
            EXPECT_TRUE(parent->IsStatus(Task::FINISHED));
        } else {
            EXPECT_TRUE(parent->IsStatus(Task::CANCELLED));
            EXPECT_EQ(Flush(),
                      std::vector<json>({{{"cancellation_reason", "All Sub-Tasks were Cancelled"},
                                          {"id", parent->GetId()},
                                          {"status", "CANCELLED"}}}));
        }
    }
}

TEST_F(Children, SubTasksRunInSequenceAndACancelledOneStopsTheRest) {
    auto parent = T_Probe::Make();
    std::vector<boost::shared_ptr<T_Probe>> steps = {T_Probe::Make(), T_Probe::Make(),
                                                     T_Probe::Make()};
    parent->AddSubTasks({steps[0], steps[1], steps[2]});
    ASSERT_EQ(parent->GetSubTasks().size(), 3u);
    Add(parent);
    EXPECT_FALSE(steps[0]->IsReady());  // the parent has not started
    TaskManagerProbe::Loop();
    TaskManagerProbe::Loop();
    const auto I = Task::INITIALIZING, R = Task::RUNNING, F = Task::FINISHED, C = Task::CANCELLED;
    EXPECT_EQ(Statuses(steps), std::vector<uint32_t>({R, I, I}));
    steps[0]->Finish();
    TaskManagerProbe::Loop();
    TaskManagerProbe::Loop();
    EXPECT_EQ(Statuses(steps), std::vector<uint32_t>({F, R, I}));
    steps[1]->Cancel("gone");
    for (int i = 0; i < 3; ++i) {
        TaskManagerProbe::Loop();
    }
    EXPECT_EQ(Statuses(steps), std::vector<uint32_t>({F, C, I}));
    EXPECT_TRUE(parent->IsStatus(Task::RUNNING));  // not every child is done
}

TEST_F(Children, AnEmptySequenceAttachesNothingAndParallelChildrenStartTogether) {
    auto parent = T_Probe::Make();
    parent->AddSubTasks({});
    EXPECT_TRUE(parent->GetSubTasks().empty());
    auto a = T_Probe::Make();
    auto b = T_Probe::Make();
    parent->AddParallelTask(a);
    parent->AddParallelTask(b);
    EXPECT_EQ(a->GetParentId(), parent->GetId());
    Add(parent);
    TaskManagerProbe::Loop();
    TaskManagerProbe::Loop();
    EXPECT_TRUE(a->IsStatus(Task::RUNNING));
    EXPECT_TRUE(b->IsStatus(Task::RUNNING));
}

using Cancellation = ManualTaskTest;

TEST_F(Cancellation, APausedTaskGetsNoOnCancelButCallbacksChildrenAndSuccessor) {
    auto task = T_Probe::Make();
    auto child = T_Probe::Make();
    task->AddParallelTask(child);
    auto next = T_Probe::Make();
    manager_.AddTaskToBack(task);
    manager_.AddTaskToBack(next);
    TaskManagerProbe::Loop();
    TaskManagerProbe::Loop();
    ASSERT_TRUE(child->IsStatus(Task::RUNNING));
    task->Pause();
    Flush();
    T_Probe::Log().Clear();
    int callbacks = 0;
    task->AddOnCancel([&callbacks] { ++callbacks; });
    task->Cancel("why");
    task->Cancel("again");
    EXPECT_EQ(callbacks, 1);
    EXPECT_TRUE(task->IsStatus(Task::CANCELLED));
    EXPECT_TRUE(child->IsStatus(Task::CANCELLED));
    EXPECT_TRUE(next->IsStatus(Task::CANCELLED));
    EXPECT_TRUE(task->GetSubTasks().empty());
    // Only a RUNNING task gets OnCancel: the pause reached the child too.
    EXPECT_TRUE(Hooks().empty());
    EXPECT_EQ(Flush(),
              std::vector<json>(
                  {{{"cancellation_reason", "why"}, {"id", task->GetId()}, {"status", "CANCELLED"}},
                   {{"cancellation_reason", "Previous Task in Queue Cancelled"},
                    {"id", next->GetId()},
                    {"status", "CANCELLED"}}}));
    // The ended tasks leave the table at the next loop.
    TaskManagerProbe::ApplyPending();
    EXPECT_FALSE(manager_.GetTask(task->GetId()));
    EXPECT_FALSE(manager_.GetTask(next->GetId()));
    EXPECT_EQ(TaskManagerProbe::TableSize(), 0u);
}

TEST_F(Cancellation, TheCascadeCancelsEachQueuedTaskAfterItsOwnChildren) {
    std::vector<uint32_t> order;
    std::vector<boost::shared_ptr<T_Probe>> tasks;
    for (int i = 0; i < 3; ++i) {
        auto task = T_Probe::Make();
        auto child = T_Probe::Make();
        task->AddParallelTask(child);
        for (const auto& t : {task, child}) {
            const uint32_t id = t->GetId();
            t->AddOnCancel([&order, id] { order.push_back(id); });
        }
        manager_.AddTaskToBack(task);
        tasks.push_back(task);
        tasks.push_back(child);
    }
    tasks[0]->Cancel("stop");
    std::vector<uint32_t> expected;
    for (const auto& task : tasks) {
        expected.push_back(task->GetId());
        EXPECT_TRUE(task->IsStatus(Task::CANCELLED));
    }
    EXPECT_EQ(order, expected);
}

TEST_F(Cancellation, AChainOf200000QueuedTasksIsCancelledWithoutRecursion) {
    manager_.SetSendCallback([](std::string) {});
    constexpr uint32_t kCount = 200000;
    std::vector<uint32_t> order;
    order.reserve(kCount);
    auto first = T_Probe::Make();
    auto last = first;
    manager_.AddTaskToBack(first);
    for (uint32_t i = 1; i < kCount; ++i) {
        last = T_Probe::Make();
        const uint32_t id = last->GetId();
        last->AddOnCancel([&order, id] { order.push_back(id); });
        manager_.AddTaskToBack(last);
    }
    manager_.UpdateTasks();
    first->Cancel("stop");
    ASSERT_EQ(order.size(), kCount - 1);
    for (uint32_t i = 0; i + 1 < order.size(); ++i) {
        ASSERT_EQ(order[i] + 1, order[i + 1]);
    }
    EXPECT_TRUE(last->IsStatus(Task::CANCELLED));
}

TEST_F(Cancellation, DroppingALongWaitingChainDoesNotRecurse) {
    manager_.SetSendCallback([](std::string) {});
    for (int i = 0; i < 200000; ++i) {
        manager_.AddTaskToBack(T_Probe::Make());
    }
    EXPECT_EQ(TaskManagerProbe::TableSize(), 200000u);
    TaskManagerProbe::Halt();  // drops the table, and with it the whole chain
    EXPECT_EQ(TaskManagerProbe::TableSize(), 0u);
}

TEST_F(Cancellation, ASuccessorThatLeftTheTableEndsTheCascade) {
    auto first = T_Probe::Make();
    auto second = T_Probe::Make();
    auto third = T_Probe::Make();
    for (const auto& task : {first, second, third}) {
        manager_.AddTaskToBack(task);
    }
    second->Cancel("by the user");
    TaskManagerProbe::ApplyPending();
    ASSERT_FALSE(manager_.GetTask(second->GetId()));
    const size_t size = TaskManagerProbe::TableSize();
    first->Cancel("now");
    EXPECT_TRUE(first->IsStatus(Task::CANCELLED));
    EXPECT_EQ(TaskManagerProbe::TableSize(), size);  // no entry was made
    EXPECT_FALSE(manager_.GetTask(second->GetId()));
    EXPECT_THROW(third->NextTaskInQueue(), std::exception);
}

TEST_F(Cancellation, ParentAndSuccessorLookupsNeedALink) {
    auto task = T_Probe::Make();
    try {
        task->Parent();
        FAIL();
    } catch (const std::exception& error) {
        EXPECT_STREQ(error.what(), "Should not be in parent if no parent_id_");
    }
    try {
        task->NextTaskInQueue();
        FAIL();
    } catch (const std::exception& error) {
        EXPECT_STREQ(error.what(), "Should not be in NextTaskInQueue if no next_in_queue_id_");
    }
    task->SetParentId(999999);  // a parent that is not in the table
    EXPECT_FALSE(task->Parent());
    EXPECT_FALSE(task->IsReady());
}

using FailingSteps = ManualTaskTest;

TEST_F(FailingSteps, AControllerErrorInAChildCancelsItsParent) {
    const VrxException sample("BGA", -10000, nullptr);
    auto parent = T_Probe::Make();
    auto child = T_Probe::Make();
    child->throw_on_start_ = T_Probe::Throw::kVrx;
    parent->AddParallelTask(child);
    Add(parent);
    Flush();
    TaskManagerProbe::Loop();
    TaskManagerProbe::Loop();
    EXPECT_TRUE(parent->IsStatus(Task::CANCELLED));
    EXPECT_TRUE(child->IsStatus(Task::CANCELLED));
    const auto updates = Flush();
    ASSERT_FALSE(updates.empty());
    EXPECT_EQ(updates.back(),
              json({{"cancellation_reason",
                     "<vrx_error><cmd>BGA</cmd>" + sample.GetErrorString() + "</vrx_error>"},
                    {"id", parent->GetId()},
                    {"status", "CANCELLED"}}));
}

TEST_F(FailingSteps, AnyOtherErrorOfATopLevelTaskCancelsItself) {
    auto task = T_Probe::Make();
    task->throw_on_start_ = T_Probe::Throw::kStd;
    Add(task);
    Flush();
    task->Step();
    EXPECT_TRUE(task->IsStatus(Task::CANCELLED));
    const auto updates = Flush();
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[1], json({{"cancellation_reason", "Task Execution Error : boom"},
                                {"id", task->GetId()},
                                {"status", "CANCELLED"}}));
}

TEST_F(FailingSteps, AHookThatThrowsDuringACancelLeavesItCompleteAndReachesTheCaller) {
    auto task = T_Probe::Make();
    auto child = T_Probe::Make();
    task->AddParallelTask(child);
    auto next = T_Probe::Make();
    manager_.AddTaskToBack(task);
    manager_.AddTaskToBack(next);
    TaskManagerProbe::Loop();
    ASSERT_TRUE(child->IsStatus(Task::RUNNING));
    task->throw_on_cancel_ = T_Probe::Throw::kStd;
    child->throw_on_cancel_ = T_Probe::Throw::kVrx;
    Flush();
    EXPECT_THROW(manager_.CancelTask(task->GetId()), std::runtime_error);
    for (const auto& ended : {task, child, next}) {
        EXPECT_TRUE(ended->IsStatus(Task::CANCELLED));
    }
    // The updates of the cascade left with the failing command all the same.
    EXPECT_EQ(ui_.Updates().size(), 2u);
}

using PauseResume = ManualTaskTest;

TEST_F(PauseResume, PausingATreePausesOnlyRunningChildren) {
    auto parent = T_Probe::Make();
    auto first = T_Probe::Make();
    auto second = T_Probe::Make();
    parent->AddSubTasks({first, second});
    Add(parent);
    TaskManagerProbe::Loop();
    TaskManagerProbe::Loop();
    ASSERT_TRUE(first->IsStatus(Task::RUNNING));
    Flush();
    T_Probe::Log().Clear();
    manager_.PauseTask(parent->GetId());
    EXPECT_TRUE(parent->IsStatus(Task::PAUSED));
    EXPECT_TRUE(first->IsStatus(Task::PAUSED));
    EXPECT_TRUE(second->IsStatus(Task::INITIALIZING));
    EXPECT_EQ(Hooks(), Entries({Hook(parent, "OnPause"), Hook(first, "OnPause")}));
    EXPECT_EQ(ui_.Updates(), std::vector<json>({{{"id", parent->GetId()}, {"status", "PAUSED"}}}));
    // A paused task is never stepped.
    parent->SetStatus(Task::PAUSED);
    parent->Step();
    EXPECT_TRUE(parent->IsStatus(Task::PAUSED));
    Flush();
    T_Probe::Log().Clear();
    manager_.ResumeTask(parent->GetId());
    EXPECT_TRUE(parent->IsStatus(Task::RUNNING));
    EXPECT_TRUE(first->IsStatus(Task::RUNNING));
    EXPECT_EQ(Hooks(), Entries({Hook(parent, "OnResume"), Hook(first, "OnResume")}));
    EXPECT_EQ(ui_.Updates(), std::vector<json>({{{"id", parent->GetId()}, {"status", "RUNNING"}}}));
}

TEST_F(PauseResume, StepOverHoldsTheSuccessorAndResumesTheTask) {
    auto task = T_Probe::Make();
    auto next = T_Probe::Make();
    manager_.AddTaskToBack(task);
    manager_.AddTaskToBack(next);
    TaskManagerProbe::Loop();
    manager_.PauseTask(task->GetId());
    Flush();
    manager_.StepOverTask(task->GetId());
    EXPECT_TRUE(next->HasBreakpoint());
    EXPECT_TRUE(task->IsStatus(Task::RUNNING));
    EXPECT_EQ(ui_.Updates(), std::vector<json>({{{"breakpoint", true}, {"id", next->GetId()}},
                                                {{"id", task->GetId()}, {"status", "RUNNING"}}}));
    task->done_ = true;
    task->SetStatus(Task::UPDATING);
    for (int i = 0; i < 3; ++i) {
        TaskManagerProbe::Loop();
    }
    EXPECT_TRUE(next->IsStatus(Task::BREAKPOINT));
}

TEST_F(PauseResume, BreakpointsChangeNoStatus) {
    auto task = T_Probe::Make();
    Add(task);
    task->Step();
    Flush();
    manager_.AddBreakpoint(task->GetId());
    EXPECT_TRUE(task->IsStatus(Task::RUNNING));
    manager_.RemoveBreakpoint(task->GetId());
    EXPECT_FALSE(task->HasBreakpoint());
    EXPECT_EQ(ui_.Updates(), std::vector<json>({{{"breakpoint", true}, {"id", task->GetId()}},
                                                {{"breakpoint", false}, {"id", task->GetId()}}}));
}
