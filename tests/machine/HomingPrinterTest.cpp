// Homing against the virtual printer: the commands of each axis in order,
// the homing flags and their UI keys, the wait for X and Y, cancelling,
// pausing and a rejected command.
#include "DataRecordWatcher.h"
#include "MachinePrinterFixture.h"
#include "T_CENTER_ON_ZERO.h"
#include "T_Home.h"
#include "T_LeaveLimitSwitch.h"
#include "T_SendToLimitSwitch.h"

#include "RecordFields.h"

#include <algorithm>
#include <mutex>

using nlohmann::json;
using Log = std::vector<std::string>;

namespace {

Task::Parameters Params(json value) {
    return boost::make_shared<json>(std::move(value));
}

boost::shared_ptr<T_Home> Home(const std::string& axis) {
    return boost::make_shared<T_Home>(
        Params({{"axis", axis}, {"description", "Home|{" + axis + "}|"}}));
}

// Repeated stops while the axis slows down count as one.
Log Collapse(const Log& log) {
    Log collapsed;
    for (const auto& line : log) {
        if (collapsed.empty() || collapsed.back() != line || line.compare(0, 2, "ST") != 0) {
            collapsed.push_back(line);
        }
    }
    return collapsed;
}

bool Flag(const std::string& axis) {
    return DataRecordWatcher::GetInstance().IsHoming(axis);
}

}  // namespace

TEST_F(MachinePrinterTest, HomingXJogsOntoTheSwitchLeavesItAndZeroesThePosition) {
    PlaceAxis('A', 3000);
    auto home = Home("X");
    TaskManager::GetInstance().AddTask(home);
    ASSERT_TRUE(WaitForStatus(home, Task::FINISHED));

    EXPECT_EQ(Collapse(MainLog()),
              (Log{"SHA", "LDA=1", "JGA=-2000", "BGA", "JGA=800", "BGA", "STA", "DPA=0", "ZAA=1"}));
    const auto data = UiData();
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data.front(), (json{{"homingX", true}}));
    EXPECT_EQ(data.back(), (json{{"homingX", false}}));
    EXPECT_FALSE(Flag("A"));
    const auto axis = printer_->Snapshot().axes[0];
    EXPECT_EQ(axis.reference, 0);
    EXPECT_EQ(axis.user_value, 1);
    EXPECT_NE(axis.switches & 4, 0);
    // Every update of the top-level task names its axis.
    for (const auto& update : ui_.Updates()) {
        if (update.contains("name")) {
            EXPECT_EQ(update.at("axis"), "X");
        }
    }
}

TEST_F(MachinePrinterTest, ControllerLetterHomesTheSameAxisUnderItsOwnKey) {
    PlaceAxis('B', 1500);
    auto home = Home("B");
    TaskManager::GetInstance().AddTask(home);
    ASSERT_TRUE(WaitForStatus(home, Task::FINISHED));
    EXPECT_EQ(Collapse(MainLog()),
              (Log{"SHB", "LDB=1", "JGB=-2000", "BGB", "JGB=800", "BGB", "STB", "DPB=0", "ZAB=1"}));
    const auto data = UiData();
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data.front(), (json{{"homingB", true}}));
    EXPECT_EQ(data.back(), (json{{"homingB", false}}));
    EXPECT_FALSE(Flag("B"));
}

TEST_F(MachinePrinterTest, HomingZWaitsForXAndYCentresThemAndZeroesTheSpareAxis) {
    PlaceAxis('A', 2000);
    PlaceAxis('B', 1000);
    PlaceAxis('C', 1200);
    // X counts as homing until the flag is cleared by hand below.
    DataRecordWatcher& watcher = DataRecordWatcher::GetInstance();
    watcher.SetHoming("A", true);
    auto home = Home("Z");
    const auto steps = home->GetSubTasks();
    ASSERT_EQ(steps.size(), 4u);
    TaskManager::GetInstance().AddTask(home);
    ASSERT_TRUE(WaitForStatus(steps[0], Task::RUNNING));
    const uint32_t seen = watcher.GetSampleCounter();
    ASSERT_TRUE(Eventually([&] { return watcher.GetSampleCounter() - seen > 200; }));
    EXPECT_EQ(MainLog(), (Log{"SHC", "LDC=1"}));
    EXPECT_TRUE(steps[0]->IsStatus(Task::RUNNING));

    watcher.SetHoming("A", false);
    ASSERT_TRUE(WaitForStatus(home, Task::FINISHED));
    EXPECT_EQ(Collapse(MainLog()), (Log{"SHC", "LDC=1", "LD 3,3,3,3,3", "SP 10000,10000", "ST ABCE",
                                        "PT 1,1", "PA 0,0", "STAB", "PT 0,0", "JGC=-8000", "BGC",
                                        "JGC=800", "BGC", "STC", "DPC=0", "ZAC=1", "DPE=0"}));
    const auto snapshot = printer_->Snapshot();
    EXPECT_EQ(snapshot.axes[0].reference, 0);
    EXPECT_EQ(snapshot.axes[1].reference, 0);
    EXPECT_EQ(snapshot.axes[2].reference, 0);
    EXPECT_EQ(snapshot.axes[4].reference, 0);
    const auto data = UiData();
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data.front(), (json{{"homingZ", true}}));
    EXPECT_EQ(data.back(), (json{{"homingZ", false}}));
}

TEST_F(MachinePrinterTest, CancellingDuringTheJogClearsTheFlagBeforeStopping) {
    PlaceAxis('A', 20000);
    std::mutex mutex;
    std::vector<bool> stop_sent_at_flag_off;
    TaskManager::GetInstance().SetSendCallback([&](std::string text) {
        if (text.find("\"homingX\":false") != std::string::npos) {
            const auto log = MainLog();
            std::lock_guard<std::mutex> lock(mutex);
            stop_sent_at_flag_off.push_back(std::find(log.begin(), log.end(), "STA") != log.end());
        }
    });
    auto home = Home("X");
    TaskManager::GetInstance().AddTask(home);
    ASSERT_TRUE(printer_->WaitForCommand(sim::Controller::kMain, "BGA", std::chrono::seconds(10)));
    TaskManager::GetInstance().CancelTask(home->GetId());
    EXPECT_TRUE(home->IsStatus(Task::CANCELLED));
    EXPECT_EQ(MainLog(), (Log{"SHA", "LDA=1", "JGA=-2000", "BGA", "STA"}));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(stop_sent_at_flag_off, std::vector<bool>{false});
    EXPECT_FALSE(Flag("A"));
}

TEST_F(MachinePrinterTest, PausingStopsTheJogAndResumingJogsAgain) {
    PlaceAxis('A', 20000);
    auto home = Home("X");
    TaskManager& manager = TaskManager::GetInstance();
    manager.AddTask(home);
    ASSERT_TRUE(printer_->WaitForCommand(sim::Controller::kMain, "BGA", std::chrono::seconds(10)));
    manager.PauseTask(home->GetId());
    EXPECT_FALSE(Flag("A"));
    EXPECT_EQ(MainLog().back(), "STA");
    printer_->ClearCommandLog(sim::Controller::kMain);
    manager.ResumeTask(home->GetId());
    EXPECT_TRUE(Flag("A"));
    EXPECT_EQ(MainLog(), (Log{"JGA=-2000", "BGA"}));
    ASSERT_TRUE(WaitForStatus(home, Task::FINISHED));
    const auto data = UiData();
    ASSERT_EQ(data.size(), 4u);
    EXPECT_EQ(data[1], (json{{"homingX", false}}));
    EXPECT_EQ(data[2], (json{{"homingX", true}}));
    EXPECT_EQ(data[3], (json{{"homingX", false}}));
}

TEST_F(MachinePrinterTest, RejectedJogCancelsTheHomingAndStopsTheAxis) {
    PlaceAxis('A', 5000);
    printer_->RejectCommand(sim::Controller::kMain, "BGA", "axis refused");
    auto home = Home("X");
    TaskManager::GetInstance().AddTask(home);
    ASSERT_TRUE(WaitForStatus(home, Task::CANCELLED));
    // The parent is marked before the cancellation reaches the jog.
    ASSERT_TRUE(printer_->WaitForCommand(sim::Controller::kMain, "STA", std::chrono::seconds(10)));
    EXPECT_EQ(MainLog(), (Log{"SHA", "LDA=1", "JGA=-2000", "BGA", "STA"}));
    EXPECT_FALSE(Flag("A"));
    ASSERT_TRUE(ui_.WaitFor([](const std::vector<std::string>& texts) {
        for (const auto& text : texts) {
            if (text.find("<vrx_error><cmd>BGA</cmd>axis refused</vrx_error>") !=
                std::string::npos) {
                return true;
            }
        }
        return false;
    }));
}

TEST_F(MachinePrinterTest, JogsWhoseGoalAlreadyHoldsFinishWithoutCommands) {
    // A stands away from its switch: leaving it is already done.
    PlaceAxis('A', 4000);
    auto leave =
        boost::make_shared<T_LeaveLimitSwitch>(Params({{"axis", "X"}, {"description", "l"}}));
    TaskManager::GetInstance().AddTask(leave);
    ASSERT_TRUE(WaitForStatus(leave, Task::FINISHED));
    EXPECT_FALSE(leave->HasStarted());

    // A stands on its switch: reaching it is already done.
    PlaceAxis('A', 0);
    auto send =
        boost::make_shared<T_SendToLimitSwitch>(Params({{"axis", "X"}, {"description", "s"}}));
    TaskManager::GetInstance().AddTask(send);
    ASSERT_TRUE(WaitForStatus(send, Task::FINISHED));
    EXPECT_TRUE(MainLog().empty());
}

TEST_F(MachinePrinterTest, CentringWithXAndYAtZeroOnlyLeavesTracking) {
    PlaceAxis('A', 700);
    PlaceAxis('B', 900);
    Command("DP 0,0");
    ASSERT_TRUE(Eventually([] {
        const auto record = DataRecordWatcher::GetInstance().GetRecord();
        return record && AxisReferencePosition(*record, 0) == 0 &&
               AxisReferencePosition(*record, 1) == 0;
    }));
    printer_->ClearCommandLog(sim::Controller::kMain);
    auto centre =
        boost::make_shared<T_CENTER_ON_ZERO>(Params({{"axis", "Z"}, {"description", "c"}}));
    TaskManager::GetInstance().AddTask(centre);
    ASSERT_TRUE(WaitForStatus(centre, Task::FINISHED));
    EXPECT_EQ(MainLog(), (Log{"STAB", "PT 0,0"}));
}

TEST_F(MachinePrinterTest, CancellingAPausedHomingSendsNothingMore) {
    PlaceAxis('A', 20000);
    auto home = Home("X");
    TaskManager& manager = TaskManager::GetInstance();
    manager.AddTask(home);
    ASSERT_TRUE(printer_->WaitForCommand(sim::Controller::kMain, "BGA", std::chrono::seconds(10)));
    manager.PauseTask(home->GetId());
    printer_->ClearCommandLog(sim::Controller::kMain);
    const size_t published = UiData().size();
    manager.CancelTask(home->GetId());
    EXPECT_TRUE(home->IsStatus(Task::CANCELLED));
    EXPECT_TRUE(MainLog().empty());
    EXPECT_EQ(UiData().size(), published);
    EXPECT_FALSE(Flag("A"));
}
