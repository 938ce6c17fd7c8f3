// The task table, the pending lists and the control operations, with the
// worker's loops run by hand.
#include "ManualTaskTest.h"

#include "DataRecordWatcher.h"
#include "T_GCode.h"

#include <thread>

using nlohmann::json;

using TaskTable = ManualTaskTest;

TEST_F(TaskTable, ALineWithThreeSubTasksIsFourEntriesAndOneUpdate) {
    auto line = TaskManager::CreateTask<T_GCode>({{"description", "d"}});
    line->AddSubTasks({T_Probe::Make(), T_Probe::Make(), T_Probe::Make()});
    Add(line);
    EXPECT_EQ(TaskManagerProbe::TableSize(), 4u);
    EXPECT_EQ(Flush().size(), 1u);
    Add(line);  // an id already present keeps its entry
    EXPECT_EQ(TaskManagerProbe::TableSize(), 4u);
}

TEST_F(TaskTable, ATaskAddedInsideAStepEntersAtTheNextLoop) {
    auto added = T_Probe::Make();
    auto task = T_Probe::Make();
    task->on_start_ = [this, added] { manager_.AddTask(added); };
    Add(task);
    Flush();
    TaskManagerProbe::Pass();
    EXPECT_FALSE(manager_.GetTask(added->GetId()));
    EXPECT_EQ(TaskManagerProbe::PendingAdditions(), 1u);
    EXPECT_EQ(ui_.Updates().size(), 1u);  // only the RUNNING of `task`
    TaskManagerProbe::ApplyPending();
    EXPECT_TRUE(manager_.GetTask(added->GetId()));
    EXPECT_EQ(manager_.GetLastTask(), added);
}

TEST_F(TaskTable, AConditionMetWhileTheLockIsBusyWaitsForTheNextLoop) {
    auto task = T_Probe::Make();
    Add(task);
    task->Step();
    TaskManagerProbe::Lock();
    manager_.OnConditionMet(task->GetId());
    TaskManagerProbe::Unlock();
    EXPECT_TRUE(task->IsStatus(Task::RUNNING));
    TaskManagerProbe::ApplyPending();
    EXPECT_TRUE(task->IsStatus(Task::UPDATING));
    // With the lock free it takes effect at once.
    task->Step();
    manager_.OnConditionMet(task->GetId());
    EXPECT_TRUE(task->IsStatus(Task::UPDATING));
}

TEST_F(TaskTable, ALateConditionUndoesNeitherAPauseNorACancel) {
    auto paused = T_Probe::Make();
    auto cancelled = T_Probe::Make();
    Add(paused);
    Add(cancelled);
    paused->Step();
    cancelled->Step();
    TaskManagerProbe::Lock();
    manager_.OnConditionMet(paused->GetId());
    manager_.OnConditionMet(cancelled->GetId());
    manager_.OnConditionMet(999999);
    TaskManagerProbe::Unlock();
    manager_.PauseTask(paused->GetId());
    manager_.CancelTask(cancelled->GetId());
    const size_t size = TaskManagerProbe::TableSize();
    TaskManagerProbe::Loop();
    EXPECT_TRUE(paused->IsStatus(Task::PAUSED));
    EXPECT_TRUE(cancelled->IsStatus(Task::CANCELLED));
    EXPECT_EQ(TaskManagerProbe::TableSize(), size - 1);  // only the cancelled one left
    EXPECT_FALSE(manager_.GetTask(999999));
}

TEST_F(TaskTable, TheRecordWatcherSeesStatusesAndReportsThroughTheManager) {
    auto task = T_Probe::Make();
    task->watch_ = true;
    Add(task);
    EXPECT_EQ(manager_.GetTaskStatus(task->GetId()), Task::INITIALIZING);
    EXPECT_EQ(manager_.GetTaskStatus(999999), std::nullopt);
    task->Step();
    ZDataRecord record{};
    DataRecordWatcher::GetInstance().CheckConditions(nullptr, record);
    EXPECT_TRUE(task->IsStatus(Task::UPDATING));
    task->Cancel("done");
    task->SetStatus(Task::RUNNING);
    DataRecordWatcher::GetInstance().CheckConditions(nullptr, record);
    EXPECT_TRUE(task->IsStatus(Task::RUNNING));  // its watch left with the clean-up
}

TEST_F(TaskTable, ARecordFieldWatchFiresOncePerChange) {
    std::atomic<uint16_t> cell{7};
    auto task = T_Probe::Make();
    task->on_start_ = [&] { task->AddDataRecordCondition<uint16_t>(62, &cell); };
    Add(task);
    task->Step();
    // No record has arrived: the cell keeps its value.
    EXPECT_EQ(cell.load(), 7);
    ZDataRecord record{};
    record.std.segment_count = 7;
    auto& watcher = DataRecordWatcher::GetInstance();
    watcher.CheckConditions(nullptr, record);
    EXPECT_TRUE(task->IsStatus(Task::RUNNING));
    record.std.segment_count = 8;
    watcher.CheckConditions(nullptr, record);
    EXPECT_TRUE(task->IsStatus(Task::UPDATING));
    EXPECT_EQ(cell.load(), 8);
    task->SetStatus(Task::RUNNING);
    watcher.CheckConditions(nullptr, record);
    EXPECT_TRUE(task->IsStatus(Task::RUNNING));
    record.std.segment_count = 7;
    watcher.CheckConditions(nullptr, record);
    EXPECT_TRUE(task->IsStatus(Task::UPDATING));
    task->Cancel("end");
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

TEST_F(TaskTable, ATaskParkedWhileItsPredecessorIsCancelledIsCancelledToo) {
    auto running = T_Probe::Make();
    manager_.AddTaskToBack(running);
    running->Step();
    auto parked = T_Probe::Make();
    auto behind = T_Probe::Make();
    TaskManagerProbe::Lock();  // a pass in progress
    manager_.AddTaskToBack(parked);
    manager_.AddTaskToBack(behind);
    EXPECT_EQ(running->GetNextInQueueId(), parked->GetId());
    running->Cancel("stop");  // the cascade cannot find the parked task yet
    EXPECT_TRUE(parked->IsStatus(Task::INITIALIZING));
    TaskManagerProbe::Unlock();
    TaskManagerProbe::ApplyPending();
    EXPECT_TRUE(parked->IsStatus(Task::CANCELLED));
    EXPECT_TRUE(behind->IsStatus(Task::CANCELLED));
    const auto updates = Flush();
    ASSERT_FALSE(updates.empty());
    EXPECT_EQ(updates.back().at("cancellation_reason"), "Previous Task in Queue Cancelled");
    // Parked behind a task that goes on running, it simply waits.
    auto next = T_Probe::Make();
    manager_.AddTaskToBack(next);
    next->Step();
    TaskManagerProbe::Lock();
    auto waiting = T_Probe::Make();
    manager_.AddTaskToBack(waiting);
    TaskManagerProbe::Unlock();
    TaskManagerProbe::ApplyPending();
    EXPECT_TRUE(waiting->IsStatus(Task::INITIALIZING));
    EXPECT_FALSE(waiting->IsReady());
}

TEST_F(TaskTable, ControlsFarDownALongQueueTakeEffectWhenTheQueueGetsThere) {
    manager_.SetSendCallback([](std::string) {});
    std::vector<boost::shared_ptr<T_Probe>> queue;
    std::vector<boost::shared_ptr<T_Probe>> children;
    for (int i = 0; i < 3000; ++i) {
        queue.push_back(T_Probe::Make());
        children.push_back(T_Probe::Make());
        queue.back()->done_ = true;
        children.back()->done_ = i != 1000;
        queue.back()->AddParallelTask(children.back());
        manager_.AddTaskToBack(queue.back());
    }
    // Each line of the queue takes a pass or two; a pass with nothing awake costs nothing.
    const auto settle = [] {
        for (int i = 0; i < 10000; ++i) {
            TaskManagerProbe::Loop();
        }
    };
    const auto& stop = queue[1000];
    const auto& paused = queue[2000];
    manager_.AddBreakpoint(stop->GetId());
    manager_.PauseTask(paused->GetId());
    settle();
    EXPECT_TRUE(queue[999]->IsStatus(Task::FINISHED));
    EXPECT_TRUE(stop->IsStatus(Task::BREAKPOINT));
    EXPECT_TRUE(children[1000]->IsStatus(Task::INITIALIZING));
    manager_.StepOverTask(stop->GetId());
    settle();
    // The child has started with its parent and waits for its own end.
    EXPECT_TRUE(stop->IsStatus(Task::RUNNING));
    children[1000]->done_ = true;
    manager_.OnConditionMet(children[1000]->GetId());
    settle();
    EXPECT_TRUE(queue[1001]->IsStatus(Task::BREAKPOINT));
    manager_.ResumeTask(queue[1001]->GetId());
    settle();
    EXPECT_TRUE(queue[1999]->IsStatus(Task::FINISHED));
    EXPECT_TRUE(paused->IsStatus(Task::PAUSED));
    manager_.CancelTask(queue[2500]->GetId());
    manager_.ResumeTask(paused->GetId());
    settle();
    EXPECT_TRUE(queue[2499]->IsStatus(Task::FINISHED));
    EXPECT_TRUE(queue.back()->IsStatus(Task::CANCELLED));
}

TEST_F(TaskTable, AStartConditionThatNoTaskAnnouncesIsTriedInEveryPass) {
    std::atomic<bool> open{false};
    auto task = T_Probe::Make();
    task->AddStartCondition([&open] { return open.load(); });
    Add(task);
    TaskManagerProbe::Loop();
    EXPECT_TRUE(task->IsStatus(Task::INITIALIZING));
    open = true;
    TaskManagerProbe::Loop();
    EXPECT_TRUE(task->IsStatus(Task::RUNNING));
}

using ControlOperations = ManualTaskTest;

TEST_F(ControlOperations, UnknownIdsTouchNothingAndSayOneLineEach) {
    const uint32_t unknown = 4000000000u;
    testing::internal::CaptureStderr();
    manager_.PauseTask(unknown);
    manager_.ResumeTask(unknown);
    manager_.AddBreakpoint(unknown);
    manager_.RemoveBreakpoint(unknown);
    manager_.CancelTask(unknown);
    manager_.StepOverTask(unknown);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 6) << errors;
    EXPECT_NE(errors.find("cancelTask: no task with id 4000000000"), std::string::npos);
    EXPECT_EQ(TaskManagerProbe::TableSize(), 0u);
    EXPECT_FALSE(manager_.GetTask(unknown));
    EXPECT_TRUE(ui_.Texts().empty());
}

TEST_F(ControlOperations, AnEndedTaskIsNeitherPausedNorResumed) {
    auto task = T_Probe::Make();
    int finishes = 0;
    task->AddOnFinish([&finishes] { ++finishes; });
    Add(task);
    task->Step();
    manager_.FinishWhere([&](Task::Pointer t) { return t == task; });
    testing::internal::CaptureStderr();
    manager_.PauseTask(task->GetId());
    manager_.ResumeTask(task->GetId());
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(task->IsStatus(Task::FINISHED));
    EXPECT_EQ(finishes, 1);
}

TEST_F(ControlOperations, CancelTaskSendsEveryUpdateOfTheCascadeInOneCall) {
    auto first = T_Probe::Make();
    first->AddParallelTask(T_Probe::Make());
    auto second = T_Probe::Make();
    manager_.AddTaskToBack(first);
    manager_.AddTaskToBack(second);
    manager_.CancelTask(first->GetId());
    const auto updates = ui_.Updates();
    ASSERT_EQ(updates.size(), 4u);  // two full forms, two cancellations
    EXPECT_EQ(updates[2].at("cancellation_reason"), "Cancelled by User Interface");
    EXPECT_EQ(updates[3].at("id"), second->GetId());
}

TEST_F(ControlOperations, DebugExecuteMakesEveryTaskUpdatingSilently) {
    auto paused = T_Probe::Make();
    auto held = T_Probe::Make();
    auto waiting = T_Probe::Make();
    auto cancelled = T_Probe::Make();
    for (const auto& task : {paused, held, waiting, cancelled}) {
        Add(task);
    }
    paused->Step();
    paused->Pause();
    held->MarkBreakpoint();
    held->Step();
    cancelled->Cancel("x");
    Flush();
    manager_.DebugExecute();
    for (const auto& task : {paused, held, waiting, cancelled}) {
        EXPECT_TRUE(task->IsStatus(Task::UPDATING)) << task->GetId();
    }
    EXPECT_TRUE(Flush().empty());
    // A cancelled task still in the table then finishes at its next step.
    cancelled->Step();
    EXPECT_TRUE(cancelled->IsStatus(Task::FINISHED));
}

TEST_F(ControlOperations, ShutdownAbortsSilently) {
    auto running = T_Probe::Make();
    auto child = T_Probe::Make();
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
    EXPECT_EQ(T_Probe::Log().Entries().size(), 2u);  // OnCancel of both running tasks
    manager_.PrintTasks();
    const auto listing = json::parse(ui_.Texts().at(0));
    EXPECT_EQ(listing.at(std::to_string(running->GetId())), "CANCELLED");
    EXPECT_EQ(listing.at(std::to_string(child->GetId())), "CANCELLED");
    TaskManagerProbe::ApplyPending();
    EXPECT_EQ(TaskManagerProbe::TableSize(), 0u);
}

TEST_F(ControlOperations, FindTaskReturnsTheFirstMatchInTableOrder) {
    std::vector<Task::Pointer> tasks;
    for (int i = 0; i < 5; ++i) {
        tasks.push_back(T_Probe::Make());
        Add(tasks.back());
    }
    EXPECT_FALSE(manager_.FindTask([](Task::Pointer) { return false; }));
    std::vector<uint32_t> visited;
    manager_.FindTask([&visited](Task::Pointer task) {
        visited.push_back(task->GetId());
        return false;
    });
    ASSERT_EQ(visited.size(), 5u);
    const uint32_t second_visited = visited[1];
    const auto found = manager_.FindTask([&](Task::Pointer task) {
        return task->GetId() == second_visited || task->GetId() == visited[3];
    });
    ASSERT_TRUE(found);
    EXPECT_EQ(found->GetId(), second_visited);
}

TEST_F(ControlOperations, CancelWhereAndFinishWhereActOnEveryMatch) {
    auto a = T_Probe::Make();
    auto b = T_Probe::Make();
    auto c = T_Probe::Make();
    for (const auto& task : {a, b, c}) {
        Add(task);
    }
    manager_.CancelWhere([&](Task::Pointer task) { return task != c; });
    EXPECT_TRUE(a->IsStatus(Task::CANCELLED));
    EXPECT_TRUE(b->IsStatus(Task::CANCELLED));
    EXPECT_TRUE(c->IsStatus(Task::INITIALIZING));
    manager_.FinishWhere([&](Task::Pointer task) { return task == c; });
    EXPECT_TRUE(c->IsStatus(Task::FINISHED));
}

TEST_F(ControlOperations, FinishThenShutdownWithAnEmptyTableCallsAtOnce) {
    std::thread::id caller;
    manager_.FinishThenShutdown([&caller] { caller = std::this_thread::get_id(); });
    EXPECT_EQ(caller, std::this_thread::get_id());
    EXPECT_TRUE(TaskManagerProbe::FinishRequested());
}

TEST_F(ControlOperations, FinishThenShutdownWaitsForATaskStillPending) {
    TaskManagerProbe::Lock();  // the worker is busy: the task is parked
    manager_.AddTask(T_Probe::Make());
    TaskManagerProbe::Unlock();
    ASSERT_EQ(TaskManagerProbe::TableSize(), 0u);
    bool called = false;
    manager_.FinishThenShutdown([&called] { called = true; });
    EXPECT_FALSE(called);
    EXPECT_TRUE(TaskManagerProbe::FinishRequested());
}
