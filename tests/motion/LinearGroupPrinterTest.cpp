// Linear groups streamed into the virtual printer through the real task
// worker and record thread. Where the order of events matters, the record
// fields segment_count, segment_buffer_free and coordinated_status are forced,
// so the group sees exactly the counts and the motion the test gives it; where
// what matters is a record taken too early, the records are held back.
#include "DataRecordWatcher.h"
#include "PrinterTest.h"
#include "RecordFields.h"
#include "T_LinearGroup.h"
#include "T_LinearMove.h"

#include <algorithm>
#include <optional>
#include <thread>

using nlohmann::json;
using namespace std::chrono_literals;
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

// Moves of X to 50.5, 51.0, ... mm: each 200 counts on from the one before;
// with `extrude`, each also extrudes 0.05 mm (20 counts) of E.
Built Steps(int count, double feed = 3000.0, bool extrude = false) {
    std::vector<json> moves;
    for (int i = 1; i <= count; ++i) {
        moves.push_back({{"X", 50.0 + 0.5 * i}, {"F", feed}});
        if (extrude) {
            moves.back()["E"] = 0.05;
        }
    }
    return MakeGroup(moves);
}

// Holds the main record stream back for a while from another thread, so a
// task that waits for a fresh record meanwhile is let go later.
class HeldRecords {
  public:
    HeldRecords(sim::VirtualPrinter& printer, std::chrono::milliseconds hold) : printer_(printer) {
        printer_.StallRecords(Controller::kMain, true);
        release_ = std::thread([this, hold] {
            std::this_thread::sleep_for(hold);
            printer_.StallRecords(Controller::kMain, false);
        });
    }
    ~HeldRecords() { release_.join(); }
    HeldRecords(const HeldRecords&) = delete;
    HeldRecords& operator=(const HeldRecords&) = delete;

  private:
    sim::VirtualPrinter& printer_;
    std::thread release_;
};

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

    // Holds the controller's counts where the test puts them and, when
    // `running` is given, the coordinated motion shown running or ended;
    // otherwise the records show the printer's own motion.
    static void Force(int64_t count, int64_t buffer_free, std::optional<bool> running = {}) {
        printer_->ForceRecordField(Controller::kMain, 62, 2, count);
        printer_->ForceRecordField(Controller::kMain, 70, 2, buffer_free);
        if (running) {
            printer_->ForceRecordField(Controller::kMain, 64, 2, *running ? 0x8000 : 0);
        }
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
    // Without "LE" the printer's motion waits for more segments: it runs on.
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

    // The axes stop first; the count and the positions are read after.
    printer_->ClearCommandLog(Controller::kMain);
    manager.PauseTask(built.group->GetId());
    EXPECT_TRUE(built.group->IsStatus(Task::PAUSED) && built.segments[10]->IsStatus(Task::PAUSED));
    EXPECT_EQ(built.group->CompletedSegments(), 10u);
    EXPECT_EQ(built.group->SegmentOffset(), 10u);
    EXPECT_EQ(Log(), (std::vector<std::string>{"ST ABCDE", "STS", "MG TIME", "RP"}));

    // The stop has put the machine somewhere; resume starts there.
    ASSERT_TRUE(At([](const sim::PrinterSnapshot& p) { return !p.coordinated_running; }));
    const sim::PrinterSnapshot stopped = printer_->Snapshot();
    printer_->ClearCommandLog(Controller::kMain);
    Force(0, 400);
    manager.ResumeTask(built.group->GetId());
    ASSERT_TRUE(Sent("LE", 1));
    auto log = Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 3),
              (std::vector<std::string>{"RP", "CSS", "MG TIME"}));
    EXPECT_EQ(
        std::vector<size_t>({CountOf("CSS"), CountOf("MG _XQ"), CountOf("LI"), CountOf("BGS")}),
        std::vector<size_t>({1, 0, 10, 1}));
    // Segment 11 goes from where the axes stopped to its own target (55.5 mm);
    // the others keep their commands.
    const auto first = std::find_if(log.begin(), log.end(),
                                    [](const std::string& line) { return StartsWith(line, "LI"); });
    ASSERT_NE(first, log.end());
    const std::string rebuilt = "LI" + std::to_string(22200 - stopped.axes[0].reference) + ",,,, <";
    EXPECT_TRUE(StartsWith(*first, rebuilt)) << *first;
    EXPECT_EQ(*std::next(first), "LI200,,,, <800");

    // The controller counts from zero again: its 1 is segment 11. The motion
    // is shown running while the printer's own ends.
    Force(1, 400, true);
    ASSERT_TRUE(Ends(built.segments[10]));
    EXPECT_TRUE(built.segments[11]->IsStatus(Task::RUNNING));
    EXPECT_TRUE(At([](const sim::PrinterSnapshot& p) {
        return !p.coordinated_running && p.axes[0].reference == 24000;
    }));
    EXPECT_FALSE(built.group->IsStatus(Task::FINISHED));
    // The count reaches the last segment and the motion ends: all done.
    Force(10, 511, false);
    ASSERT_TRUE(Ends(built.group));
    EXPECT_TRUE(built.segments[19]->IsStatus(Task::FINISHED));
    EXPECT_EQ(Progress(built.group->GetId()), "Linear Group|{20}|{20}");
}

TEST_F(LinearGroup, APauseCountsFromARecordTakenAfterTheStopAndTheCutMoveExtrudesItsRest) {
    TaskManager& manager = TaskManager::GetInstance();
    // 20 moves of 0.5 mm and 20 counts of E at 5 mm/s: 0.1 s each.
    Built built = Steps(20, 300.0, true);
    Start(built.group);
    ASSERT_TRUE(At([](const sim::PrinterSnapshot& p) { return p.segment_count >= 3; }));
    {
        // The controller completes segments that no record shows yet; the
        // pause waits for one taken after its stop.
        HeldRecords held(*printer_, 300ms);
        std::this_thread::sleep_for(150ms);
        manager.PauseTask(built.group->GetId());
    }
    ASSERT_TRUE(built.group->IsStatus(Task::PAUSED));
    const sim::PrinterSnapshot stopped = printer_->Snapshot();
    EXPECT_EQ(built.group->CompletedSegments(), stopped.segment_count);
    for (uint16_t i = 0; i < 20; ++i) {
        EXPECT_EQ(built.segments[i]->IsStatus(Task::FINISHED), i < stopped.segment_count) << i;
    }

    printer_->ClearCommandLog(Controller::kMain);
    manager.ResumeTask(built.group->GetId());
    ASSERT_TRUE(Ends(built.group));
    ASSERT_TRUE(At([](const sim::PrinterSnapshot& p) { return !p.coordinated_running; }));
    // No completed segment is sent again; the cut one goes on from the stop
    // to its planned end, with the E it has not extruded yet (when the stop
    // fell at its very end, nothing is left of it to send).
    const int32_t x_left = 20000 + 200 * (stopped.segment_count + 1) - stopped.axes[0].reference;
    const int32_t e_left = 20 * (stopped.segment_count + 1) - stopped.axes[3].reference;
    const bool cut_left = x_left != 0 || e_left != 0;
    EXPECT_EQ(CountOf("LI"), 20u - stopped.segment_count - (cut_left ? 0 : 1));
    const auto log = Log();
    const auto first = std::find_if(log.begin(), log.end(),
                                    [](const std::string& line) { return StartsWith(line, "LI"); });
    ASSERT_NE(first, log.end());
    const auto field = [](int32_t counts) { return counts != 0 ? std::to_string(counts) : ""; };
    const std::string cut = "LI" + field(x_left) + ",,," + field(e_left) + ", <";
    EXPECT_TRUE(StartsWith(*first, cut_left ? cut : "LI200,,,20, <")) << *first;
    const sim::PrinterSnapshot done = printer_->Snapshot();
    EXPECT_NEAR(done.axes[0].position_counts, 24000.0, 1.0);
    EXPECT_NEAR(done.axes[3].position_counts, 400.0, 1.0);
}

TEST_F(LinearGroup, AMoveRightAfterMotorsOffSwitchesThemOn) {
    // A and D off just before the group starts; until records come again,
    // the latest one shows them on.
    Command("MO AD");
    Built built = Steps(2);
    {
        HeldRecords held(*printer_, 200ms);
        Start(built.group);
        ASSERT_TRUE(Sent("MG _XQ", 1));
    }
    ASSERT_TRUE(Ends(built.group, Task::FINISHED)) << testing::PrintToString(Log());
    EXPECT_EQ(CountOf("SH"), 1u);
    EXPECT_EQ(CountOf("SH AD"), 1u);
    EXPECT_TRUE(At([](const sim::PrinterSnapshot& p) {
        return !p.coordinated_running && p.axes[0].reference == 20400;
    }));
}

TEST_F(LinearGroup, AMotionEndedShortOfTheLastSegmentIsAStop) {
    Force(0, 400);
    // 0.2 mm/s: the printer's own motion runs far longer than the test.
    Built built = Steps(5, 12.0);
    Start(built.group);
    ASSERT_TRUE(Sent("LE", 1));
    // An empty buffer while the motion runs is a feed that lags: it goes on.
    Force(2, 511, true);
    ASSERT_TRUE(
        Eventually([&] { return Progress(built.group->GetId()) == "Linear Group|{2}|{5}"; }));
    EXPECT_TRUE(built.group->IsStatus(Task::RUNNING) || built.group->IsStatus(Task::UPDATING));
    // Ended with segments left, even with some fed after the stop.
    printer_->ClearCommandLog(Controller::kMain);
    Force(2, 509, false);
    ASSERT_TRUE(Ends(built.group, Task::CANCELLED));
    EXPECT_TRUE(UiSaid(R"("cancellation_reason":"Motion stopped after 2 of 5 segments")"));
    EXPECT_TRUE(built.segments[2]->IsStatus(Task::CANCELLED));
    EXPECT_EQ(Log(), (std::vector<std::string>{"ST ABCDE", "STS", "MG TIME"}));
}

TEST_F(LinearGroup, ASequenceThatNoRecordShowsRunningIsAStop) {
    // What the records show when a stop lands between a group's "LI" and its
    // "BGS": the segments dropped, the motion begun on an empty buffer and
    // ended at once, and no record in between; none of the watched fields changes.
    Force(0, 511, false);
    Built built = Steps(3);
    Start(built.group);
    ASSERT_TRUE(Ends(built.group, Task::CANCELLED))
        << built.group->GetStatus() << testing::PrintToString(Log());
    EXPECT_TRUE(UiSaid(R"("cancellation_reason":"Motion stopped after 0 of 3 segments")"));
}

TEST_F(LinearGroup, CancelStopsTheMotion) {
    // 50 mm at 10 mm/s: five controller seconds.
    Built built = MakeGroup({{{"X", 100.0}, {"F", 600.0}}, {{"X", 50.0}, {"F", 600.0}}});
    Start(built.group);
    ASSERT_TRUE(At([](const sim::PrinterSnapshot& p) { return p.coordinated_running; }));
    TaskManager::GetInstance().CancelTask(built.group->GetId());
    EXPECT_TRUE(built.group->IsStatus(Task::CANCELLED) &&
                built.segments[0]->IsStatus(Task::CANCELLED));
    const auto log = Log();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ((std::vector<std::string>(log.end() - 3, log.end())),
              (std::vector<std::string>{"ST ABCDE", "STS", "MG TIME"}));
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
