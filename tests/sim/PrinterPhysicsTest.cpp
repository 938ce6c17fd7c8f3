// What the printer does with the commands the server sends, on a clock stepped by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "PrinterClient.h"
#include "TemperatureConversion.h"
#include "VirtualPrinter.h"
#include "zenlibo.h"

namespace {

using sim::Controller;
using namespace std::chrono_literals;

constexpr int kA = 0;
constexpr int kB = 1;
constexpr int kC = 2;
constexpr uint16_t kMoving = 1u << 15;
constexpr uint16_t kTracking = 1u << 14;
constexpr uint16_t kNegative = 1u << 7;

sim::VirtualPrinterOptions Paused() {
    sim::VirtualPrinterOptions options;
    options.start_paused = true;
    return options;
}

ZDataRecord RecordOf(const sim::VirtualPrinter& printer, Controller controller) {
    ZDataRecord record;
    const sim::RecordBytes bytes = printer.CurrentRecord(controller);
    std::memcpy(&record, bytes.data(), sizeof(record));
    return record;
}

class PrinterPhysicsTest : public ::testing::Test {
  protected:
    PrinterPhysicsTest()
        : printer_(Paused()),
          main_(printer_, Controller::kMain),
          temperature_(printer_, Controller::kTemperature) {}

    sim::AxisSnapshot Axis(int index) { return printer_.Snapshot().axes[index]; }
    bool Moving(int index) { return (Axis(index).status & kMoving) != 0; }
    bool Idle() { return !Moving(kA) && !Moving(kB) && !Moving(kC); }
    int SwitchBit(int index) { return (Axis(index).switches >> 2) & 1; }
    // Steps the clock until `done` holds, at most `limit` samples.
    template <typename Done>
    void StepUntil(Done done, uint64_t limit = 20000, uint64_t step = 1) {
        for (uint64_t used = 0; used < limit; used += step) {
            printer_.StepClock(step);
            if (done())
                return;
        }
    }
    // Jogs C down onto its home switch and back up until the switch lets go.
    void ProbeWithC() {
        main_.Run({"JGC=-8000", "BGC"});
        StepUntil([&] { return SwitchBit(kC) == 0 && !Moving(kC); });
        main_.Run({"JGC=800", "BGC"});
        StepUntil([&] { return SwitchBit(kC) == 1; });
        main_.Run({"STC"});
        printer_.StepClock(1);
    }

    sim::VirtualPrinter printer_;
    PrinterClient main_;
    PrinterClient temperature_;
};

TEST_F(PrinterPhysicsTest, JogsStopAtTheHomeSwitchTheForwardLimitOrTheHardStop) {
    EXPECT_EQ(SwitchBit(kA), 1);
    main_.Run({"SHA", "LDA=1", "JGA=-2000", "BGA"});
    printer_.StepClock(1);
    EXPECT_EQ(Axis(kA).status & (kMoving | kNegative), kMoving | kNegative);
    StepUntil([&] { return !Moving(kA); });
    printer_.StepClock(1000);
    EXPECT_EQ(Axis(kA).reference, 0) << "stops and stays on the switch";
    EXPECT_EQ(SwitchBit(kA), 0);

    main_.Run({"JGA=800", "BGA"});
    StepUntil([&] { return SwitchBit(kA) == 1; }, 100);
    EXPECT_EQ(Axis(kA).status & (kMoving | kNegative), kMoving);
    main_.Run({"STA"});
    printer_.StepClock(1);
    EXPECT_FALSE(Moving(kA));
    EXPECT_LE(Axis(kA).reference, 2);
    main_.Run({"DPA=0", "ZAA=1"});
    EXPECT_EQ(main_.Ok("RP"), "0, 20000, 8000, 0, 0");
    EXPECT_EQ(Axis(kA).user_value, 1);

    main_.Run({"FLB=20100", "JGB=10000", "BGB"});
    StepUntil([&] { return !Moving(kB); }, 1000);
    EXPECT_EQ(Axis(kB).reference, 20100) << "the forward limit stops a jog";
    // With both limits disabled an axis passes its switch to the hard stop.
    main_.Run({"LD 3,3,3,3,3", "JGC=-8000", "BGC"});
    StepUntil([&] { return Axis(kC).reference < 0; });
    EXPECT_TRUE(Moving(kC)) << "does not stop at the switch";
    StepUntil([&] { return !Moving(kC); });
    EXPECT_EQ(Axis(kC).reference, -400);
    EXPECT_EQ(SwitchBit(kC), 0);
}

TEST_F(PrinterPhysicsTest, PositionTrackingReachesItsTargetsAndLeavesEmptyFieldsAlone) {
    main_.Run({"SP 20000,20000,20000", "PT 1,1,1,0,1", "PA49600,0,4000"});
    printer_.StepClock(1);
    EXPECT_EQ(Axis(kA).status & (kMoving | kTracking), kMoving | kTracking);
    StepUntil([&] { return Idle(); }, 10000);
    EXPECT_EQ(main_.Ok("RP"), "49600, 0, 4000, 0, 0");
    main_.Run({"PA 0,0,,,0"});
    StepUntil([&] { return Idle(); }, 10000);
    EXPECT_EQ(main_.Ok("RP"), "0, 0, 4000, 0, 0");
    main_.Run({"PT 0,0", "PAB=5000"});
    printer_.StepClock(100);
    EXPECT_EQ(Axis(kB).reference, 0) << "outside tracking PA only sets the target";
}

TEST_F(PrinterPhysicsTest, LinearSegmentsCompleteInOrderAndTheBufferEmpties) {
    main_.Run({"ST ABCDE", "STS", "CSS", "LM ABCD"});
    EXPECT_EQ(Axis(kA).status & (1u << 8), 1u << 8);
    main_.Run({"LI400,-120,,35, <20000", "LI400,,,, <20000", "LI,,,-35 <1000"});
    EXPECT_EQ(printer_.Snapshot().segment_buffer_free, 508);
    main_.Run({"BGS", "LE"});
    uint16_t last = 0;
    StepUntil(
        [&] {
            const sim::PrinterSnapshot now = printer_.Snapshot();
            EXPECT_GE(now.segment_count, last);
            EXPECT_LE(now.segment_count, last + 1) << "one segment at a time at these speeds";
            last = now.segment_count;
            return !now.coordinated_running;
        },
        10000);
    EXPECT_EQ(printer_.Snapshot().segment_count, 3);
    EXPECT_EQ(printer_.Snapshot().segment_buffer_free, 511);
    EXPECT_EQ(main_.Ok("RP"), "20800, 19880, 8000, 0, 0");
    EXPECT_FALSE(Moving(kA));
    main_.Run({"CSS"});
    EXPECT_EQ(printer_.Snapshot().segment_count, 0);
}

TEST_F(PrinterPhysicsTest, RefusedCommandsGiveTheControllersErrorText) {
    EXPECT_EQ(main_.Rejected("LI100,100 <100"), "9 No coordinate system defined");
    main_.Run({"LM AB", "DM zoffsets[4]", "MOC", "JGC=100"});
    using Row = std::pair<std::string, std::string>;
    for (const auto& [command, text] :
         {Row{"LI,,5 <100", "8 Axis not in the coordinate system"},
          Row{"LI1,1 <0", "3 Number out of range"}, Row{"BGC", "5 Motor off"},
          Row{"zoffsets[4]=1", "11 Array index out of range"},
          Row{"nothing[0]=1", "10 Array not declared"}, Row{"MG ydist", "12 Variable not defined"}})
        EXPECT_EQ(main_.Rejected(command), text);
    EXPECT_EQ(temperature_.Rejected("setext=abc"), "2 Invalid argument");
    EXPECT_EQ(temperature_.Rejected("BGA"), "1 Unrecognized command");
    for (int i = 0; i < 511; ++i) {
        ASSERT_EQ(main_.Send("LI1,1 <100"), Z_OK);
    }
    EXPECT_EQ(main_.Rejected("LI1,1 <100"), "7 Segment buffer full");
    EXPECT_EQ(printer_.Snapshot().segment_buffer_free, 0);
}

TEST_F(PrinterPhysicsTest, StopEndsJogsAndCoordinatedMotionAndMotorOffRefusesMotion) {
    main_.Run({"JGA=1000", "JGB=-1000", "BG AB"});
    printer_.StepClock(10);
    main_.Run({"STA"});
    printer_.StepClock(1);
    EXPECT_FALSE(Moving(kA));
    EXPECT_TRUE(Moving(kB));
    main_.Run({"ST"});
    printer_.StepClock(1);
    EXPECT_FALSE(Moving(kB));

    main_.Run({"LM ABCD", "LI100000 <1000", "BGS"});
    printer_.StepClock(10);
    EXPECT_TRUE(printer_.Snapshot().coordinated_running);
    EXPECT_TRUE(Moving(kA));
    main_.Run({"STS"});
    printer_.StepClock(1);
    EXPECT_FALSE(printer_.Snapshot().coordinated_running);
    EXPECT_FALSE(Moving(kA));
    EXPECT_EQ(printer_.Snapshot().segment_buffer_free, 511);

    main_.Run({"MOA", "JGA=100"});
    EXPECT_EQ(Axis(kA).status & 1u, 1u);
    EXPECT_EQ(main_.Send("BGA"), Z_ERR_COMMAND_REJECTED) << "motor off";
    main_.Run({"SH", "BGA"});
    printer_.StepClock(10);
    EXPECT_TRUE(Moving(kA));
}

TEST_F(PrinterPhysicsTest, TemperaturesApproachTheirSetPointsAndReadBackThroughTheInputs) {
    temperature_.Run({"setext=200", "setbed=60", "speed=127.5"});
    StepUntil([&] { return printer_.Snapshot().hot_end_c > 199.0; }, 200000, 100);
    StepUntil([&] { return printer_.Snapshot().bed_c > 59.0; }, 200000, 100);
    const ZDataRecord temperature = RecordOf(printer_, Controller::kTemperature);
    EXPECT_NEAR(temperature.temperature.temperature_input_a, 200, 1);
    EXPECT_NEAR(temperature.temperature.temperature_input_b, 60, 1);
    const ZDataRecord main = RecordOf(printer_, Controller::kMain);
    EXPECT_EQ(GetExtruderTemperature(main), temperature.temperature.temperature_input_a);
    EXPECT_EQ(GetBedTemperature(main), temperature.temperature.temperature_input_b);
    EXPECT_EQ(printer_.Snapshot().fan_speed, 127.5);

    temperature_.Run({"PM 0,0"});
    StepUntil([&] { return printer_.Snapshot().hot_end_c < 30.0; }, 400000, 100);
    EXPECT_LT(printer_.Snapshot().hot_end_c, 30.0);
}

// The server's own conversion reads the printer's analog inputs back as the temperatures.
TEST_F(PrinterPhysicsTest, EveryWholeDegreeReadsBackThroughTheServersConversion) {
    // The conversion's curve folds back at 98, 99 and from 295 degrees.
    const auto slack = [](int degrees) {
        return degrees == 98 || degrees == 99 || degrees >= 295 ? 5.0 : 0.0;
    };
    for (int degrees = 20; degrees <= 300; ++degrees) {
        printer_.SetTemperatures(degrees + 0.3, 320 - degrees - 0.3);
        const ZDataRecord record = RecordOf(printer_, Controller::kMain);
        EXPECT_NEAR(GetExtruderTemperature(record), degrees, slack(degrees));
        EXPECT_NEAR(GetBedTemperature(record), 320 - degrees, slack(320 - degrees));
    }
}

TEST_F(PrinterPhysicsTest, SampleNumberFollowsTheClockAndWraps) {
    ASSERT_EQ(ZRecordRate(main_.Handle(), 2.0), Z_OK);
    ASSERT_TRUE(printer_.WaitForRecordStreams(Controller::kMain, 5s));
    printer_.SetClock(65530);
    EXPECT_EQ(main_.Ok("MG TIME"), "65530.0000");
    printer_.StepClock(12);
    std::vector<uint16_t> samples;
    ZDataRecord record;
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(ZRecord(main_.Handle(), &record, 1), Z_OK);
        samples.push_back(record.std.sample_number);
    }
    EXPECT_EQ(samples, (std::vector<uint16_t>{65531, 65533, 65535, 1, 3, 5}));
}

TEST_F(PrinterPhysicsTest, VariablesArraysAndTheProgramFlag) {
    EXPECT_EQ(main_.Ok("MG _XQ"), "-1.0000");
    main_.Run({"DA zoffsets[0]", "DM zoffsets[4]", "zoffsets[3]=-1234", "xdist=49600"});
    EXPECT_EQ(main_.Ok("MG zoffsets[3]"), "-1234.0000");
    EXPECT_EQ(main_.Ok("MG xdist"), "49600.0000");
    main_.Run({"XQ"});
    EXPECT_EQ(main_.Ok("MG _XQ"), "0.0000");
    EXPECT_TRUE(printer_.Snapshot().program_running);
    main_.Run({"AB"});
    EXPECT_EQ(main_.Ok("MG _XQ"), "-1.0000");
    main_.Run({"DA zoffsets[0]"});
    EXPECT_TRUE(printer_.Array("zoffsets").empty());
}

TEST_F(PrinterPhysicsTest, TheProgramMakesZFollowTheSpareAxisPlusTheMesh) {
    // A 2 x 2 mesh over 0..1000 counts: the bed is 100 counts higher at X 1000.
    main_.Run({"DM zoffsets[4]", "zoffsets[0]=0", "zoffsets[1]=100", "zoffsets[2]=0",
               "zoffsets[3]=100", "xdist=1000", "ydist=1000", "xregions=2", "yregions=2", "DPA=500",
               "DPB=0", "DPC=0", "SPC=20000", "XQ"});
    printer_.StepClock(100);
    EXPECT_EQ(Axis(kC).reference, 50);
    EXPECT_EQ(Axis(kC).status & kTracking, kTracking);
    EXPECT_EQ(RecordOf(printer_, Controller::kMain).std.mesh_status & 1, 1);

    main_.Run({"LM ABDE", "LI500,,,,2000 <20000", "BGS", "LE"});
    StepUntil([&] { return !printer_.Snapshot().coordinated_running; }, 10000, 10);
    printer_.StepClock(100);
    EXPECT_EQ(main_.Ok("RP"), "1000, 0, 2100, 0, 2000");
    main_.Run({"AB"});
    EXPECT_EQ(RecordOf(printer_, Controller::kMain).std.mesh_status & 1, 0);
}

TEST_F(PrinterPhysicsTest, AJogOfZLeavesTheProgramUntilTrackingIsBack) {
    main_.Run({"XQ", "LDC=1", "JGC=-8000", "BGC"});
    StepUntil([&] { return !Moving(kC); });
    printer_.StepClock(500);
    EXPECT_EQ(Axis(kC).reference, 0) << "stays on the switch";
    main_.Run({"DPE=300", "PTC=1"});
    StepUntil([&] { return Axis(kC).reference == 300; });
    EXPECT_EQ(Axis(kC).reference, 300);
}

TEST_F(PrinterPhysicsTest, ProbingATiltedBedFindsItHigherAtTheFarSide) {
    printer_.SetBedTilt(0.01, 0.0);  // the bed is 496 counts higher at X 49600
    main_.Run({"SH ABCE", "LD 1,1,1,3,3", "SP 20000,20000,20000", "PT 1,1,1,0,1"});
    for (const auto& [move, expected] :
         {std::pair{"PA0,0,4000", 0}, std::pair{"PA49600,0,4000", 496}}) {
        main_.Run({move});
        StepUntil([&] { return Idle(); });
        EXPECT_EQ(Axis(kC).reference, 4000);
        ProbeWithC();
        EXPECT_NEAR(Axis(kC).reference, expected, 1) << move;
        main_.Run({"PTC=1", "SPC=20000"});
    }
}

TEST_F(PrinterPhysicsTest, NamedRejectionsAndTheCommandLog) {
    printer_.RejectCommand(Controller::kMain, "LI*", "99 No segments today");
    main_.Run({"LM AB"});
    EXPECT_EQ(main_.Rejected("LI1,1 <100"), "99 No segments today");
    printer_.ClearRejections(Controller::kMain);
    main_.Run({"LI1,1 <100"});
    EXPECT_EQ(printer_.CommandLog(Controller::kMain),
              (std::vector<std::string>{"LM AB", "LI1,1 <100", "TC1", "LI1,1 <100"}));
    EXPECT_TRUE(printer_.WaitForCommand(Controller::kMain, "LI1,1 <100", 1s, 2));
    EXPECT_FALSE(printer_.WaitForCommand(Controller::kMain, "LI1,1 <100", 10ms, 3));
}

TEST(PrinterClockTest, RunningClockFollowsTheSpeed) {
    sim::VirtualPrinterOptions options;
    options.speed = 50.0;
    sim::VirtualPrinter printer(options);
    EXPECT_TRUE(
        printer.WaitUntil([](const sim::PrinterSnapshot& s) { return s.samples > 5000; }, 10s));
    printer.PauseClock();
    const uint64_t paused_at = printer.Snapshot().samples;
    printer.StepClock(7);
    EXPECT_EQ(printer.Snapshot().samples, paused_at + 7);
}

}  // namespace
