// Tasks against the virtual printer: axis commands, a rejected command inside
// a step, and a record-field watch fed by the real record thread.
#include "DataRecordWatcher.h"
#include "MainConnection.h"
#include "TaskTestSupport.h"
#include "VirtualPrinter.h"

#include <gtest/gtest.h>

// One test, in order: the main connection is process-wide and stays open.
TEST(TasksWithPrinter, CommandsWatchesAndControllerErrors) {
    sim::VirtualPrinter printer;
    const auto kMain = sim::Controller::kMain;
    const auto axis = [](const char* name) { return T_Probe::With({{"axis", name}}); };
    TaskManagerProbe::Halt();
    TaskManager& manager = TaskManager::GetInstance();
    UiCollector ui;
    ui.Install();

    // Until the main controller is open nothing is sent.
    if (!MainConnection::GetInstance().IsEnabled()) {
        EXPECT_EQ(axis("X")->SendCommand("MG 1"), "");
        EXPECT_TRUE(printer.CommandLog(kMain).empty());
    }
    MainConnection::GetInstance().Connect(printer.Address(kMain));
    printer.ClearCommandLog(kMain);
    axis("Y")->DefinePosition(-5);
    auto x = axis("X");
    x->BeginMotion();
    x->SetJogSpeed("1200");
    x->SetLimitDisable("3");
    x->MotorOff();
    x->ServoHere();
    axis("E")->StopAxis();
    EXPECT_EQ(printer.CommandLog(kMain), (std::vector<std::string>{"DPB=-5", "BGA", "JGA=1200",
                                                                   "LDA=3", "MOA", "SHA", "STD"}));

    // A rejected command inside a step cancels the task with the controller's text.
    printer.RejectCommand(kMain, "BGC", "axis refused");
    auto z = axis("Z");
    z->on_start_ = [task = z.get()] { task->BeginMotion(); };
    manager.AddTask(z);
    z->Step();
    EXPECT_TRUE(z->IsStatus(Task::CANCELLED));
    manager.UpdateTasks();
    ASSERT_FALSE(ui.Updates().empty());
    EXPECT_EQ(ui.Updates().back().at("cancellation_reason"),
              "<vrx_error><cmd>BGC</cmd>axis refused</vrx_error>");
    printer.ClearRejections(kMain);

    // A watch on segment_count, fed by the record thread, wakes the worker.
    DataRecordWatcher& watcher = DataRecordWatcher::GetInstance();
    watcher.Start(MainConnection::GetInstance().GetHandle());
    manager.Start();
    std::atomic<uint16_t> segments{0};
    std::atomic<bool> watching_now{false};
    auto watching = T_Probe::Make();
    watching->on_start_ = [&segments, &watching_now, task = watching.get()] {
        task->AddDataRecordCondition<uint16_t>(62, &segments);
        watching_now = true;
    };
    manager.AddTask(watching);
    ASSERT_TRUE(Eventually([&] { return watching_now.load(); }));
    printer.ForceRecordField(kMain, 62, 2, 4321);
    EXPECT_TRUE(Eventually([&] { return watching->updates_.load() >= 1; }));
    EXPECT_EQ(segments.load(), 4321);
    manager.CancelTask(watching->GetId());
    watcher.Stop();
    TaskManagerProbe::Halt();
    manager.SetSendCallback(nullptr);
}
