// Homing against the virtual printer: the commands of each axis in order,
// the homing flags and their UI keys, the wait for X and Y, cancelling,
// pausing and a rejected command.
#include "DataRecordWatcher.h"
#include "PrinterTest.h"
#include "RecordFields.h"
#include "T_CENTER_ON_ZERO.h"
#include "T_Home.h"

#include <algorithm>
#include <mutex>

using Lines = std::vector<std::string>;
using Home = PrinterTest;

namespace {

boost::shared_ptr<T_Home> Homing(const std::string& axis) {
    return MakeTask<T_Home>({{"axis", axis}, {"description", "Home|{" + axis + "}|"}});
}

// The main log, with repeated stops while the axis slows down as one.
Lines Collapse(const Lines& log) {
    Lines collapsed;
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

TEST_F(Home, AnAxisJogsOntoItsSwitchLeavesItAndZeroesThePosition) {
    // The UI's letter and the controller's name the same axis, each under its own key.
    for (const std::string axis : {"X", "B"}) {
        SCOPED_TRACE(axis);
        const std::string c = axis == "X" ? "A" : "B";
        PlaceAxis(c[0], 3000);
        printer_->ClearCommandLog(sim::Controller::kMain);
        ui_.Clear();
        ASSERT_TRUE(Run(Homing(axis)));
        EXPECT_EQ(Collapse(Log()), (Lines{"SH" + c, "LD" + c + "=1", "JG" + c + "=-2000", "BG" + c,
                                          "MG TIME", "JG" + c + "=800", "BG" + c, "MG TIME",
                                          "ST" + c, "DP" + c + "=0", "ZA" + c + "=1"}));
        EXPECT_EQ(UiData(), Flags("homing" + axis, {true, false}));
        EXPECT_FALSE(Flag(c));
        const auto state = printer_->Snapshot().axes[c[0] - 'A'];
        EXPECT_TRUE(state.reference == 0 && state.user_value == 1 && (state.switches & 4) != 0);
        for (const auto& update : ui_.Updates()) {
            EXPECT_TRUE(!update.contains("name") || update.at("axis") == axis);
        }
    }
}

TEST_F(Home, ZWaitsForXAndYCentresThemAndZeroesTheSpareAxis) {
    PlaceAxis('A', 2000);
    PlaceAxis('B', 1000);
    PlaceAxis('C', 1200);
    // X counts as homing until the flag is cleared by hand below.
    DataRecordWatcher& watcher = DataRecordWatcher::GetInstance();
    watcher.SetHoming("A", true);
    auto home = Homing("Z");
    const auto steps = home->GetSubTasks();
    ASSERT_EQ(steps.size(), 4u);
    TaskManager::GetInstance().AddTask(home);
    ASSERT_TRUE(Ends(steps[0], Task::RUNNING));
    const uint32_t seen = watcher.GetSampleCounter();
    ASSERT_TRUE(Eventually([&] { return watcher.GetSampleCounter() - seen > 200; }));
    EXPECT_EQ(Log(), (Lines{"SHC", "LDC=1"}));
    watcher.SetHoming("A", false);
    ASSERT_TRUE(Ends(home));
    EXPECT_EQ(Collapse(Log()),
              (Lines{"SHC",       "LDC=1",  "LD 3,3,3,3,3", "SP 10000,10000", "ST ABCE",
                     "PT 1,1",    "PA 0,0", "MG TIME",      "STAB",           "PT 0,0",
                     "JGC=-8000", "BGC",    "MG TIME",      "JGC=800",        "BGC",
                     "MG TIME",   "STC",    "DPC=0",        "ZAC=1",          "DPE=0"}));
    for (const int axis : {0, 1, 2, 4}) {
        EXPECT_EQ(printer_->Snapshot().axes[axis].reference, 0) << axis;
    }
    EXPECT_EQ(UiData(), Flags("homingZ", {true, false}));
}

TEST_F(Home, CancellingDuringTheJogClearsTheFlagBeforeStopping) {
    PlaceAxis('A', 20000);
    std::mutex mutex;
    std::vector<bool> stop_sent_at_flag_off;
    TaskManager::GetInstance().SetSendCallback([&](std::string text) {
        if (text.find("\"homingX\":false") != std::string::npos) {
            const auto log = Log();
            std::lock_guard<std::mutex> lock(mutex);
            stop_sent_at_flag_off.push_back(std::find(log.begin(), log.end(), "STA") != log.end());
        }
    });
    auto home = Start(Homing("X"));
    ASSERT_TRUE(Sent("BGA"));
    TaskManager::GetInstance().CancelTask(home->GetId());
    EXPECT_TRUE(home->IsStatus(Task::CANCELLED));
    EXPECT_EQ(Log(), (Lines{"SHA", "LDA=1", "JGA=-2000", "BGA", "MG TIME", "STA", "MG TIME"}));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(stop_sent_at_flag_off, std::vector<bool>{false});
    EXPECT_FALSE(Flag("A"));
}

TEST_F(Home, PausingStopsTheJogResumingJogsAgainAndCancellingWhilePausedStopsAgain) {
    PlaceAxis('A', 20000);
    TaskManager& manager = TaskManager::GetInstance();
    auto home = Start(Homing("X"));
    const uint32_t id = home->GetId();
    ASSERT_TRUE(Sent("BGA"));
    manager.PauseTask(id);
    EXPECT_FALSE(Flag("A"));
    EXPECT_EQ(Log(), (Lines{"SHA", "LDA=1", "JGA=-2000", "BGA", "MG TIME", "STA", "MG TIME"}));
    printer_->ClearCommandLog(sim::Controller::kMain);
    manager.ResumeTask(id);
    EXPECT_TRUE(Flag("A"));
    EXPECT_EQ(Log(), (Lines{"JGA=-2000", "BGA", "MG TIME"}));
    manager.PauseTask(id);
    auto sent = Log();
    manager.CancelTask(id);
    EXPECT_TRUE(home->IsStatus(Task::CANCELLED));
    // A paused homing that has started stops its axis again when cancelled.
    sent.insert(sent.end(), {"STA", "MG TIME"});
    EXPECT_EQ(Log(), sent);
    EXPECT_EQ(UiData(), Flags("homingX", {true, false, true, false, false}));
    EXPECT_FALSE(Flag("A"));
}

TEST_F(Home, RejectedJogCancelsTheHomingAndStopsTheAxis) {
    PlaceAxis('A', 5000);
    printer_->RejectCommand(sim::Controller::kMain, "BGA", "axis refused");
    ASSERT_TRUE(Run(Homing("X"), Task::CANCELLED));
    // The parent is marked before the cancellation reaches the jog, whose
    // stop is judged from a record taken after it.
    ASSERT_TRUE(Sent("MG TIME"));
    EXPECT_EQ(Log(), (Lines{"SHA", "LDA=1", "JGA=-2000", "BGA", "STA", "MG TIME"}));
    EXPECT_FALSE(Flag("A"));
    EXPECT_TRUE(UiSaid("<vrx_error><cmd>BGA</cmd>axis refused</vrx_error>"));
}

TEST_F(Home, CentringWithXAndYAtZeroOnlyLeavesTracking) {
    PlaceAxis('A', 700);
    PlaceAxis('B', 900);
    Command("DP 0,0");
    ASSERT_TRUE(Eventually([] {
        const auto record = DataRecordWatcher::GetInstance().GetRecord();
        return record && AxisReferencePosition(*record, 0) == 0 &&
               AxisReferencePosition(*record, 1) == 0;
    }));
    printer_->ClearCommandLog(sim::Controller::kMain);
    ASSERT_TRUE(Run(MakeTask<T_CENTER_ON_ZERO>({{"axis", "Z"}, {"description", "c"}})));
    EXPECT_EQ(Log(), (Lines{"STAB", "PT 0,0"}));
}
