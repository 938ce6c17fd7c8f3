// Jogging against the virtual printer: starting on a standing and on a
// jogging axis, an axis that stops by itself, pause and resume, the UI keys.
#include "DataRecordWatcher.h"
#include "PrinterTest.h"
#include "T_Jog.h"

using nlohmann::json;
using Lines = std::vector<std::string>;
using Jog = PrinterTest;

namespace {

boost::shared_ptr<T_Jog> Jogging(const std::string& axis, const std::string& polarity,
                                 const std::string& speed) {
    return MakeTask<T_Jog>(
        {{"axis", axis}, {"polarity", polarity}, {"speed", speed}, {"description", "jog"}});
}

bool Moving(const std::string& axis, bool moving = true) {
    return Eventually([&] { return DataRecordWatcher::GetInstance().IsJogging(axis) == moving; });
}

}  // namespace

TEST_F(Jog, FromRestStartsTheAxisAndEndsWhenItStopsByItself) {
    // Far enough from the switch that the worker sees the axis jogging before
    // it arrives, however slowly a loaded machine runs the test's threads.
    PlaceAxis('A', 30000);
    Command("LDA=0");
    printer_->ClearCommandLog(sim::Controller::kMain);
    // The reverse limit stops A on its switch.
    ASSERT_TRUE(Run(Jogging("X", "Neg", "-3000")));
    EXPECT_EQ(Log(), (Lines{"JGA=-3000", "STA", "SHA", "BGA"}));
    EXPECT_EQ(UiData(), Flags("jogNegX", {true, false}));
    EXPECT_EQ(printer_->Snapshot().axes[0].switches & 4, 0);
}

TEST_F(Jog, FinishingLeavesTheAxisJoggingAndTheNextJogOnlyChangesItsSpeed) {
    PlaceAxis('A', 1000);
    auto jog = Jogging("X", "Pos", "1000");
    TaskManager& manager = TaskManager::GetInstance();
    manager.AddTask(jog);
    ASSERT_TRUE(Moving("A"));
    const uint32_t id = jog->GetId();
    manager.FinishWhere([id](boost::shared_ptr<Task> task) { return task->GetId() == id; });
    EXPECT_TRUE(jog->IsStatus(Task::FINISHED));
    EXPECT_EQ(UiData(), Flags("jogPosX", {true, false}));
    printer_->ClearCommandLog(sim::Controller::kMain);
    ui_.Clear();
    auto back = Jogging("X", "Neg", "-1000");
    manager.AddTask(back);
    ASSERT_TRUE(
        printer_->WaitForCommand(sim::Controller::kMain, "JGA=-1000", std::chrono::seconds(10)));
    manager.CancelTask(back->GetId());
    EXPECT_EQ(Log(), (Lines{"JGA=-1000", "STA"}));
    EXPECT_EQ(UiData(), Flags("jogNegX", {true, false}));
}

TEST_F(Jog, PausingStopsTheJogAndResumingStartsItAgain) {
    PlaceAxis('B', 1000);
    auto jog = Jogging("Y", "Pos", "1500");
    TaskManager& manager = TaskManager::GetInstance();
    manager.AddTask(jog);
    ASSERT_TRUE(Moving("B"));
    manager.PauseTask(jog->GetId());
    EXPECT_EQ(Log(), (Lines{"JGB=1500", "STB", "SHB", "BGB", "STB"}));
    printer_->ClearCommandLog(sim::Controller::kMain);
    ASSERT_TRUE(Moving("B", false));
    manager.ResumeTask(jog->GetId());
    EXPECT_EQ(Log(), (Lines{"JGB=1500", "STB", "SHB", "BGB"}));
    ASSERT_TRUE(Moving("B"));
    manager.CancelTask(jog->GetId());
    EXPECT_EQ(UiData(), Flags("jogPosY", {true, false, true, false}));
}

TEST_F(Jog, TheExtruderJogsAxisDUnderItsOwnKeyWhateverThePolarity) {
    auto jog = Jogging("E", "Neg", "500");
    TaskManager::GetInstance().AddTask(jog);
    ASSERT_TRUE(Moving("D"));
    TaskManager::GetInstance().CancelTask(jog->GetId());
    EXPECT_EQ(Log(), (Lines{"JGD=500", "STD", "SHD", "BGD", "STD"}));
    EXPECT_EQ(UiData(), Flags("jogNegE", {true, false}));
    // The task's full form names the axis as given.
    const auto updates = ui_.Updates();
    ASSERT_TRUE(std::any_of(updates.begin(), updates.end(),
                            [](const json& update) { return update.contains("name"); }));
    for (const auto& update : updates) {
        EXPECT_TRUE(!update.contains("name") || update.at("axis") == "E");
    }
}

TEST_F(Jog, WithoutASpeedItIsCancelledBeforeItJogs) {
    auto jog = MakeTask<T_Jog>({{"axis", "X"}, {"polarity", "Pos"}, {"description", "j"}});
    ASSERT_TRUE(Run(jog, Task::CANCELLED));
    // The start failed before the jog: the key never went true, and the
    // cancellation of the running task only stops the axis.
    ASSERT_TRUE(printer_->WaitForCommand(sim::Controller::kMain, "STA", std::chrono::seconds(10)));
    EXPECT_EQ(Log(), (Lines{"STA"}));
    EXPECT_EQ(UiData(), Flags("jogPosX", {false}));
}
