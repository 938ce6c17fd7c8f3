// What the UI asks of the machine, at the printer's real speed: record-driven
// work (homing, probing, stops, pause and resume) must not depend on records
// arriving fast enough to hide a change that lasts a record or two.
#include "ServerPrinterTest.h"

#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using sim::Controller;
using sim::PrinterSnapshot;

constexpr uint16_t kMoving = 1u << 15;
constexpr uint16_t kTracking = 1u << 14;
constexpr uint16_t kNegative = 1u << 7;

// One scenario: the UI's messages, then the task that must end as told.
struct Scenario {
    const char* name;
    std::vector<json> messages;
    std::string label;  // "gcode_command" or class name of the task awaited
    std::string status;
    std::chrono::seconds timeout;
    // Sent once controller axis `axis` shows the motion bits `bits` (moving,
    // tracking, negative); the awaited task then ends within `timeout`.
    char axis = 0;
    uint16_t bits = 0;
    json stop = nullptr;
    std::string reason = "";  // the start of its cancellation reason
    std::string behind = "";  // a line queued behind it, cancelled with it
};

json HomeAxis(const std::string& axis) {
    return {{"command", "homeAxis"}, {"axis", axis}, {"description", "Home|{" + axis + "}|"}};
}

json LoadSample() {
    return {{"command", "loadGcode"}, {"file", SAMPLE_PROGRAM}, {"execute", true}};
}

json Terminal(const std::string& line) {
    return {{"command", "terminalCommand"}, {"data", line}};
}

json StopAxis(const std::string& axis) {
    return {{"command", "stopAxis"}, {"axis", axis}};
}

json Jog(const std::string& polarity, const std::string& speed) {
    return {{"command", "jogAxis"}, {"axis", "X"}, {"polarity", polarity}, {"speed", speed}};
}

// A small grid: points 8000 counts apart in X and 4000 in Y.
std::vector<json> LevelBed() {
    return {{{"command", "setForwardLimit"}, {"axis", "X"}, {"limit", 16000}},
            {{"command", "setForwardLimit"}, {"axis", "Y"}, {"limit", 8000}},
            {{"command", "bedLevel"}, {"enabled", false}, {"recalculate", true}}};
}

void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

class RealSpeedPrinter : public ServerPrinterTest {
  protected:
    RealSpeedPrinter() : ServerPrinterTest(sim::VirtualPrinterOptions{0, 0, 1.0, false}) {}
    void SetUp() override {
        ListenUi();
        OpenMain();
        OpenTemperature();
        // A second or so from their switches and warm already: travel and
        // heating at real speed are not what these scenarios are about.
        printer_.SetAxisPosition('A', 2000);
        printer_.SetAxisPosition('B', 2000);
        printer_.SetAxisPosition('C', 8000);
        printer_.SetTemperatures(80, 25);
    }
    // Waits until controller axis `axis` moves as `bits` (moving, tracking, negative) tell.
    bool AxisShows(char axis, uint16_t bits) {
        return printer_.WaitUntil(
            [=](const PrinterSnapshot& p) {
                return (p.axes[axis - 'A'].status & (kMoving | kTracking | kNegative)) == bits;
            },
            10s);
    }
};

class RealSpeed : public RealSpeedPrinter, public testing::WithParamInterface<Scenario> {};

TEST_P(RealSpeed, EndsAsTheUserExpects) {
    const Scenario& scenario = GetParam();
    for (const json& message : scenario.messages) {
        client_.Send(message);
    }
    if (!scenario.stop.is_null()) {
        ASSERT_TRUE(AxisShows(scenario.axis, scenario.bits));
        client_.Send(scenario.stop);
    }
    const json task = Await(scenario.label, scenario.status, -1, scenario.timeout);
    ASSERT_FALSE(task.is_null()) << server_.Stderr() << testing::PrintToString(tasks_);
    EXPECT_EQ(task.value("cancellation_reason", "").rfind(scenario.reason, 0), 0u)
        << task.value("cancellation_reason", "");
    if (!scenario.behind.empty()) {
        EXPECT_EQ(Await(scenario.behind, "CANCELLED", -1, 1s).value("cancellation_reason", ""),
                  "Previous Task in Queue Cancelled");
    }
    FinishAndLeave();
}

INSTANTIATE_TEST_SUITE_P(
    Machine, RealSpeed,
    testing::Values(Scenario{"HomeX", {HomeAxis("X")}, "T_Home", "FINISHED", 10s},
                    Scenario{"HomeY", {HomeAxis("Y")}, "T_Home", "FINISHED", 10s},
                    Scenario{"HomeZ", {HomeAxis("Z")}, "T_Home", "FINISHED", 20s},
                    Scenario{"G28", {Terminal("G28")}, "G28", "FINISHED", 20s},
                    Scenario{"SampleProgram", {LoadSample()}, "M104 S0", "FINISHED", 40s},
                    Scenario{"BedLevel", LevelBed(), "T_BedLevel", "FINISHED", 20s},
                    // A stop while an axis homes, probes or travels between points ends
                    // what it stops, and what waits for it.
                    Scenario{"StopWhileHoming",
                             {HomeAxis("X"), Terminal("G4 P10")},
                             "T_Home",
                             "CANCELLED",
                             2s,
                             'A',
                             kMoving | kNegative,
                             StopAxis("X"),
                             "Axis X stopped short of its limit switch",
                             "G4 P10"},
                    Scenario{"TypedStopWhileHoming",
                             {HomeAxis("Y"), Terminal("G4 P10")},
                             "T_Home",
                             "CANCELLED",
                             2s,
                             'B',
                             kMoving | kNegative,
                             Terminal("ST"),
                             "Axis Y stopped short of its limit switch",
                             "G4 P10"},
                    Scenario{"StopWhileCentring",
                             {HomeAxis("Z")},
                             "T_Home",
                             "CANCELLED",
                             2s,
                             'A',
                             kMoving | kTracking | kNegative,
                             StopAxis("X"),
                             "Axis X stopped at "},
                    Scenario{"StopWhileProbing", LevelBed(), "T_BedLevel", "CANCELLED", 2s, 'C',
                             kMoving | kNegative, StopAxis("Z"),
                             "Axis Z stopped short of its limit switch"},
                    Scenario{"StopWhileTravelling", LevelBed(), "T_BedLevel", "CANCELLED", 2s, 'A',
                             kMoving | kTracking, StopAxis("X"), "Axis X stopped at "}),
    [](const testing::TestParamInfo<Scenario>& info) { return info.param.name; });

// --- Levelling paused and resumed -----------------------------------------

// The most Z may run past its switch before the server stops it, in counts
// at 800 counts/s: half a second on a busy machine (no more than the heights
// of two points differ by), two under the sanitizers.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kProbeOvershoot = 1600;
#else
constexpr double kProbeOvershoot = 400;
#endif

// One levelling run paused and resumed once for each of `waits`: the first
// time once controller axis `axis` shows `bits` (at once for 0) and
// `waits[0]` of printer time have passed, then `waits[i]` after each resume.
struct LevelPause {
    const char* name;
    std::string label;  // "T_BedLevel" (the UI's "bedLevel") or "G29" (typed)
    char axis;
    uint16_t bits;
    std::vector<std::chrono::milliseconds> waits;
    // After the last resume, X is stopped on its way to the first point (1.5 s
    // from 30000 counts): the run ends CANCELLED as stopped short.
    bool stop = false;
};

void PrintTo(const LevelPause& row, std::ostream* out) {
    *out << row.name;
}

class LevelPaused : public RealSpeedPrinter, public testing::WithParamInterface<LevelPause> {
  protected:
    // Printer time from now.
    bool WaitSamples(std::chrono::milliseconds time) {
        const uint64_t until = printer_.Snapshot().samples + time.count();
        return printer_.WaitUntil([until](const PrinterSnapshot& p) { return p.samples >= until; },
                                  time + 10s);
    }
    bool Control(const char* command, uint32_t id, const std::string& label,
                 const std::string& status) {
        client_.Send({{"command", command}, {"id", id}});
        return !Await(label, status).is_null();
    }
};

TEST_P(LevelPaused, EndsAsIfNeverPaused) {
    const LevelPause& row = GetParam();
    // Z's switch, the probe, sits at a height of its own over each point.
    printer_.SetBedTilt(0.1, 0.3);
    printer_.SetAxisPosition('A', 30000);
    std::vector<json> messages = LevelBed();
    if (row.label == "G29") {
        messages.back() = Terminal("G29");
    }
    for (const json& message : messages) {
        client_.Send(message);
    }
    const json run = Await(row.label, "RUNNING");
    ASSERT_FALSE(run.is_null()) << server_.Stderr();
    const auto id = run["id"].get<uint32_t>();
    for (size_t cycle = 0; cycle < row.waits.size(); ++cycle) {
        if (cycle == 0 && row.axis != 0) {
            ASSERT_TRUE(AxisShows(row.axis, row.bits));
        }
        ASSERT_TRUE(WaitSamples(row.waits[cycle]));
        ASSERT_TRUE(Control("pauseTask", id, row.label, "PAUSED")) << cycle << server_.Stderr();
        ASSERT_TRUE(Stands());
        ASSERT_TRUE(WaitSamples(200ms));
        ASSERT_TRUE(Control("resumeTask", id, row.label, "RUNNING")) << cycle << server_.Stderr();
    }
    if (row.stop) {
        ASSERT_TRUE(AxisShows('A', kMoving | kTracking | kNegative));
        client_.Send(StopAxis("X"));
        ASSERT_EQ(End(row.label, -1, 5s), "CANCELLED") << server_.Stderr();
        EXPECT_EQ(Reason(row.label).rfind("Axis X stopped at ", 0), 0u) << Reason(row.label);
    } else {
        ASSERT_EQ(End(row.label, -1, 20s), "FINISHED") << Reason(row.label) << server_.Stderr();
        const std::vector<double> mesh = printer_.Array("zoffsets");
        ASSERT_EQ(mesh.size(), 4u);
        // Each point is where Z stood once off its switch: over it by what Z
        // runs at 800 counts/s until the server has seen the switch open and
        // stopped it, 2 counts on an idle machine, paused or not.
        const double heights[] = {0, 800, 1200, 2000};
        for (size_t i = 0; i < 4; ++i) {
            EXPECT_GT(mesh[i], heights[i]) << i;
            EXPECT_LT(mesh[i], heights[i] + kProbeOvershoot) << i;
        }
    }
    FinishAndLeave();
}

INSTANTIATE_TEST_SUITE_P(
    Levelling, LevelPaused,
    testing::Values(
        LevelPause{"Undisturbed", "T_BedLevel", 0, 0, {}},
        LevelPause{"At300ms", "T_BedLevel", 0, 0, {300ms}},
        LevelPause{"At1sThreeTimes", "T_BedLevel", 0, 0, {1000ms, 300ms, 300ms}},
        LevelPause{"At2500msTwice", "T_BedLevel", 0, 0, {2500ms, 300ms}},
        LevelPause{"TypedAt1sTwice", "G29", 0, 0, {1000ms, 500ms}},
        LevelPause{
            "WhileProbingThrice", "T_BedLevel", 'C', kMoving | kNegative, {0ms, 400ms, 400ms}},
        LevelPause{"WhileTravellingFourTimes",
                   "T_BedLevel",
                   'A',
                   kMoving | kTracking,
                   {0ms, 150ms, 150ms, 150ms}},
        LevelPause{
            "StoppedAfterResume", "T_BedLevel", 'A', kMoving | kTracking | kNegative, {0ms}, true},
        LevelPause{"StoppedAfterResumeAt1s", "T_BedLevel", 0, 0, {1000ms}, true}),
    [](const testing::TestParamInfo<LevelPause>& info) { return info.param.name; });

using RealSpeedJog = RealSpeedPrinter;

TEST_F(RealSpeedJog, PressedAgainAtAnotherSpeedJogsOnAndEndsWhenStopped) {
    client_.Send(Jog("Pos", "2000"));
    // The server's status shows X jogging: its records do.
    ASSERT_TRUE(ui_.ReceiveWhere([](const json& message) {
        return message.value("command", "") == "updateUI" && message["data"].contains("rpa") &&
               message["data"].value("jogPosX", false);
    }));
    // The records lag behind (a busy network): the newest one in when the new
    // jog starts was taken before the old jog's stop.
    // The old jog's stop is done only once a record shows X standing.
    printer_.StallRecords(Controller::kMain, true);
    client_.Send(Jog("Pos", "4000"));
    ASSERT_TRUE(printer_.WaitForCommand(Controller::kMain, "STA", 2s));
    std::this_thread::sleep_for(500ms);
    printer_.StallRecords(Controller::kMain, false);
    ASSERT_TRUE(printer_.WaitForCommand(Controller::kMain, "JGA=4000", 2s));
    // The old jog's stop, then the new one begins.
    ASSERT_TRUE(printer_.WaitForCommand(Controller::kMain, "BGA", 2s, 2));
    ASSERT_TRUE(AxisShows('A', kMoving));
    const PrinterSnapshot before = printer_.Snapshot();
    ASSERT_TRUE(printer_.WaitUntil(
        [&](const PrinterSnapshot& p) { return p.samples >= before.samples + 200; }, 2s));
    const PrinterSnapshot after = printer_.Snapshot();
    EXPECT_NEAR((after.axes[0].position_counts - before.axes[0].position_counts) /
                    static_cast<double>(after.samples - before.samples),
                4.0, 0.1);
    client_.Send(StopAxis("X"));
    EXPECT_FALSE(Await("T_Jog", "FINISHED", -1, 2s).is_null());
    FinishAndLeave();
}

TEST_F(RealSpeedJog, OntoTheSwitchEndsAndSoDoesTheSameJogPressedAgain) {
    printer_.SetAxisPosition('A', 600);
    client_.Send(Jog("Neg", "-2000"));
    ASSERT_FALSE(Await("T_Jog", "FINISHED", 0).is_null());
    client_.Send(Jog("Neg", "-2000"));
    EXPECT_FALSE(Await("T_Jog", "FINISHED", 1, 2500ms).is_null());
    FinishAndLeave();
}

}  // namespace
