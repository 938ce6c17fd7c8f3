// Jogging against the virtual printer: starting on a standing and on a
// jogging axis, an axis that stops by itself, pause and resume, the UI keys.
#include "DataRecordWatcher.h"
#include "PrinterTest.h"
#include "T_Jog.h"

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
    EXPECT_EQ(Log(), (Lines{"JGA=-3000", "MG TIME", "STA", "SHA", "BGA", "MG TIME"}));
    EXPECT_EQ(UiData(), Flags("jogNegX", {true, false}));
    EXPECT_EQ(printer_->Snapshot().axes[0].switches & 4, 0);
}

TEST_F(Jog, FinishingLeavesTheAxisJoggingAndTheNextJogOnlyChangesItsSpeed) {
    PlaceAxis('A', 1000);
    auto jog = Start(Jogging("X", "Pos", "1000"));
    ASSERT_TRUE(Moving("A"));
    const uint32_t id = jog->GetId();
    TaskManager& manager = TaskManager::GetInstance();
    manager.FinishWhere([id](boost::shared_ptr<Task> task) { return task->GetId() == id; });
    EXPECT_TRUE(jog->IsStatus(Task::FINISHED));
    EXPECT_EQ(UiData(), Flags("jogPosX", {true, false}));
    printer_->ClearCommandLog(sim::Controller::kMain);
    ui_.Clear();
    auto back = Start(Jogging("X", "Neg", "-1000"));
    ASSERT_TRUE(Sent("JGA=-1000"));
    manager.CancelTask(back->GetId());
    EXPECT_EQ(Log(), (Lines{"JGA=-1000", "MG TIME", "STA", "MG TIME"}));
    EXPECT_EQ(UiData(), Flags("jogNegX", {true, false}));
}

TEST_F(Jog, PausingStopsTheJogAndResumingStartsItAgain) {
    PlaceAxis('B', 1000);
    const uint32_t id = Start(Jogging("Y", "Pos", "1500"))->GetId();
    TaskManager& manager = TaskManager::GetInstance();
    ASSERT_TRUE(Moving("B"));
    manager.PauseTask(id);
    EXPECT_EQ(Log(),
              (Lines{"JGB=1500", "MG TIME", "STB", "SHB", "BGB", "MG TIME", "STB", "MG TIME"}));
    printer_->ClearCommandLog(sim::Controller::kMain);
    ASSERT_TRUE(Moving("B", false));
    manager.ResumeTask(id);
    EXPECT_EQ(Log(), (Lines{"JGB=1500", "MG TIME", "STB", "SHB", "BGB", "MG TIME"}));
    ASSERT_TRUE(Moving("B"));
    manager.CancelTask(id);
    EXPECT_EQ(UiData(), Flags("jogPosY", {true, false, true, false}));
}

TEST_F(Jog, TheExtruderJogsAxisDUnderItsOwnKeyWhateverThePolarity) {
    const uint32_t id = Start(Jogging("E", "Neg", "500"))->GetId();
    ASSERT_TRUE(Moving("D"));
    TaskManager::GetInstance().CancelTask(id);
    EXPECT_EQ(Log(),
              (Lines{"JGD=500", "MG TIME", "STD", "SHD", "BGD", "MG TIME", "STD", "MG TIME"}));
    EXPECT_EQ(UiData(), Flags("jogNegE", {true, false}));
    // The task's full form names the axis as given.
    int named = 0;
    for (const auto& update : ui_.Updates()) {
        named += update.contains("name");
        EXPECT_TRUE(!update.contains("name") || update.at("axis") == "E");
    }
    EXPECT_GT(named, 0);
}

TEST_F(Jog, WithoutASpeedItIsCancelledBeforeItJogs) {
    ASSERT_TRUE(Run(MakeTask<T_Jog>({{"axis", "X"}, {"polarity", "Pos"}, {"description", "j"}}),
                    Task::CANCELLED));
    // The start failed before the jog: the key never went true, and the
    // cancellation of the running task only stops the axis.
    ASSERT_TRUE(Sent("STA"));
    EXPECT_EQ(Log(), (Lines{"STA", "MG TIME"}));
    EXPECT_EQ(UiData(), Flags("jogPosX", {false}));
}
