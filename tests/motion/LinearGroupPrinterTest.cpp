// Linear groups streamed into the virtual printer through the real task
// worker and record thread. Where the order of events matters, the record
// fields segment_count, segment_buffer_free and coordinated_status are forced,
// so the group sees exactly the counts and the motion the test gives it.
#include "DataRecordWatcher.h"
#include "PrinterTest.h"
#include "RecordFields.h"
#include "T_LinearGroup.h"
#include "T_LinearMove.h"

#include <algorithm>

using nlohmann::json;
using sim::Controller;

namespace {

// A group and its segments, in program order.
struct Built {
    boost::shared_ptr<T_LinearGroup> group;
    std::vector<boost::shared_ptr<T_LinearMove>> segments;
};

Built MakeGroup(const std::vector<json>& moves) {
    Built built{MakeTask<T_LinearGroup>(
                    {{"description", moves.size() == 1 ? "~3Linear Move" : "Linear Group||"},
                     {"resolutionX", 400.0},
                     {"resolutionY", 400.0},
                     {"resolutionZ", 1600.0},
                     {"resolutionE", 400.0}}),
                {}};
    for (json move : moves) {
        move.emplace("F", 3000.0);
        built.segments.push_back(MakeTask<T_LinearMove>(move));
        built.group->AddMove(built.segments.back());
    }
    return built;
}

// Moves of X to 50.5, 51.0, ... mm: each 200 counts on from the one before.
Built Steps(int count, double feed = 3000.0) {
    std::vector<json> moves;
    for (int i = 1; i <= count; ++i) {
        moves.push_back({{"X", 50.0 + 0.5 * i}, {"F", feed}});
    }
    return MakeGroup(moves);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

class LinearGroup : public PrinterTest {
  protected:
    // Slow enough that the record streams keep up under the sanitizers.
    static void SetUpTestSuite() { StartPrinter(4); }

    void SetUp() override {
        PrinterTest::SetUp();
        // Every group starts from a machine at rest: X and Y at 50 mm, Z at 5 mm, E at 0.
        ASSERT_TRUE(At([](const sim::PrinterSnapshot& p) { return !p.coordinated_running; }));
        for (const auto& [axis, counts] :
             {std::pair{'A', 20000}, {'B', 20000}, {'C', 8000}, {'D', 0}}) {
            printer_->SetAxisPosition(axis, counts);
        }
        // A count left by the last sequence could retire the next group's segments.
        Command("CSS");
        ASSERT_TRUE(Eventually([] {
            const auto record = DataRecordWatcher::GetInstance().GetRecord();
            return record && SegmentCount(*record) == 0;
        }));
        printer_->ClearCommandLog(Controller::kMain);
    }

    // Holds the controller's counts where the test puts them, with the
    // motion shown as ended: the group sees a motion run only where a test makes it.
    static void Force(int64_t count, int64_t buffer_free) {
        printer_->ForceRecordField(Controller::kMain, 62, 2, count);
        printer_->ForceRecordField(Controller::kMain, 70, 2, buffer_free);
        printer_->ForceRecordField(Controller::kMain, 64, 2, 0);
    }
    static bool At(const std::function<bool(const sim::PrinterSnapshot&)>& condition) {
        return printer_->WaitUntil(condition, std::chrono::seconds(10));
    }
    static size_t CountOf(const std::string& prefix) {
        const auto log = Log();
        return std::count_if(log.begin(), log.end(),
                             [&](const std::string& line) { return StartsWith(line, prefix); });
    }
    static bool Sent(const std::string& prefix, size_t count) {
        return Eventually([&] { return CountOf(prefix) == count; });
    }
    // The "description" of the group's last partial update; empty when none came.
    std::string Progress(uint32_t id) {
        std::string last;
        for (const json& update : ui_.Updates()) {
            if (update.value("id", 0u) == id && update.size() == 2 &&
                update.contains("description")) {
                last = update.at("description");
            }
        }
        return last;
    }
};

}  // namespace

TEST_F(LinearGroup, OneSegmentSendsNoProgressAndNoMotionSendsNothing) {
    Built single = MakeGroup({{{"Y", 50.5}}});
    ASSERT_TRUE(Run(single.group));
    EXPECT_EQ(Progress(single.group->GetId()), "");
    EXPECT_EQ(CountOf("LI"), 1u);

    // Nothing becomes outstanding: no BGS, no LE, and the skipped segments end.
    printer_->ClearCommandLog(Controller::kMain);
    Built still = MakeGroup({{{"F", 1200.0}}, {{"Y", 50.5}}});
    ASSERT_TRUE(Run(still.group));
    EXPECT_TRUE(still.segments[0]->IsStatus(Task::FINISHED) &&
                still.segments[1]->IsStatus(Task::FINISHED));
    EXPECT_EQ(CountOf("LI") + CountOf("BGS") + CountOf("LE"), 0u);
    EXPECT_EQ(still.group->TotalSegments(), 0u);
}

TEST_F(LinearGroup, KeepsAtMost255SegmentsOutstanding) {
    Force(0, 300);
    Built built = Steps(300);
    Start(built.group);
    ASSERT_TRUE(Eventually([] { return CountOf("LI") >= 255; }));
    // The count stands still, so nothing more is fed and the sequence stays open.
    ASSERT_TRUE(Sent("BGS", 1)) << testing::PrintToString(Log());
    EXPECT_EQ(CountOf("LI"), 255u);
    EXPECT_EQ(CountOf("LE"), 0u);
    EXPECT_TRUE(built.segments[255]->IsStatus(Task::INITIALIZING));
    // A segment paused and resumed by its own id is not sent again.
    TaskManager::GetInstance().PauseTask(built.segments[3]->GetId());
    TaskManager::GetInstance().ResumeTask(built.segments[3]->GetId());
    EXPECT_TRUE(built.segments[3]->IsStatus(Task::RUNNING));

    printer_->ClearForcedRecordFields(Controller::kMain);
    ASSERT_TRUE(Ends(built.group));
    EXPECT_EQ(std::vector<size_t>({CountOf("LI"), CountOf("BGS"), CountOf("LE")}),
              std::vector<size_t>({300, 1, 1}));
    EXPECT_EQ(Log().back(), "LE");
    EXPECT_TRUE(At([](const sim::PrinterSnapshot& p) { return p.axes[0].reference == 80000; }));
    EXPECT_EQ(Progress(built.group->GetId()), "Linear Group|{300}|{300}");
}

TEST_F(LinearGroup, CountsRetireSegmentsPauseRequeuesAndResumeGoesOnFromTheStop) {
    TaskManager& manager = TaskManager::GetInstance();
    Force(0, 400);
    // 2 mm/s: the axes are still in the first segments when the group pauses.
    Built built = Steps(20, 120.0);
    Start(built.group);
    ASSERT_TRUE(Sent("LE", 1));
    // The count finishes the earlier segments and completes its own.
    Force(10, 400);
    ASSERT_TRUE(Ends(built.segments[9]));
    for (int i = 0; i < 9; ++i) {
        EXPECT_TRUE(built.segments[i]->IsStatus(Task::FINISHED)) << i;
    }
    EXPECT_TRUE(built.segments[10]->IsStatus(Task::RUNNING));

    manager.PauseTask(built.group->GetId());
    EXPECT_TRUE(built.group->IsStatus(Task::PAUSED) && built.segments[10]->IsStatus(Task::PAUSED));
    EXPECT_EQ(built.group->CompletedSegments(), 10u);
    EXPECT_EQ(built.group->SegmentOffset(), 10u);
    auto log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2] + "; " + log.back(), "ST ABCDE; STS");

    // The stop has put the machine somewhere; resume starts there.
    ASSERT_TRUE(At([](const sim::PrinterSnapshot& p) { return !p.coordinated_running; }));
    const sim::PrinterSnapshot stopped = printer_->Snapshot();
    // Records from before the stop are all in before the group resumes.
    ASSERT_TRUE(Eventually([&] {
        const uint32_t now = DataRecordWatcher::GetInstance().GetSampleCounter();
        return static_cast<int16_t>(static_cast<uint16_t>(now - stopped.samples)) > 0;
    }));
    printer_->ClearCommandLog(Controller::kMain);
    Force(0, 400);
    manager.ResumeTask(built.group->GetId());
    ASSERT_TRUE(Sent("LE", 1));
    // BGS waits for a record that shows the motion stopped, taken at the next
    // change of the watched fields (a running controller changes them all the time).
    Force(0, 401);
    ASSERT_TRUE(Sent("BGS", 1)) << testing::PrintToString(Log());
    log = Log();
    EXPECT_EQ(log.front(), "RP");
    EXPECT_EQ(std::vector<size_t>({CountOf("CSS"), CountOf("MG _XQ"), CountOf("LI")}),
              std::vector<size_t>({1, 0, 10}));
    // Segment 11 goes from where the axes stopped to its own target (55.5 mm);
    // the others keep their commands.
    const std::string rebuilt = "LI" + std::to_string(22200 - stopped.axes[0].reference) + ",,,, <";
    EXPECT_TRUE(StartsWith(log.at(2), rebuilt)) << log.at(2);
    EXPECT_EQ(log.at(3), "LI200,,,, <800");

    // The controller counts from zero again: its 1 is segment 11.
    Force(1, 400);
    ASSERT_TRUE(Ends(built.segments[10]));
    EXPECT_TRUE(built.segments[11]->IsStatus(Task::RUNNING));
    EXPECT_TRUE(At([](const sim::PrinterSnapshot& p) {
        return !p.coordinated_running && p.axes[0].reference == 24000;
    }));
    EXPECT_FALSE(built.group->IsStatus(Task::FINISHED));
    // The count reaches the last segment with the buffer empty: all done.
    Force(10, 511);
    ASSERT_TRUE(Ends(built.group));
    EXPECT_TRUE(built.segments[19]->IsStatus(Task::FINISHED));
    EXPECT_EQ(Progress(built.group->GetId()), "Linear Group|{20}|{20}");
}

TEST_F(LinearGroup, AMotionEndedShortOfTheLastSegmentIsAStop) {
    Force(0, 400);
    Built built = Steps(5);
    Start(built.group);
    ASSERT_TRUE(Sent("LE", 1));
    // An empty buffer while the motion runs is a feed that lags: it goes on.
    for (const auto& [offset, value] : {std::pair{64, 0x8000}, {70, 511}, {62, 2}}) {
        printer_->ForceRecordField(Controller::kMain, offset, 2, value);
    }
    ASSERT_TRUE(
        Eventually([&] { return Progress(built.group->GetId()) == "Linear Group|{2}|{5}"; }));
    EXPECT_TRUE(built.group->IsStatus(Task::RUNNING) || built.group->IsStatus(Task::UPDATING));
    // Ended with segments left, even with some fed after the stop.
    printer_->ClearCommandLog(Controller::kMain);
    Force(2, 509);
    ASSERT_TRUE(Ends(built.group, Task::CANCELLED));
    EXPECT_TRUE(UiSaid(R"("cancellation_reason":"Motion stopped after 2 of 5 segments")"));
    EXPECT_TRUE(built.segments[2]->IsStatus(Task::CANCELLED));
    EXPECT_EQ(Log(), (std::vector<std::string>{"ST ABCDE", "STS"}));
}

TEST_F(LinearGroup, CancelStopsTheMotion) {
    // 50 mm at 10 mm/s: five controller seconds.
    Built built = MakeGroup({{{"X", 100.0}, {"F", 600.0}}, {{"X", 50.0}, {"F", 600.0}}});
    Start(built.group);
    ASSERT_TRUE(At([](const sim::PrinterSnapshot& p) { return p.coordinated_running; }));
    TaskManager::GetInstance().CancelTask(built.group->GetId());
    EXPECT_TRUE(built.group->IsStatus(Task::CANCELLED) &&
                built.segments[0]->IsStatus(Task::CANCELLED));
    EXPECT_EQ(Log().back(), "STS") << testing::PrintToString(Log());
    EXPECT_TRUE(At([](const sim::PrinterSnapshot& p) { return !p.coordinated_running; }));
    EXPECT_LT(printer_->Snapshot().axes[0].reference, 40000);
}

TEST_F(LinearGroup, ARejectedSegmentCancelsTheGroup) {
    printer_->RejectCommand(Controller::kMain, "LI*", "8 Axis not in the coordinate system");
    Built built = Steps(3);
    ASSERT_TRUE(Run(built.group, Task::CANCELLED));
    EXPECT_EQ(CountOf("BGS"), 0u);
    // The update goes out after the step that cancelled the group.
    EXPECT_TRUE(UiSaid(R"("cancellation_reason":"<vrx_error><cmd>LI)"));
}
