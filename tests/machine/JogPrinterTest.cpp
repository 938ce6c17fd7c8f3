// Jogging against the virtual printer: starting on a standing and on a
// jogging axis, an axis that stops by itself, pause and resume, the UI keys.
#include "DataRecordWatcher.h"
#include "MachinePrinterFixture.h"
#include "RecordFields.h"
#include "T_Jog.h"

using nlohmann::json;
using Log = std::vector<std::string>;

namespace {

boost::shared_ptr<T_Jog> Jog(const std::string& axis, const std::string& polarity,
                             const std::string& speed) {
    return boost::make_shared<T_Jog>(boost::make_shared<json>(
        json{{"axis", axis}, {"polarity", polarity}, {"speed", speed}, {"description", "jog"}}));
}

bool Jogging(const std::string& axis) {
    return Eventually([&] { return DataRecordWatcher::GetInstance().IsJogging(axis); });
}

}  // namespace

TEST_F(MachinePrinterTest, AJogFromRestStartsTheAxisAndEndsWhenItStopsByItself) {
    // Far enough from the switch that the worker sees the axis jogging before
    // it arrives, however slowly a loaded machine runs the test's threads.
    PlaceAxis('A', 30000);
    Command("LDA=0");
    printer_->ClearCommandLog(sim::Controller::kMain);
    auto jog = Jog("X", "Neg", "-3000");
    TaskManager::GetInstance().AddTask(jog);
    // The reverse limit stops A on its switch.
    ASSERT_TRUE(WaitForStatus(jog, Task::FINISHED));
    EXPECT_EQ(MainLog(), (Log{"JGA=-3000", "STA", "SHA", "BGA"}));
    EXPECT_EQ(UiData(), (std::vector<json>{{{"jogNegX", true}}, {{"jogNegX", false}}}));
    EXPECT_EQ(printer_->Snapshot().axes[0].switches & 4, 0);
}

TEST_F(MachinePrinterTest, AJogOnAJoggingAxisOnlyChangesTheSpeedAndCancelStopsIt) {
    PlaceAxis('A', 1000);
    Command("JGA=1000");
    Command("BGA");
    ASSERT_TRUE(Jogging("A"));
    printer_->ClearCommandLog(sim::Controller::kMain);
    auto jog = Jog("X", "Pos", "2000");
    TaskManager& manager = TaskManager::GetInstance();
    manager.AddTask(jog);
    ASSERT_TRUE(
        printer_->WaitForCommand(sim::Controller::kMain, "JGA=2000", std::chrono::seconds(10)));
    manager.CancelTask(jog->GetId());
    EXPECT_EQ(MainLog(), (Log{"JGA=2000", "STA"}));
    EXPECT_EQ(UiData(), (std::vector<json>{{{"jogPosX", true}}, {{"jogPosX", false}}}));
}

TEST_F(MachinePrinterTest, PausingStopsTheJogAndResumingStartsItAgain) {
    PlaceAxis('B', 1000);
    auto jog = Jog("Y", "Pos", "1500");
    TaskManager& manager = TaskManager::GetInstance();
    manager.AddTask(jog);
    ASSERT_TRUE(Jogging("B"));
    manager.PauseTask(jog->GetId());
    EXPECT_EQ(MainLog(), (Log{"JGB=1500", "STB", "SHB", "BGB", "STB"}));
    printer_->ClearCommandLog(sim::Controller::kMain);
    ASSERT_TRUE(Eventually([] { return !DataRecordWatcher::GetInstance().IsJogging("B"); }));
    manager.ResumeTask(jog->GetId());
    EXPECT_EQ(MainLog(), (Log{"JGB=1500", "STB", "SHB", "BGB"}));
    ASSERT_TRUE(Jogging("B"));
    manager.CancelTask(jog->GetId());
    EXPECT_EQ(
        UiData(),
        (std::vector<json>{
            {{"jogPosY", true}}, {{"jogPosY", false}}, {{"jogPosY", true}}, {{"jogPosY", false}}}));
}

TEST_F(MachinePrinterTest, TheExtruderJogsAxisDUnderItsOwnKeyWhateverThePolarity) {
    auto jog = Jog("E", "Neg", "500");
    TaskManager& manager = TaskManager::GetInstance();
    manager.AddTask(jog);
    ASSERT_TRUE(Jogging("D"));
    manager.CancelTask(jog->GetId());
    EXPECT_EQ(MainLog(), (Log{"JGD=500", "STD", "SHD", "BGD", "STD"}));
    const auto data = UiData();
    ASSERT_FALSE(data.empty());
    EXPECT_EQ(data.front(), (json{{"jogNegE", true}}));
    // The task's full form names the axis as given.
    bool named = false;
    for (const auto& update : ui_.Updates()) {
        if (update.contains("name")) {
            EXPECT_EQ(update.at("axis"), "E");
            named = true;
        }
    }
    EXPECT_TRUE(named);
}

TEST_F(MachinePrinterTest, AJogWithoutASpeedIsCancelledBeforeItJogs) {
    auto jog = boost::make_shared<T_Jog>(
        boost::make_shared<json>(json{{"axis", "X"}, {"polarity", "Pos"}, {"description", "j"}}));
    TaskManager::GetInstance().AddTask(jog);
    ASSERT_TRUE(WaitForStatus(jog, Task::CANCELLED));
    // The start failed before the jog: the key never went true, and the
    // cancellation of the running task only stops the axis.
    ASSERT_TRUE(printer_->WaitForCommand(sim::Controller::kMain, "STA", std::chrono::seconds(10)));
    EXPECT_EQ(MainLog(), (Log{"STA"}));
    EXPECT_EQ(UiData(), (std::vector<json>{{{"jogPosX", false}}}));
}

TEST_F(MachinePrinterTest, FinishingAJogFromTheUiLeavesTheAxisJoggingForTheNextJog) {
    PlaceAxis('A', 1000);
    auto jog = Jog("X", "Pos", "1000");
    TaskManager& manager = TaskManager::GetInstance();
    manager.AddTask(jog);
    ASSERT_TRUE(Jogging("A"));
    const uint32_t id = jog->GetId();
    manager.FinishWhere([id](boost::shared_ptr<Task> task) { return task->GetId() == id; });
    EXPECT_TRUE(jog->IsStatus(Task::FINISHED));
    EXPECT_EQ(UiData().back(), (json{{"jogPosX", false}}));
    // The other direction takes over a jogging axis with its speed alone.
    printer_->ClearCommandLog(sim::Controller::kMain);
    auto back = Jog("X", "Neg", "-1000");
    manager.AddTask(back);
    ASSERT_TRUE(
        printer_->WaitForCommand(sim::Controller::kMain, "JGA=-1000", std::chrono::seconds(10)));
    manager.CancelTask(back->GetId());
    EXPECT_EQ(MainLog(), (Log{"JGA=-1000", "STA"}));
}
