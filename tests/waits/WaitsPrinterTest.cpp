// The motion waits, the dwell and the single-command tasks against the
// virtual printer, through the real controller library, record thread and
// task worker.
#include "DataRecordWatcher.h"
#include "MainConnection.h"
#include "RecordFields.h"
#include "T_BedLevel.h"
#include "T_DefinePosition.h"
#include "T_GroupMotionComplete.h"
#include "T_MotionComplete.h"
#include "T_MotorOff.h"
#include "T_ServoHere.h"
#include "T_Wait.h"
#include "VirtualPrinter.h"
#include "tasks/TaskTestSupport.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using nlohmann::json;
using sim::Controller;
constexpr auto kMain = Controller::kMain;

class WaitsPrinterTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Made before the connection, so it is destroyed after it.
        static sim::VirtualPrinter printer(Options());
        printer_ = &printer;
        MainConnection::GetInstance().Connect(printer_->Address(kMain));
    }
    static sim::VirtualPrinterOptions Options() {
        sim::VirtualPrinterOptions options;
        options.speed = 4;
        return options;
    }
    void SetUp() override {
        TaskManagerProbe::Halt();
        ui_.Install();
        // Every axis standing, well away from its limits.
        for (const char axis : {'A', 'B', 'C', 'D'}) {
            printer_->SetAxisPosition(axis, 20000);
            Command(std::string("DP") + axis + "=20000");
        }
        watcher_.Start(MainConnection::GetInstance().GetHandle());
        manager_.Start();
        printer_->ClearCommandLog(kMain);
    }
    void TearDown() override {
        TaskManagerProbe::Halt();
        printer_->ResumeClock();
        watcher_.Stop();
        printer_->ClearForcedRecordFields(kMain);
        printer_->ClearRejections(kMain);
        printer_->SetBedTilt(0, 0);
        printer_->SetSpeed(Options().speed);
        Command("AB");
        Command("ST");
        Command("SH");
        manager_.SetSendCallback(nullptr);
    }

    static std::string Command(const std::string& text) {
        return MainConnection::GetInstance().CommandIfEnabled(text);
    }
    // Hands a top-level task to the worker.
    Task::Pointer Add(Task::Pointer task) {
        manager_.AddTask(task);
        return task;
    }
    static bool Ends(const Task::Pointer& task, uint32_t status = Task::FINISHED) {
        return Eventually([&] { return task->IsStatus(status); });
    }
    // Waits until the record thread has published a record sampled at `sample`
    // or later (16-bit sample numbers, within half a wrap).
    bool SeenSample(uint64_t sample) {
        return Eventually([&] {
            const auto record = watcher_.GetRecord();
            return record &&
                   static_cast<int16_t>(SampleNumber(*record) - static_cast<uint16_t>(sample)) >= 0;
        });
    }
    // Waits until the watcher's latest record shows the axis (0 for A) moving or standing.
    bool RecordShowsMoving(int axis, bool moving) {
        return Eventually([&] {
            const auto record = watcher_.GetRecord();
            return record && ((AxisStatus(*record, axis) & 0x8000) != 0) == moving;
        });
    }
    // Waits until the worker has reported the top-level task RUNNING: it
    // sends that only after the task's OnStart has returned.
    bool Started(const Task::Pointer& task) {
        return ui_.WaitFor([&](const std::vector<std::string>& texts) {
            for (const auto& text : texts) {
                const json message = json::parse(text);
                if (message.value("command", "") != "updateTasks") {
                    continue;
                }
                for (const auto& item : message.at("tasks")) {
                    if (item.value("id", 0u) == task->GetId() &&
                        item.value("status", "") == "RUNNING") {
                        return true;
                    }
                }
            }
            return false;
        });
    }
    // The "updateUI" data among the texts sent to the UI, in order.
    static std::vector<json> UiData(const std::vector<std::string>& texts) {
        std::vector<json> data;
        for (const auto& text : texts) {
            const json message = json::parse(text);
            if (message.value("command", "") == "updateUI") {
                data.push_back(message.at("data"));
            }
        }
        return data;
    }
    // Waits until `count` "updateUI" messages have come, and returns their data.
    std::vector<json> WaitForUiData(size_t count) {
        ui_.WaitFor([count](const std::vector<std::string>& texts) {
            return UiData(texts).size() >= count;
        });
        return UiData(ui_.Texts());
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
    // A task on a copy of `parameters` with a description, so the UI has one.
    template <typename T>
    static Task::Pointer Create(json parameters) {
        parameters["description"] = "test";
        return TaskManager::CreateTask<T>(parameters);
    }
    // Waits until some records have passed through the watches.
    bool SomeRecordsPassed() { return SeenSample(printer_->Snapshot().samples + 20); }

    static sim::VirtualPrinter* printer_;
    TaskManager& manager_ = TaskManager::GetInstance();
    DataRecordWatcher& watcher_ = DataRecordWatcher::GetInstance();
    UiCollector ui_;
};

sim::VirtualPrinter* WaitsPrinterTest::printer_ = nullptr;

TEST_F(WaitsPrinterTest, SingleCommandsGoOutAndFinish) {
    std::vector<Task::Pointer> tasks = {
        Add(Create<T_DefinePosition>({{"axis", "X"}, {"value", 4000}})),
        Add(Create<T_DefinePosition>({{"axis", "E"}, {"value", -5}})),
        Add(Create<T_ServoHere>({{"axis", "Z"}})),
        Add(Create<T_MotorOff>({{"axis", "Z"}})),
    };
    for (const auto& task : tasks) {
        EXPECT_TRUE(Ends(task)) << task->GetName();
    }
    auto log = printer_->CommandLog(kMain);
    for (const char* command : {"DPA=4000", "DPD=-5", "SHC", "MOC"}) {
        EXPECT_NE(std::find(log.begin(), log.end(), command), log.end()) << command;
    }
    EXPECT_EQ(printer_->Snapshot().axes[0].reference, 4000);
}

TEST_F(WaitsPrinterTest, SingleCommandFailuresCancel) {
    UiCollector& ui = ui_;
    printer_->RejectCommand(kMain, "MOB", "motor busy");
    auto off = Add(Create<T_MotorOff>({{"axis", "Y"}}));
    auto define = Add(Create<T_DefinePosition>({{"axis", "Y"}}));
    ASSERT_TRUE(Ends(off, Task::CANCELLED));
    ASSERT_TRUE(Ends(define, Task::CANCELLED));
    ASSERT_TRUE(ui.WaitFor([](const std::vector<std::string>& texts) {
        int reasons = 0;
        for (const auto& text : texts) {
            reasons += text.find("cancellation_reason") != std::string::npos;
        }
        return reasons >= 2;
    }));
    std::vector<std::string> reasons;
    for (const auto& update : ui.Updates()) {
        if (update.contains("cancellation_reason")) {
            reasons.push_back(update.at("cancellation_reason"));
        }
    }
    EXPECT_NE(std::find(reasons.begin(), reasons.end(),
                        "<vrx_error><cmd>MOB</cmd>motor busy</vrx_error>"),
              reasons.end());
    bool missing_value = false;
    for (const auto& reason : reasons) {
        missing_value |= reason.rfind("Task Execution Error : ", 0) == 0;
    }
    EXPECT_TRUE(missing_value);
}

TEST_F(WaitsPrinterTest, StandingAxisFinishesWithoutStarting) {
    auto wait = Add(Create<T_MotionComplete>({{"axis", "Y"}}));
    ASSERT_TRUE(Ends(wait));
    EXPECT_FALSE(wait->HasStarted());
}

TEST_F(WaitsPrinterTest, MovingAxisFinishesWhenItStops) {
    for (const char* axis : {"X", "Z", "E"}) {
        SCOPED_TRACE(axis);
        const std::string letter = axis == std::string("X")   ? "A"
                                   : axis == std::string("Z") ? "C"
                                                              : "D";
        Command("JG" + letter + "=200");
        Command("BG" + letter);
        ASSERT_TRUE(RecordShowsMoving(letter[0] - 'A', true));
        auto wait = Add(Create<T_MotionComplete>({{"axis", axis}}));
        ASSERT_TRUE(Ends(wait, Task::RUNNING));
        ASSERT_TRUE(SomeRecordsPassed());
        EXPECT_TRUE(wait->IsStatus(Task::RUNNING));
        Command("ST" + letter);
        EXPECT_TRUE(Ends(wait));
    }
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
        auto wait = Add(Create<T_MotionComplete>({{"axis", "Y"}, {"polarity", c.polarity}}));
        if (c.complete) {
            EXPECT_TRUE(Ends(wait));
            continue;
        }
        ASSERT_TRUE(Ends(wait, Task::RUNNING));
        ASSERT_TRUE(SomeRecordsPassed());
        EXPECT_TRUE(wait->IsStatus(Task::RUNNING));
        printer_->ClearForcedRecordFields(kMain);
        EXPECT_TRUE(Ends(wait));
    }
}

TEST_F(WaitsPrinterTest, GroupWaitsForEveryAxis) {
    Command("JGA=200");
    Command("JGB=-200");
    Command("BGAB");
    ASSERT_TRUE(RecordShowsMoving(0, true));
    ASSERT_TRUE(RecordShowsMoving(1, true));
    auto group = Add(Create<T_GroupMotionComplete>({{"axes", "XYZ"}}));
    const auto children = group->GetSubTasks();
    ASSERT_EQ(children.size(), 3u);
    EXPECT_TRUE(Ends(children[2]));  // Z stands
    ASSERT_TRUE(Ends(children[0], Task::RUNNING));
    Command("STA");
    EXPECT_TRUE(Ends(children[0]));
    ASSERT_TRUE(SomeRecordsPassed());
    EXPECT_TRUE(group->IsStatus(Task::RUNNING));
    Command("STB");
    EXPECT_TRUE(Ends(group));

    auto empty = Add(Create<T_GroupMotionComplete>({{"axes", ""}}));
    EXPECT_TRUE(Ends(empty));
}

// The clock stands still while the dwell is checked sample by sample.
TEST_F(WaitsPrinterTest, DwellEndsAfterMoreThanItsSamples) {
    PauseClock();
    const uint64_t start = printer_->Snapshot().samples;
    auto task = Add(Create<T_Wait>({{"ms", 500}}));
    auto* dwell = static_cast<T_Wait*>(task.get());
    ASSERT_TRUE(Ends(task, Task::RUNNING));
    ASSERT_TRUE(Started(task));
    EXPECT_FALSE(dwell->IsElapsed());
    printer_->StepClock(500);
    ASSERT_TRUE(SeenSample(start + 499));
    EXPECT_FALSE(dwell->IsElapsed());
    EXPECT_TRUE(task->IsStatus(Task::RUNNING));
    printer_->StepClock(2);
    EXPECT_TRUE(Ends(task));
    EXPECT_GT(watcher_.GetSampleCounter() - static_cast<uint32_t>(start), 500u);
    printer_->ResumeClock();
}

TEST_F(WaitsPrinterTest, ZeroDwellEndsAtTheFirstLaterRecord) {
    PauseClock();
    auto task = Add(Create<T_Wait>({{"ms", 0}}));
    ASSERT_TRUE(Started(task));
    // The latest record was sampled before the clock was read: not past it.
    EXPECT_FALSE(static_cast<T_Wait*>(task.get())->IsElapsed());
    EXPECT_TRUE(task->IsStatus(Task::RUNNING));
    printer_->StepClock(2);
    EXPECT_TRUE(Ends(task));
    printer_->ResumeClock();
}

// The latest record is from just before a 16-bit wrap of sample_number, the
// clock read from just after it: the dwell still lasts its full time.
TEST_F(WaitsPrinterTest, DwellAcrossASampleNumberWrap) {
    PauseClock();
    const uint64_t wrap = (printer_->Snapshot().samples / 65536 + 2) * 65536;
    printer_->SetClock(wrap - 10);
    printer_->StepClock(1);
    ASSERT_TRUE(Eventually([&] {
        const auto record = watcher_.GetRecord();
        return record && SampleNumber(*record) == static_cast<uint16_t>(wrap - 9);
    }));
    printer_->SetClock(wrap + 5);
    auto task = Add(Create<T_Wait>({{"ms", 100}}));
    auto* dwell = static_cast<T_Wait*>(task.get());
    ASSERT_TRUE(Started(task));
    EXPECT_FALSE(dwell->IsElapsed());
    printer_->StepClock(60);
    ASSERT_TRUE(SeenSample(wrap + 64));
    EXPECT_FALSE(dwell->IsElapsed());
    EXPECT_TRUE(task->IsStatus(Task::RUNNING));
    printer_->StepClock(50);
    EXPECT_TRUE(Ends(task));
    printer_->ResumeClock();
}

TEST_F(WaitsPrinterTest, DwellWithoutMsIsCancelled) {
    auto task = Add(Create<T_Wait>(json::object()));
    EXPECT_TRUE(Ends(task, Task::CANCELLED));
}

json LevelSettings(bool recalculate, bool enabled) {
    return {{"recalculate", recalculate},
            {"enabled", enabled},
            {"xlimit", 99200},
            {"ylimit", 96500},
            {"xregions", 2},
            {"yregions", 2},
            {"samples", 1},
            {"description", "Level Bed"}};
}

// The commands of the log from the first `first` on.
std::vector<std::string> From(const std::vector<std::string>& log, const std::string& first) {
    auto start = std::find(log.begin(), log.end(), first);
    return std::vector<std::string>(start, log.end());
}

// A tilted bed probed at the default grid: every point's height lands in
// "zoffsets", then the controller's program takes over.
TEST_F(WaitsPrinterTest, BedLevelProbesTheGrid) {
    // The fixture's slow clock: the half-second settle before each probe must
    // outlast the record latency, or the probe reads the last point's record.
    const double x_slope = 0.05;
    const double y_slope = -0.06;
    printer_->SetBedTilt(x_slope, y_slope);
    auto run = Add(Create<T_BedLevel>(LevelSettings(true, true)));
    ASSERT_TRUE(
        Eventually([&] { return run->IsStatus(Task::FINISHED); }, std::chrono::seconds(60)));

    const auto log = printer_->CommandLog(kMain);
    const std::vector<std::string> prepare = {
        "AB",           "SH ABCE",     "LD 1,1,1,3,3", "DA zoffsets[0]", "DM zoffsets[4]",
        "xdist=49600",  "ydist=48250", "xregions=2",   "yregions=2",     "SP 20000,20000,20000",
        "PT 1,1,1,0,1", "PA0,0,4000"};
    const auto at = std::find(log.begin(), log.end(), "SH ABCE");
    ASSERT_NE(at, log.end());
    ASSERT_EQ(log.front(), "AB");
    EXPECT_EQ(
        std::vector<std::string>(log.begin(), log.begin() + std::min(log.size(), prepare.size())),
        prepare);
    // Points in serpentine order, each probed, stored and handed back.
    std::vector<std::string> moves;
    std::vector<std::string> stores;
    for (const auto& command : log) {
        if (command.rfind("PA", 0) == 0) {
            moves.push_back(command);
        }
        if (command.rfind("zoffsets[", 0) == 0) {
            stores.push_back(command.substr(0, command.find('=')));
        }
    }
    EXPECT_EQ(moves, (std::vector<std::string>{"PA0,0,4000", "PA49600,0,4000", "PA49600,48250,4000",
                                               "PA0,48250,4000", "PA 0,0,,,0"}));
    EXPECT_EQ(stores, (std::vector<std::string>{"zoffsets[0]", "zoffsets[1]", "zoffsets[3]",
                                                "zoffsets[2]"}));
    const std::vector<std::string> finish = {"LDC=3", "PA 0,0,,,0", "PT 0,0,1,0,0", "XQ"};
    EXPECT_EQ(From(log, "LDC=3"), finish);
    auto after_first_store = From(log, "PTC=1");
    ASSERT_GE(after_first_store.size(), 2u);
    EXPECT_EQ(after_first_store[1], "SPC=20000");

    const auto heights = printer_->Array("zoffsets");
    ASSERT_EQ(heights.size(), 4u);
    const double xs[] = {0, 49600, 0, 49600};
    const double ys[] = {0, 0, 48250, 48250};
    for (size_t i = 0; i < 4; ++i) {
        const double bed = x_slope * xs[i] + y_slope * ys[i];
        // Z stops just above the switch; how far depends on the record latency.
        EXPECT_GE(heights[i], bed - 2) << i;
        EXPECT_LE(heights[i], bed + 1000) << i;
    }
    EXPECT_TRUE(printer_->Snapshot().program_running);
    EXPECT_EQ(WaitForUiData(2),
              (std::vector<json>{{{"meshAvailable", false}, {"meshCalculating", true}},
                                 {{"meshAvailable", true}, {"meshCalculating", false}}}));
}

// The probed height is Z's reference position as the record reports it.
TEST_F(WaitsPrinterTest, BedLevelStoresTheRecordedZPosition) {
    printer_->SetSpeed(16);
    printer_->ForceRecordField(kMain, 158, 4, -1234);
    auto run = Add(Create<T_BedLevel>(LevelSettings(true, false)));
    ASSERT_TRUE(
        Eventually([&] { return run->IsStatus(Task::FINISHED); }, std::chrono::seconds(60)));
    const auto log = printer_->CommandLog(kMain);
    EXPECT_NE(std::find(log.begin(), log.end(), "zoffsets[2]=-1234"), log.end());
    EXPECT_EQ(From(log, "LDC=3"),
              (std::vector<std::string>{"LDC=3", "PA 0,0,,,0", "PT 0,0,1,0,0", "AB"}));
}

TEST_F(WaitsPrinterTest, BedLevelWithoutRecalculateOnlyEndsTheProgram) {
    auto run = Add(Create<T_BedLevel>(LevelSettings(false, false)));
    ASSERT_TRUE(Ends(run));
    EXPECT_EQ(printer_->CommandLog(kMain), (std::vector<std::string>{"AB"}));
    EXPECT_EQ(WaitForUiData(1),
              (std::vector<json>{{{"meshAvailable", true}, {"meshCalculating", false}}}));
}

TEST_F(WaitsPrinterTest, BedLevelCancelledWhileProbing) {
    auto run = Add(Create<T_BedLevel>(LevelSettings(true, true)));
    ASSERT_TRUE(printer_->WaitForCommand(kMain, "PA0,0,4000", std::chrono::seconds(10)));
    manager_.CancelTask(run->GetId());
    ASSERT_TRUE(Ends(run, Task::CANCELLED));
    const auto tail = From(printer_->CommandLog(kMain), "ST");
    ASSERT_GE(tail.size(), 2u);
    EXPECT_EQ(tail[1], "DA zoffsets[0]");
    EXPECT_EQ(WaitForUiData(2).back(),
              (json{{"meshAvailable", false}, {"meshCalculating", false}}));
    EXPECT_FALSE(printer_->Snapshot().program_running);
}

}  // namespace
