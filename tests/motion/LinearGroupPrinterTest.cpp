// Linear groups streamed into the virtual printer through the real task
// worker and record thread. Where the order of events matters, the record
// fields segment_count and segment_buffer_free are forced, so the group sees
// exactly the counts the test gives it.
#include "DataRecordWatcher.h"
#include "MainConnection.h"
#include "T_LinearGroup.h"
#include "T_LinearMove.h"
#include "VirtualPrinter.h"
#include "tasks/TaskTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include <boost/make_shared.hpp>

using nlohmann::json;
using sim::Controller;

namespace {

constexpr size_t kCountOffset = 62;
constexpr size_t kBufferFreeOffset = 70;

// A group and its segments, in program order.
struct Built {
    boost::shared_ptr<T_LinearGroup> group;
    std::vector<boost::shared_ptr<T_LinearMove>> segments;
};

Built MakeGroup(const std::vector<json>& moves) {
    Built built;
    built.group = boost::make_shared<T_LinearGroup>(boost::make_shared<json>(
        json{{"description", moves.size() == 1 ? "~3Linear Move" : "Linear Group||"},
             {"resolutionX", 400.0},
             {"resolutionY", 400.0},
             {"resolutionZ", 1600.0},
             {"resolutionE", 400.0}}));
    for (json move : moves) {
        if (!move.contains("F")) {
            move["F"] = 3000.0;
        }
        auto segment = boost::make_shared<T_LinearMove>(boost::make_shared<json>(move));
        built.group->AddMove(segment);
        built.segments.push_back(segment);
    }
    return built;
}

// Moves of X to 50.5, 51.0, ... mm: each 200 counts on from the one before.
std::vector<json> Steps(int count, double feed = 3000.0) {
    std::vector<json> moves;
    for (int i = 1; i <= count; ++i) {
        moves.push_back({{"X", 50.0 + 0.5 * i}, {"F", feed}});
    }
    return moves;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

class LinearGroupPrinterTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Made before the connection, so it outlives it.
        static sim::VirtualPrinter printer(Options());
        printer_ = &printer;
        TaskManagerProbe::Halt();
        MainConnection::GetInstance().Connect(printer_->Address(Controller::kMain));
        DataRecordWatcher::GetInstance().Start(MainConnection::GetInstance().GetHandle());
        TaskManager::GetInstance().Start();
    }
    static void TearDownTestSuite() {
        // The stream first: no record thread may still read a group's watch
        // cells when the tasks are dropped.
        DataRecordWatcher::GetInstance().Stop();
        TaskManagerProbe::Halt();
        TaskManager::GetInstance().SetSendCallback(nullptr);
    }
    static sim::VirtualPrinterOptions Options() {
        sim::VirtualPrinterOptions options;
        // Slow enough that the record streams keep up under the sanitizers.
        options.speed = 4;
        return options;
    }

    void SetUp() override {
        ui_.Clear();
        ui_.Install();
        // Every group starts from a machine at rest.
        ASSERT_TRUE(printer_->WaitUntil(
            [](const sim::PrinterSnapshot& p) { return !p.coordinated_running; },
            std::chrono::seconds(10)));
        // X and Y at 50 mm, Z at 5 mm, E at 0.
        printer_->SetAxisPosition('A', 20000);
        printer_->SetAxisPosition('B', 20000);
        printer_->SetAxisPosition('C', 8000);
        printer_->SetAxisPosition('D', 0);
        printer_->ClearCommandLog(Controller::kMain);
    }
    void TearDown() override {
        printer_->ClearForcedRecordFields(Controller::kMain);
        printer_->ClearRejections(Controller::kMain);
        TaskManager::GetInstance().SetSendCallback([](std::string) {});
    }

    // Holds the controller's counts where the test puts them.
    static void Force(int64_t count, int64_t buffer_free) {
        printer_->ForceRecordField(Controller::kMain, kCountOffset, 2, count);
        printer_->ForceRecordField(Controller::kMain, kBufferFreeOffset, 2, buffer_free);
    }

    static std::vector<std::string> Log() { return printer_->CommandLog(Controller::kMain); }
    static size_t CountOf(const std::string& prefix) {
        const auto log = Log();
        return std::count_if(log.begin(), log.end(),
                             [&](const std::string& line) { return StartsWith(line, prefix); });
    }
    static bool Ends(const boost::shared_ptr<Task>& task, uint32_t status = Task::FINISHED) {
        return Eventually([&] { return task->IsStatus(status); });
    }
    // The "description" values of the group's partial updates, in order.
    std::vector<std::string> Progress(uint32_t id) {
        std::vector<std::string> texts;
        for (const json& update : ui_.Updates()) {
            if (update.value("id", 0u) == id && update.size() == 2 &&
                update.contains("description")) {
                texts.push_back(update.at("description"));
            }
        }
        return texts;
    }

    static sim::VirtualPrinter* printer_;
    // Lives for the whole binary: the worker may still send the last update of
    // a test's group after that test has ended.
    static UiCollector& ui_;
};

sim::VirtualPrinter* LinearGroupPrinterTest::printer_ = nullptr;
UiCollector& LinearGroupPrinterTest::ui_ = *new UiCollector;

}  // namespace

TEST_F(LinearGroupPrinterTest, StreamsMovingSegmentsAndSkipsTheOthers) {
    Built built = MakeGroup({{{"X", 51.0}},
                             {{"X", 51.0}, {"F", 1200.0}},
                             {{"Y", 51.0}},
                             {{"X", 52.0}, {"Y", 52.0}, {"E", 0.5}}});
    TaskManager::GetInstance().AddTask(built.group);
    ASSERT_TRUE(Ends(built.group));
    for (const auto& segment : built.segments) {
        EXPECT_TRUE(segment->IsStatus(Task::FINISHED));
    }
    EXPECT_EQ(built.segments[0]->GetSegmentNumber(), 1);
    EXPECT_EQ(built.segments[1]->GetSegmentNumber(), -1);
    EXPECT_EQ(built.segments[2]->GetSegmentNumber(), 2);
    EXPECT_EQ(built.segments[3]->GetSegmentNumber(), 3);

    // The set-up, then one LI per moving segment, one BGS and one LE.
    std::vector<std::string> log = Log();
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 4),
              (std::vector<std::string>{"MG _XQ", "ST ABCDE", "STS", "CSS"}));
    std::vector<std::string> segments;
    for (const auto& line : log) {
        if (StartsWith(line, "LI")) {
            segments.push_back(line);
        }
    }
    ASSERT_EQ(segments.size(), 3u);
    EXPECT_EQ(segments[0], "LI400,,,, <20000");
    EXPECT_EQ(segments[1], "LI,400,,, <20000");
    EXPECT_EQ(segments[2], "LI400,400,,200, <20000");
    EXPECT_EQ(CountOf("BGS"), 1u);
    EXPECT_EQ(CountOf("LE"), 1u);
    EXPECT_EQ(log.back(), "LE");
    ASSERT_TRUE(printer_->WaitUntil(
        [](const sim::PrinterSnapshot& p) {
            return !p.coordinated_running && p.axes[0].reference == 20800 &&
                   p.axes[1].reference == 20800;
        },
        std::chrono::seconds(10)));

    const auto progress = Progress(built.group->GetId());
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), "Linear Group|{3}|{3}");
}

TEST_F(LinearGroupPrinterTest, OneSegmentSendsNoProgressAndNoMotionSendsNothing) {
    Built single = MakeGroup({{{"Y", 50.5}}});
    TaskManager::GetInstance().AddTask(single.group);
    ASSERT_TRUE(Ends(single.group));
    EXPECT_TRUE(Progress(single.group->GetId()).empty());
    EXPECT_EQ(CountOf("LI"), 1u);

    // Nothing becomes outstanding: no BGS, no LE, and the skipped segments end.
    printer_->ClearCommandLog(Controller::kMain);
    Built still = MakeGroup({{{"F", 1200.0}}, {{"Y", 50.5}}});
    TaskManager::GetInstance().AddTask(still.group);
    ASSERT_TRUE(Ends(still.group));
    EXPECT_TRUE(still.segments[0]->IsStatus(Task::FINISHED));
    EXPECT_TRUE(still.segments[1]->IsStatus(Task::FINISHED));
    EXPECT_EQ(CountOf("LI"), 0u);
    EXPECT_EQ(CountOf("BGS"), 0u);
    EXPECT_EQ(CountOf("LE"), 0u);
    EXPECT_EQ(still.group->TotalSegments(), 0u);
}

TEST_F(LinearGroupPrinterTest, KeepsAtMost255SegmentsOutstanding) {
    Force(0, 300);
    Built built = MakeGroup(Steps(300));
    TaskManager::GetInstance().AddTask(built.group);
    ASSERT_TRUE(Eventually([] { return CountOf("LI") >= 255; }));
    // The count stands still, so nothing more is fed and the sequence stays open.
    ASSERT_TRUE(Eventually([] { return CountOf("BGS") == 1; }))
        << built.group->GetStatus() << " " << printer_->Snapshot().coordinated_running << " "
        << testing::PrintToString(Log());
    EXPECT_EQ(CountOf("LI"), 255u);
    EXPECT_EQ(CountOf("LE"), 0u);
    EXPECT_TRUE(built.segments[255]->IsStatus(Task::INITIALIZING));

    printer_->ClearForcedRecordFields(Controller::kMain);
    ASSERT_TRUE(Ends(built.group, Task::FINISHED));
    const auto log = Log();
    EXPECT_EQ(CountOf("LI"), 300u);
    EXPECT_EQ(CountOf("BGS"), 1u);
    ASSERT_EQ(CountOf("LE"), 1u);
    EXPECT_EQ(log.back(), "LE");
    EXPECT_TRUE(printer_->WaitUntil(
        [](const sim::PrinterSnapshot& p) { return p.axes[0].reference == 20000 + 300 * 200; },
        std::chrono::seconds(10)));
    EXPECT_EQ(Progress(built.group->GetId()).back(), "Linear Group|{300}|{300}");
}

TEST_F(LinearGroupPrinterTest, TheCountFinishesEarlierSegmentsAndCompletesItsOwn) {
    Force(0, 400);
    Built built = MakeGroup(Steps(6));
    TaskManager::GetInstance().AddTask(built.group);
    ASSERT_TRUE(Eventually([] { return CountOf("LE") == 1; }));
    Force(5, 400);
    ASSERT_TRUE(Ends(built.segments[4]));
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(built.segments[i]->IsStatus(Task::FINISHED));
    }
    EXPECT_TRUE(built.segments[5]->IsStatus(Task::RUNNING));
    EXPECT_FALSE(built.group->IsStatus(Task::FINISHED));
    // The buffer seen empty retires the rest.
    Force(5, 511);
    ASSERT_TRUE(Ends(built.group));
    EXPECT_TRUE(built.segments[5]->IsStatus(Task::FINISHED));
}

TEST_F(LinearGroupPrinterTest, PauseRequeuesAndResumeGoesOnFromTheStop) {
    TaskManager& manager = TaskManager::GetInstance();
    Force(0, 400);
    // 2 mm/s: the axes are still in the first segments when the group pauses.
    Built built = MakeGroup(Steps(20, 120.0));
    manager.AddTask(built.group);
    ASSERT_TRUE(Eventually([] { return CountOf("LE") == 1; }));
    Force(10, 400);
    ASSERT_TRUE(Ends(built.segments[9]));

    manager.PauseTask(built.group->GetId());
    EXPECT_TRUE(built.group->IsStatus(Task::PAUSED));
    EXPECT_EQ(built.group->CompletedSegments(), 10u);
    EXPECT_EQ(built.group->SegmentOffset(), 10u);
    EXPECT_TRUE(built.segments[10]->IsStatus(Task::PAUSED));
    auto log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()),
              (std::vector<std::string>{"ST ABCDE", "STS"}));

    // The stop has put the machine somewhere; resume starts there.
    ASSERT_TRUE(
        printer_->WaitUntil([](const sim::PrinterSnapshot& p) { return !p.coordinated_running; },
                            std::chrono::seconds(10)));
    const sim::PrinterSnapshot stopped = printer_->Snapshot();
    const int32_t stopped_at = stopped.axes[0].reference;
    // Records from before the stop are all in before the group resumes.
    ASSERT_TRUE(Eventually([&] {
        const uint32_t now = DataRecordWatcher::GetInstance().GetSampleCounter();
        return static_cast<int16_t>(static_cast<uint16_t>(now - stopped.samples)) > 0;
    }));
    printer_->ClearCommandLog(Controller::kMain);
    Force(0, 400);
    manager.ResumeTask(built.group->GetId());
    ASSERT_TRUE(Eventually([] { return CountOf("LE") == 1; }));
    // BGS waits for a record that shows the motion stopped, taken at the next
    // change of the watched fields (a running controller changes them all the time).
    Force(0, 401);
    ASSERT_TRUE(Eventually([] { return CountOf("BGS") == 1; }))
        << built.group->GetStatus() << " " << printer_->Snapshot().coordinated_running << " "
        << testing::PrintToString(Log());
    log = Log();
    EXPECT_EQ(log.front(), "RP");
    EXPECT_EQ(CountOf("CSS"), 1u);
    EXPECT_EQ(CountOf("BGS"), 1u);
    EXPECT_EQ(CountOf("MG _XQ"), 0u);
    EXPECT_EQ(CountOf("LI"), 10u);
    // Segment 11 goes from where the axes stopped to its own target (55.5 mm);
    // the others keep their commands.
    const std::string rebuilt = "LI" + std::to_string(22200 - stopped_at) + ",,,, <";
    EXPECT_TRUE(StartsWith(log.at(2), rebuilt)) << log.at(2);
    EXPECT_EQ(log.at(3), "LI200,,,, <800");

    // The controller counts from zero again: its 1 is segment 11.
    Force(1, 400);
    ASSERT_TRUE(Ends(built.segments[10]));
    EXPECT_TRUE(built.segments[11]->IsStatus(Task::RUNNING));
    printer_->ClearForcedRecordFields(Controller::kMain);
    ASSERT_TRUE(Ends(built.group));
    EXPECT_TRUE(printer_->WaitUntil(
        [](const sim::PrinterSnapshot& p) {
            return !p.coordinated_running && p.axes[0].reference == 24000;
        },
        std::chrono::seconds(10)));
    EXPECT_EQ(Progress(built.group->GetId()).back(), "Linear Group|{20}|{20}");
}

TEST_F(LinearGroupPrinterTest, CancelStopsTheMotion) {
    // 50 mm at 10 mm/s: five controller seconds.
    Built built = MakeGroup({{{"X", 100.0}, {"F", 600.0}}, {{"X", 50.0}, {"F", 600.0}}});
    TaskManager::GetInstance().AddTask(built.group);
    ASSERT_TRUE(
        printer_->WaitUntil([](const sim::PrinterSnapshot& p) { return p.coordinated_running; },
                            std::chrono::seconds(10)));
    TaskManager::GetInstance().CancelTask(built.group->GetId());
    EXPECT_TRUE(built.group->IsStatus(Task::CANCELLED));
    EXPECT_TRUE(built.segments[0]->IsStatus(Task::CANCELLED));
    EXPECT_EQ(Log().back(), "STS") << testing::PrintToString(Log());
    EXPECT_TRUE(
        printer_->WaitUntil([](const sim::PrinterSnapshot& p) { return !p.coordinated_running; },
                            std::chrono::seconds(10)));
    EXPECT_LT(printer_->Snapshot().axes[0].reference, 40000);
}

TEST_F(LinearGroupPrinterTest, ARejectedSegmentCancelsTheGroup) {
    printer_->RejectCommand(Controller::kMain, "LI*", "8 Axis not in the coordinate system");
    Built built = MakeGroup(Steps(3));
    TaskManager::GetInstance().AddTask(built.group);
    ASSERT_TRUE(Ends(built.group, Task::CANCELLED));
    EXPECT_EQ(CountOf("BGS"), 0u);
    // The update goes out after the step that cancelled the group.
    const uint32_t id = built.group->GetId();
    EXPECT_TRUE(Eventually([&] {
        for (const json& update : ui_.Updates()) {
            if (update.value("id", 0u) == id && update.contains("cancellation_reason")) {
                return update.at("cancellation_reason")
                           .get<std::string>()
                           .rfind("<vrx_error><cmd>LI", 0) == 0;
            }
        }
        return false;
    }));
}
