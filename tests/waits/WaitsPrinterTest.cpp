// The motion waits, the dwell, the single-command tasks and bed levelling
// against the virtual printer, through the real controller library, record
// thread and task worker.
#include "DataRecordWatcher.h"
#include "GCodeManager.h"
#include "PrinterTest.h"
#include "RecordFields.h"
#include "T_BedLevel.h"
#include "T_DefinePosition.h"
#include "T_GroupMotionComplete.h"
#include "T_MotionComplete.h"
#include "T_MotorOff.h"
#include "T_ServoHere.h"
#include "T_Wait.h"

#include <algorithm>

namespace {

using nlohmann::json;
using Commands = std::vector<std::string>;
constexpr auto kMain = sim::Controller::kMain;

class WaitsPrinterTest : public PrinterTest {
  protected:
    // A slow clock: the half-second settle before each probe of the bed
    // levelling must outlast the record latency.
    static void SetUpTestSuite() { StartPrinter(4); }
    void SetUp() override {
        PrinterTest::SetUp();
        // Every axis standing, well away from its limits.
        for (const char axis : {'A', 'B', 'C', 'D'}) {
            printer_->SetAxisPosition(axis, 20000);
            Command(std::string("DP") + axis + "=20000");
        }
        printer_->ClearCommandLog(kMain);
    }
    void TearDown() override {
        PrinterTest::TearDown();
        printer_->SetBedTilt(0, 0);
        printer_->SetSpeed(4);
        Command("AB");
        Command("SH");
    }

    // Hands a top-level task, with a description so the UI has one, to the worker.
    template <typename T>
    Task::Pointer Add(json parameters) {
        parameters["description"] = "test";
        auto task = MakeTask<T>(parameters);
        TaskManager::GetInstance().AddTask(task);
        return task;
    }
    static bool Finishes(const Task::Pointer& task) {
        return Eventually([&] { return task->IsStatus(Task::FINISHED); }, std::chrono::seconds(60));
    }
    // Waits until the record thread has published a record sampled at `sample`
    // or later (16-bit sample numbers, within half a wrap).
    static bool SeenSample(uint64_t sample) {
        return Eventually([&] {
            const auto record = DataRecordWatcher::GetInstance().GetRecord();
            return record &&
                   static_cast<int16_t>(SampleNumber(*record) - static_cast<uint16_t>(sample)) >= 0;
        });
    }
    static bool SomeRecordsPassed() { return SeenSample(printer_->Snapshot().samples + 20); }
    // Waits until `count` "updateUI" messages have come, and returns their data.
    std::vector<json> WaitForUiData(size_t count) {
        Eventually([&] { return UiData().size() >= count; });
        return UiData();
    }
    // Stops the clock and waits until a tick already under way has ended:
    // the clock reads the same on both sides of a command round trip.
    static void PauseClock() {
        printer_->PauseClock();
        uint64_t before = 0;
        do {
            before = printer_->Snapshot().samples;
            Command("MG 0");
        } while (printer_->Snapshot().samples != before);
    }
};

// The commands of the log from the first `first` on.
Commands From(const Commands& log, const std::string& first) {
    return Commands(std::find(log.begin(), log.end(), first), log.end());
}

// Each goes out and finishes; a rejected command or a missing value cancels it.
TEST_F(WaitsPrinterTest, SingleCommandsGoOutAndFinishOrCancel) {
    printer_->RejectCommand(kMain, "MOB", "motor busy");
    for (const auto& [task, status] :
         {std::pair{Add<T_DefinePosition>({{"axis", "X"}, {"value", 4000}}), Task::FINISHED},
          {Add<T_DefinePosition>({{"axis", "E"}, {"value", -5}}), Task::FINISHED},
          {Add<T_ServoHere>({{"axis", "Z"}}), Task::FINISHED},
          {Add<T_MotorOff>({{"axis", "Z"}}), Task::FINISHED},
          {Add<T_MotorOff>({{"axis", "Y"}}), Task::CANCELLED},
          {Add<T_DefinePosition>({{"axis", "Y"}}), Task::CANCELLED},
          {Add<T_Wait>(json::object()), Task::CANCELLED}}) {
        EXPECT_TRUE(Ends(task, status)) << task->GetName();
    }
    const auto log = Log();
    for (const char* command : {"DPA=4000", "DPD=-5", "SHC", "MOC"}) {
        EXPECT_NE(std::find(log.begin(), log.end(), command), log.end()) << command;
    }
    EXPECT_EQ(printer_->Snapshot().axes[0].reference, 4000);
    EXPECT_TRUE(UiSaid("<vrx_error><cmd>MOB</cmd>motor busy</vrx_error>"));
    EXPECT_TRUE(UiSaid("Task Execution Error : "));
}

TEST_F(WaitsPrinterTest, PolarityNamesTheDirectionWaitedFor) {
    struct Case {
        const char* polarity;
        uint16_t status;
        bool complete;
    };
    // Bit 15: moving; bit 7: moving negative.
    const Case cases[] = {{"Neg", 0x8000, true},  {"Neg", 0x8080, false}, {"Pos", 0x8080, true},
                          {"Pos", 0x8000, false}, {"", 0x8000, false},    {"Neg", 0x0080, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.polarity) + " " + std::to_string(c.status));
        printer_->ForceRecordField(kMain, 118, 2, c.status);
        ASSERT_TRUE(SomeRecordsPassed());
        auto wait = Add<T_MotionComplete>({{"axis", "Y"}, {"polarity", c.polarity}});
        if (!c.complete) {
            ASSERT_TRUE(Ends(wait, Task::RUNNING));
            ASSERT_TRUE(SomeRecordsPassed());
            EXPECT_TRUE(wait->IsStatus(Task::RUNNING));
            printer_->ClearForcedRecordFields(kMain);
        }
        EXPECT_TRUE(Ends(wait));
    }
}

TEST_F(WaitsPrinterTest, GroupWaitsForEveryAxis) {
    for (const char* command : {"JGA=200", "JGB=-200", "JGD=200", "BGABD"}) {
        Command(command);
    }
    for (const int axis : {0, 1, 3}) {  // the latest record shows it moving
        ASSERT_TRUE(Eventually([&] {
            const auto record = DataRecordWatcher::GetInstance().GetRecord();
            return record && (AxisStatus(*record, axis) & 0x8000) != 0;
        }));
    }
    auto group = Add<T_GroupMotionComplete>({{"axes", "XYZE"}});
    const auto children = group->GetSubTasks();
    ASSERT_EQ(children.size(), 4u);
    EXPECT_TRUE(Ends(children[2]));  // Z stands
    ASSERT_TRUE(Ends(children[0], Task::RUNNING));
    for (const char* axis : {"A", "B", "D"}) {
        ASSERT_TRUE(SomeRecordsPassed());
        EXPECT_TRUE(group->IsStatus(Task::RUNNING));
        Command(std::string("ST") + axis);
        EXPECT_TRUE(Ends(children[*axis == 'D' ? 3 : *axis - 'A'])) << axis;
    }
    EXPECT_TRUE(Ends(group));
    EXPECT_TRUE(Ends(Add<T_GroupMotionComplete>({{"axes", ""}})));
}

// The clock stands still while the dwell is checked sample by sample. It
// lasts its full time also when the latest record is from just before a
// 16-bit wrap of sample_number and the clock is read just after it.
TEST_F(WaitsPrinterTest, DwellEndsAfterMoreThanItsSamples) {
    for (const auto& [ms, across_wrap] : {std::pair{500, false}, {0, false}, {100, true}}) {
        SCOPED_TRACE(ms);
        PauseClock();
        if (across_wrap) {
            const uint64_t wrap = (printer_->Snapshot().samples / 65536 + 2) * 65536;
            printer_->SetClock(wrap - 10);
            printer_->StepClock(1);
            ASSERT_TRUE(Eventually([&] {
                const auto record = DataRecordWatcher::GetInstance().GetRecord();
                return record && SampleNumber(*record) == static_cast<uint16_t>(wrap - 9);
            }));
            printer_->SetClock(wrap + 5);
        }
        const uint64_t start = printer_->Snapshot().samples;
        auto task = Add<T_Wait>({{"ms", ms}});
        auto* dwell = static_cast<T_Wait*>(task.get());
        // The worker reports RUNNING only after the task's OnStart has returned.
        ASSERT_TRUE(
            UiSaid("{\"id\":" + std::to_string(task->GetId()) + ",\"status\":\"RUNNING\"}"));
        // The latest record was sampled before the clock was read: not past it.
        EXPECT_FALSE(dwell->IsElapsed());
        printer_->StepClock(ms);
        ASSERT_TRUE(SeenSample(start + ms - 1));
        EXPECT_FALSE(dwell->IsElapsed());
        EXPECT_TRUE(task->IsStatus(Task::RUNNING));
        printer_->StepClock(2);
        EXPECT_TRUE(Ends(task));
        EXPECT_TRUE(across_wrap ||
                    DataRecordWatcher::GetInstance().GetSampleCounter() - uint32_t(start) >
                        uint32_t(ms));
        printer_->ResumeClock();
    }
}

json LevelSettings(bool recalculate, bool enabled) {
    return {{"recalculate", recalculate},
            {"enabled", enabled},
            {"xlimit", 99200},
            {"ylimit", 96500},
            {"xregions", 2},
            {"yregions", 2},
            {"samples", 1}};
}

// A tilted bed probed at the default grid: every point's height lands in
// "zoffsets", then the controller's program takes over.
TEST_F(WaitsPrinterTest, BedLevelProbesTheGrid) {
    const double x_slope = 0.05, y_slope = -0.06;
    printer_->SetBedTilt(x_slope, y_slope);
    ASSERT_TRUE(Finishes(Add<T_BedLevel>(LevelSettings(true, true))));
    const auto log = Log();
    const Commands prepare = {
        "AB",           "SH ABCE",     "LD 1,1,1,3,3", "DA zoffsets[0]", "DM zoffsets[4]",
        "xdist=49600",  "ydist=48250", "xregions=2",   "yregions=2",     "SP 20000,20000,20000",
        "PT 1,1,1,0,1", "PA0,0,4000"};
    ASSERT_GE(log.size(), prepare.size());
    EXPECT_EQ(Commands(log.begin(), log.begin() + prepare.size()), prepare);
    // Points in serpentine order, each probed, stored and handed back.
    Commands stores;
    for (const auto& command : log) {
        if (command.rfind("zoffsets[", 0) == 0) {
            stores.push_back(command.substr(0, command.find('=')));
        }
    }
    EXPECT_EQ(stores, (Commands{"zoffsets[0]", "zoffsets[1]", "zoffsets[3]", "zoffsets[2]"}));
    EXPECT_EQ(From(log, "LDC=3"), (Commands{"LDC=3", "PA 0,0,,,0", "PT 0,0,1,0,0", "XQ"}));
    const auto after_first_store = From(log, "PTC=1");
    ASSERT_GE(after_first_store.size(), 2u);
    EXPECT_EQ(after_first_store[1], "SPC=20000");
    const auto heights = printer_->Array("zoffsets");
    ASSERT_EQ(heights.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        const double bed = x_slope * (i % 2) * 49600 + y_slope * (i / 2) * 48250;
        // Z stops just above the switch; how far depends on the record latency.
        EXPECT_GE(heights[i], bed - 2) << i;
        EXPECT_LE(heights[i], bed + 1000) << i;
    }
    EXPECT_TRUE(printer_->Snapshot().program_running);
    EXPECT_EQ(WaitForUiData(2),
              (std::vector<json>{{{"meshAvailable", false}, {"meshCalculating", true}},
                                 {{"meshAvailable", true}, {"meshCalculating", false}}}));
}

// The probed height is Z's reference position as the record reports it. It is
// forced only once the last point's probe goes down: until then the records
// must show Z where the run sent it over each point. A small grid keeps the run short.
TEST_F(WaitsPrinterTest, BedLevelStoresTheRecordedZPosition) {
    json settings = LevelSettings(true, false);
    settings["xlimit"] = 8000;
    settings["ylimit"] = 8000;
    const auto run = Add<T_BedLevel>(settings);
    ASSERT_TRUE(printer_->WaitForCommand(kMain, "JGC=-8000", std::chrono::seconds(20), 4));
    printer_->ForceRecordField(kMain, 158, 4, -1234);
    ASSERT_TRUE(Finishes(run));
    const auto log = Log();
    EXPECT_NE(std::find(log.begin(), log.end(), "zoffsets[2]=-1234"), log.end());
    EXPECT_EQ(From(log, "LDC=3"), (Commands{"LDC=3", "PA 0,0,,,0", "PT 0,0,1,0,0", "AB"}));
}

TEST_F(WaitsPrinterTest, BedLevelWithoutRecalculateOnlyEndsTheProgram) {
    ASSERT_TRUE(Ends(Add<T_BedLevel>(LevelSettings(false, false))));
    EXPECT_EQ(Log(), (Commands{"AB"}));
    EXPECT_EQ(WaitForUiData(1),
              (std::vector<json>{{{"meshAvailable", true}, {"meshCalculating", false}}}));
}

TEST_F(WaitsPrinterTest, BedLevelCancelledWhileProbing) {
    auto run = Add<T_BedLevel>(LevelSettings(true, true));
    ASSERT_TRUE(printer_->WaitForCommand(kMain, "PA0,0,4000", std::chrono::seconds(10)));
    TaskManager::GetInstance().CancelTask(run->GetId());
    ASSERT_TRUE(Ends(run, Task::CANCELLED));
    const auto tail = From(Log(), "ST");
    ASSERT_GE(tail.size(), 3u);
    EXPECT_EQ(tail[1], "MG TIME");
    EXPECT_EQ(tail[2], "DA zoffsets[0]");
    EXPECT_EQ(WaitForUiData(2).back(),
              (json{{"meshAvailable", false}, {"meshCalculating", false}}));
    EXPECT_FALSE(printer_->Snapshot().program_running);
}

// A probe that the controller refuses cancels its point, and the points after
// it would wait for ever: the run ends with the point's reason on the task the
// UI sees (the run, or the G29 line that holds it) and stops as a cancelled run.
TEST_F(WaitsPrinterTest, BedLevelEndsWithAPointThatFails) {
    printer_->RejectCommand(kMain, "JGC=-8000", "probe refused");
    for (const bool g29 : {false, true}) {
        SCOPED_TRACE(g29);
        printer_->ClearCommandLog(kMain);
        const Task::Pointer shown = g29 ? GCodeManager::GetInstance().Handle_G29(GCode("G29", 0))
                                        : MakeTask<T_BedLevel>(LevelSettings(true, true));
        const Task::Pointer run = g29 ? shown->GetSubTasks().front() : shown;
        TaskManager::GetInstance().AddTask(shown);
        ASSERT_TRUE(Ends(shown, Task::CANCELLED) && Ends(run, Task::CANCELLED));
        EXPECT_TRUE(UiSaid(R"("cancellation_reason":"<vrx_error><cmd>JGC=-8000</cmd>probe )"
                           R"(refused</vrx_error>","id":)" +
                           std::to_string(shown->GetId()) + ","));
        const auto tail = From(Log(), "ST");
        ASSERT_GE(tail.size(), 3u);
        EXPECT_EQ(tail[1], "MG TIME");
        EXPECT_EQ(tail[2], "DA zoffsets[0]");
        EXPECT_EQ(std::count(tail.begin(), tail.end(), "PA49600,0,4000"), 0);
    }
    const json calculating = {{"meshAvailable", false}, {"meshCalculating", true}};
    const json ended = {{"meshAvailable", false}, {"meshCalculating", false}};
    EXPECT_EQ(WaitForUiData(4), (std::vector<json>{calculating, ended, calculating, ended}));
}

}  // namespace
