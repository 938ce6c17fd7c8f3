// What the printer does with the commands the server sends, on a clock stepped by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "PrinterClient.h"
#include "ThermistorCurve.h"
#include "VirtualPrinter.h"
#include "zenlibo.h"

namespace {

using sim::Controller;
using namespace std::chrono_literals;

constexpr int kA = 0;
constexpr int kB = 1;
constexpr int kC = 2;
constexpr int kD = 3;
constexpr int kE = 4;
constexpr uint16_t kMoving = 1u << 15;
constexpr uint16_t kNegative = 1u << 7;

sim::VirtualPrinterOptions Paused() {
    sim::VirtualPrinterOptions options;
    options.start_paused = true;
    return options;
}

class PrinterPhysicsTest : public ::testing::Test {
  protected:
    PrinterPhysicsTest()
        : printer_(Paused()),
          main_(printer_, Controller::kMain),
          temperature_(printer_, Controller::kTemperature) {}

    const sim::AxisSnapshot Axis(int index) { return printer_.Snapshot().axes[index]; }
    bool Moving(int index) { return (Axis(index).status & kMoving) != 0; }
    int SwitchBit(int index) { return (Axis(index).switches >> 2) & 1; }
    // Steps the clock until `done` holds, at most `limit` samples; the samples used.
    template <typename Done>
    uint64_t StepUntil(Done done, uint64_t limit, uint64_t step = 1) {
        uint64_t used = 0;
        do {
            printer_.StepClock(step);
            used += step;
        } while (!done() && used < limit);
        return used;
    }

    sim::VirtualPrinter printer_;
    PrinterClient main_;
    PrinterClient temperature_;
};

TEST_F(PrinterPhysicsTest, JogIntoTheHomeSwitchStopsThereAndLeavingFlipsTheBit) {
    EXPECT_EQ(SwitchBit(kA), 1);
    main_.Ok("SHA");
    main_.Ok("LDA=1");
    main_.Ok("JGA=-2000");
    main_.Ok("BGA");
    printer_.StepClock(1);
    EXPECT_EQ(Axis(kA).status & (kMoving | kNegative), kMoving | kNegative);
    StepUntil([&] { return !Moving(kA); }, 20000);
    EXPECT_EQ(Axis(kA).reference, 0);
    EXPECT_EQ(SwitchBit(kA), 0);
    printer_.StepClock(1000);
    EXPECT_EQ(Axis(kA).reference, 0) << "stays on the switch";

    main_.Ok("JGA=800");
    main_.Ok("BGA");
    StepUntil([&] { return SwitchBit(kA) == 1; }, 100);
    EXPECT_TRUE(Moving(kA));
    EXPECT_EQ(Axis(kA).status & kNegative, 0);
    main_.Ok("STA");
    printer_.StepClock(1);
    EXPECT_FALSE(Moving(kA));
    EXPECT_LE(Axis(kA).reference, 2);
    main_.Ok("DPA=0");
    main_.Ok("ZAA=1");
    EXPECT_EQ(main_.Ok("RP"), "0, 20000, 8000, 0, 0");
    EXPECT_EQ(Axis(kA).user_value, 1);
}

TEST_F(PrinterPhysicsTest, WithBothLimitsDisabledTheAxisPassesTheSwitchToItsHardStop) {
    main_.Ok("LD 3,3,3,3,3");
    main_.Ok("JGC=-8000");
    main_.Ok("BGC");
    StepUntil([&] { return Axis(kC).reference < 0; }, 20000);
    EXPECT_TRUE(Moving(kC)) << "does not stop at the switch";
    StepUntil([&] { return !Moving(kC); }, 20000);
    EXPECT_EQ(Axis(kC).reference, -400);
    EXPECT_EQ(SwitchBit(kC), 0);
}

TEST_F(PrinterPhysicsTest, PositionTrackingReachesItsTargetsAndLeavesEmptyFieldsAlone) {
    main_.Ok("SP 20000,20000,20000");
    main_.Ok("PT 1,1,1,0,1");
    main_.Ok("PA49600,0,4000");
    printer_.StepClock(1);
    sim::AxisSnapshot a = Axis(kA);
    EXPECT_EQ(a.status & (kMoving | (1u << 14)), kMoving | (1u << 14));
    StepUntil([&] { return !Moving(kA) && !Moving(kB) && !Moving(kC); }, 10000);
    EXPECT_EQ(main_.Ok("RP"), "49600, 0, 4000, 0, 0");
    main_.Ok("PA 0,0,,,0");
    StepUntil([&] { return !Moving(kA) && !Moving(kB); }, 10000);
    EXPECT_EQ(main_.Ok("RP"), "0, 0, 4000, 0, 0");
    main_.Ok("PT 0,0");
    main_.Ok("PAB=5000");
    printer_.StepClock(100);
    EXPECT_EQ(Axis(kB).reference, 0) << "outside tracking PA only sets the target";
}

TEST_F(PrinterPhysicsTest, LinearSegmentsCompleteInOrderAndTheBufferEmpties) {
    main_.Ok("ST ABCDE");
    main_.Ok("STS");
    main_.Ok("CSS");
    main_.Ok("LM ABCD");
    EXPECT_EQ(Axis(kA).status & (1u << 8), 1u << 8);
    main_.Ok("LI400,-120,,35, <20000");
    main_.Ok("LI400,,,, <20000");
    main_.Ok("LI,,,-35 <1000");
    EXPECT_EQ(printer_.Snapshot().segment_buffer_free, 508);
    main_.Ok("BGS");
    main_.Ok("LE");
    uint16_t last = 0;
    StepUntil(
        [&] {
            sim::PrinterSnapshot now = printer_.Snapshot();
            EXPECT_GE(now.segment_count, last);
            EXPECT_LE(now.segment_count, last + 1) << "one segment at a time at these speeds";
            last = now.segment_count;
            return !now.coordinated_running;
        },
        10000);
    sim::PrinterSnapshot done = printer_.Snapshot();
    EXPECT_EQ(done.segment_count, 3);
    EXPECT_EQ(done.segment_buffer_free, 511);
    EXPECT_EQ(main_.Ok("RP"), "20800, 19880, 8000, 0, 0");
    EXPECT_FALSE(Moving(kA));
    main_.Ok("CSS");
    EXPECT_EQ(printer_.Snapshot().segment_count, 0);
}

TEST_F(PrinterPhysicsTest, SegmentsMustFitTheCoordinateSystemAndTheBuffer) {
    EXPECT_EQ(main_.Rejected("LI100,100 <100"), "9 No coordinate system defined");
    main_.Ok("LM AB");
    EXPECT_EQ(main_.Rejected("LI,,5 <100"), "8 Axis not in the coordinate system");
    EXPECT_EQ(main_.Rejected("LI1,1 <0"), "3 Number out of range");
    for (int i = 0; i < 511; ++i) {
        ASSERT_EQ(main_.Send("LI1,1 <100"), Z_OK);
    }
    EXPECT_EQ(main_.Rejected("LI1,1 <100"), "7 Segment buffer full");
    EXPECT_EQ(printer_.Snapshot().segment_buffer_free, 0);
}

TEST_F(PrinterPhysicsTest, StopEndsJogsTrackingAndCoordinatedMotion) {
    main_.Ok("JGA=1000");
    main_.Ok("JGB=-1000");
    main_.Ok("BG AB");
    printer_.StepClock(10);
    main_.Ok("STA");
    printer_.StepClock(1);
    EXPECT_FALSE(Moving(kA));
    EXPECT_TRUE(Moving(kB));
    main_.Ok("ST");
    printer_.StepClock(1);
    EXPECT_FALSE(Moving(kB));

    main_.Ok("LM ABCD");
    main_.Ok("LI100000 <1000");
    main_.Ok("BGS");
    printer_.StepClock(10);
    EXPECT_TRUE(printer_.Snapshot().coordinated_running);
    EXPECT_TRUE(Moving(kA));
    main_.Ok("STS");
    printer_.StepClock(1);
    EXPECT_FALSE(printer_.Snapshot().coordinated_running);
    EXPECT_FALSE(Moving(kA));
    EXPECT_EQ(printer_.Snapshot().segment_buffer_free, 511);
}

TEST_F(PrinterPhysicsTest, MotorOffRefusesMotionUntilServoHere) {
    main_.Ok("MOA");
    EXPECT_EQ(Axis(kA).status & 1u, 1u);
    main_.Ok("JGA=100");
    EXPECT_EQ(main_.Rejected("BGA"), "5 Motor off");
    main_.Ok("SH");
    main_.Ok("BGA");
    printer_.StepClock(10);
    EXPECT_TRUE(Moving(kA));
}

TEST_F(PrinterPhysicsTest, ForwardLimitStopsAPositiveJog) {
    main_.Ok("FLA=20100");
    main_.Ok("JGA=10000");
    main_.Ok("BGA");
    StepUntil([&] { return !Moving(kA); }, 1000);
    EXPECT_EQ(Axis(kA).reference, 20100);
}

TEST_F(PrinterPhysicsTest, TemperaturesApproachTheirSetPointsAndReadBackThroughTheInputs) {
    temperature_.Ok("setext=200");
    temperature_.Ok("setbed=60");
    temperature_.Ok("speed=127.5");
    StepUntil([&] { return printer_.Snapshot().hot_end_c > 199.0; }, 200000, 100);
    StepUntil([&] { return printer_.Snapshot().bed_c > 59.0; }, 200000, 100);
    ZDataRecord temperature;
    sim::RecordBytes bytes = printer_.CurrentRecord(Controller::kTemperature);
    std::memcpy(&temperature, bytes.data(), sizeof(temperature));
    int32_t hot_end = temperature.temperature.temperature_input_a;
    int32_t bed = temperature.temperature.temperature_input_b;
    EXPECT_NEAR(hot_end, 200, 1);
    EXPECT_NEAR(bed, 60, 1);

    ZDataRecord main;
    bytes = printer_.CurrentRecord(Controller::kMain);
    std::memcpy(&main, bytes.data(), sizeof(main));
    EXPECT_EQ(sim::ThermistorCurve::TemperatureForAnalog(main.std.axis_block[kB].axis_analog_input),
              hot_end);
    EXPECT_EQ(sim::ThermistorCurve::TemperatureForAnalog(main.std.axis_block[kD].axis_analog_input),
              bed);
    EXPECT_EQ(printer_.Snapshot().fan_speed, 127.5);

    temperature_.Ok("PM 0,0");
    StepUntil([&] { return printer_.Snapshot().hot_end_c < 30.0; }, 400000, 100);
    EXPECT_LT(printer_.Snapshot().hot_end_c, 30.0);
    EXPECT_EQ(temperature_.Rejected("setext=abc"), "2 Invalid argument");
    EXPECT_EQ(temperature_.Rejected("BGA"), "1 Unrecognized command");
}

TEST_F(PrinterPhysicsTest, EveryWholeDegreeReadsBackExactly) {
    sim::ThermistorCurve curve;
    for (int degrees = 1; degrees <= sim::ThermistorCurve::kMaxDegrees; ++degrees) {
        double read =
            sim::ThermistorCurve::TemperatureForAnalog(curve.AnalogForTemperature(degrees));
        // The curve folds back around 99 and above 294 degrees: those read nearby.
        bool folded = degrees == 98 || degrees == 99 || (degrees >= 295 && degrees < 300);
        if (folded) {
            EXPECT_NEAR(read, degrees, 5);
        } else {
            EXPECT_EQ(read, degrees);
        }
    }
    // The server's own reference points of the conversion.
    EXPECT_EQ(sim::ThermistorCurve::TemperatureForResistance(100000), 25);
    EXPECT_EQ(sim::ThermistorCurve::TemperatureForResistance(22000), 60);
    EXPECT_EQ(sim::ThermistorCurve::TemperatureForResistance(150000), 16);
    EXPECT_EQ(sim::ThermistorCurve::TemperatureForResistance(1000), 163);
    EXPECT_EQ(sim::ThermistorCurve::TemperatureForAnalog(60000), 127);
    EXPECT_EQ(sim::ThermistorCurve::TemperatureForAnalog(50000), 23);
}

TEST_F(PrinterPhysicsTest, SampleNumberFollowsTheClockAndWraps) {
    ASSERT_EQ(ZRecordRate(main_.Handle(), 2.0), Z_OK);
    ASSERT_TRUE(printer_.WaitForRecordStreams(Controller::kMain, 5s));
    printer_.SetClock(65530);
    EXPECT_EQ(main_.Ok("MG TIME"), "65530.0000");
    printer_.StepClock(12);
    ZDataRecord record;
    uint16_t previous = 0;
    bool wrapped = false;
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(ZRecord(main_.Handle(), &record, 1), Z_OK);
        uint16_t sample = record.std.sample_number;
        wrapped = wrapped || (i > 0 && sample < previous);
        previous = sample;
    }
    EXPECT_TRUE(wrapped);
    EXPECT_EQ(previous, 5);  // 65531, 65533, 65535, 1, 3, 5
}

TEST_F(PrinterPhysicsTest, VariablesArraysAndTheProgramFlag) {
    EXPECT_EQ(main_.Ok("MG _XQ"), "-1.0000");
    main_.Ok("DA zoffsets[0]");
    main_.Ok("DM zoffsets[4]");
    main_.Ok("zoffsets[3]=-1234");
    EXPECT_EQ(main_.Ok("MG zoffsets[3]"), "-1234.0000");
    EXPECT_EQ(main_.Rejected("zoffsets[4]=1"), "11 Array index out of range");
    EXPECT_EQ(main_.Rejected("nothing[0]=1"), "10 Array not declared");
    main_.Ok("xdist=49600");
    EXPECT_EQ(main_.Ok("MG xdist"), "49600.0000");
    EXPECT_EQ(main_.Rejected("MG ydist"), "12 Variable not defined");
    main_.Ok("XQ");
    EXPECT_EQ(main_.Ok("MG _XQ"), "0.0000");
    EXPECT_TRUE(printer_.Snapshot().program_running);
    main_.Ok("AB");
    EXPECT_EQ(main_.Ok("MG _XQ"), "-1.0000");
    main_.Ok("DA zoffsets[0]");
    EXPECT_TRUE(printer_.Array("zoffsets").empty());
}

TEST_F(PrinterPhysicsTest, TheProgramMakesZFollowTheSpareAxisPlusTheMesh) {
    // A 2 x 2 mesh over 0..1000 counts: the bed is 100 counts higher at X 1000.
    for (const char* command :
         {"DM zoffsets[4]", "zoffsets[0]=0", "zoffsets[1]=100", "zoffsets[2]=0", "zoffsets[3]=100",
          "xdist=1000", "ydist=1000", "xregions=2", "yregions=2", "DPA=500", "DPB=0", "DPC=0",
          "SPC=20000", "XQ"}) {
        main_.Ok(command);
    }
    printer_.StepClock(100);
    EXPECT_EQ(Axis(kC).reference, 50);
    EXPECT_EQ(printer_.Snapshot().axes[kC].status & (1u << 14), 1u << 14);
    ZDataRecord record;
    sim::RecordBytes bytes = printer_.CurrentRecord(Controller::kMain);
    std::memcpy(&record, bytes.data(), sizeof(record));
    EXPECT_EQ(record.std.mesh_status & 1, 1);

    main_.Ok("LM ABDE");
    main_.Ok("LI500,,,,2000 <20000");
    main_.Ok("BGS");
    main_.Ok("LE");
    StepUntil([&] { return !printer_.Snapshot().coordinated_running; }, 10000, 10);
    printer_.StepClock(100);
    EXPECT_EQ(main_.Ok("RP"), "1000, 0, 2100, 0, 2000");
    main_.Ok("AB");
    record.std.mesh_status = 0;
    bytes = printer_.CurrentRecord(Controller::kMain);
    std::memcpy(&record, bytes.data(), sizeof(record));
    EXPECT_EQ(record.std.mesh_status & 1, 0);
}

TEST_F(PrinterPhysicsTest, AJogOfZLeavesTheProgramUntilTrackingIsBack) {
    main_.Ok("XQ");
    main_.Ok("LDC=1");
    main_.Ok("JGC=-8000");
    main_.Ok("BGC");
    StepUntil([&] { return !Moving(kC); }, 20000);
    printer_.StepClock(500);
    EXPECT_EQ(Axis(kC).reference, 0) << "stays on the switch";
    main_.Ok("DPE=300");
    main_.Ok("PTC=1");
    StepUntil([&] { return Axis(kC).reference == 300; }, 20000);
    EXPECT_EQ(Axis(kC).reference, 300);
}

TEST_F(PrinterPhysicsTest, ZHomingAsTheServerSendsIt) {
    for (const char* command :
         {"SHC", "LDC=1", "LD 3,3,3,3,3", "SP 10000,10000", "ST ABCE", "PT 1,1", "PA 0,0"}) {
        main_.Ok(command);
    }
    StepUntil([&] { return Axis(kA).reference == 0 && Axis(kB).reference == 0; }, 10000);
    for (const char* command : {"STAB", "PT 0,0", "JGC=-8000", "BGC"}) {
        main_.Ok(command);
    }
    StepUntil([&] { return SwitchBit(kC) == 0 && !Moving(kC); }, 10000);
    main_.Ok("JGC=800");
    main_.Ok("BGC");
    StepUntil([&] { return SwitchBit(kC) == 1; }, 10000);
    main_.Ok("STC");
    printer_.StepClock(1);
    EXPECT_FALSE(Moving(kC));
    for (const char* command : {"DPC=0", "ZAC=1", "DPE=0"}) {
        main_.Ok(command);
    }
    EXPECT_EQ(main_.Ok("RP"), "0, 0, 0, 0, 0");
}

TEST_F(PrinterPhysicsTest, BedLevellingAsTheServerSendsItFindsTheTiltedBed) {
    printer_.SetBedTilt(0.01, 0.0);  // the bed is 496 counts higher at X 49600
    for (const char* command :
         {"AB", "SH ABCE", "LD 1,1,1,3,3", "DA zoffsets[0]", "DM zoffsets[4]", "xdist=49600",
          "ydist=48250", "xregions=2", "yregions=2", "SP 20000,20000,20000", "PT 1,1,1,0,1"}) {
        main_.Ok(command);
    }
    struct Point {
        const char* move;
        int number;
    };
    for (const Point& point : {Point{"PA0,0,4000", 0}, Point{"PA49600,0,4000", 1},
                               Point{"PA49600,48250,4000", 3}, Point{"PA0,48250,4000", 2}}) {
        main_.Ok(point.move);
        StepUntil([&] { return !Moving(kA) && !Moving(kB) && !Moving(kC); }, 20000);
        EXPECT_EQ(Axis(kC).reference, 4000);
        main_.Ok("JGC=-8000");
        main_.Ok("BGC");
        StepUntil([&] { return SwitchBit(kC) == 0 && !Moving(kC); }, 20000);
        main_.Ok("JGC=800");
        main_.Ok("BGC");
        StepUntil([&] { return SwitchBit(kC) == 1; }, 20000);
        main_.Ok("STC");
        printer_.StepClock(1);
        main_.Ok("zoffsets[" + std::to_string(point.number) +
                 "]=" + std::to_string(Axis(kC).reference));
        main_.Ok("PTC=1");
        main_.Ok("SPC=20000");
    }
    std::vector<double> mesh = printer_.Array("zoffsets");
    ASSERT_EQ(mesh.size(), 4u);
    EXPECT_NEAR(mesh[0], 0, 1);
    EXPECT_NEAR(mesh[1], 496, 1);
    EXPECT_NEAR(mesh[2], 0, 1);
    EXPECT_NEAR(mesh[3], 496, 1);

    for (const char* command : {"LDC=3", "PA 0,0,,,0", "PT 0,0,1,0,0", "XQ"}) {
        main_.Ok(command);
    }
    StepUntil([&] { return !Moving(kA) && !Moving(kB) && !Moving(kC); }, 20000);
    EXPECT_NEAR(Axis(kC).reference, mesh[0], 0.5) << "Z follows the mesh at X 0";
    main_.Ok("LM ABDE");
    main_.Ok("LI24800,,,, <20000");
    main_.Ok("BGS");
    main_.Ok("LE");
    StepUntil([&] { return !printer_.Snapshot().coordinated_running && !Moving(kC); }, 20000);
    EXPECT_NEAR(Axis(kC).position_counts, (mesh[0] + mesh[1]) / 2, 0.5) << "halfway across";
}

TEST_F(PrinterPhysicsTest, ForcedRecordFieldsAndSwitches) {
    printer_.ForceRecordField(Controller::kMain, 70, 2, 100);
    printer_.ForceSwitch('B', 0);
    sim::RecordBytes bytes = printer_.CurrentRecord(Controller::kMain);
    EXPECT_EQ(bytes[70] | (bytes[71] << 8), 100);
    EXPECT_EQ(bytes[120] & 4, 0);
    printer_.ClearForcedRecordFields(Controller::kMain);
    printer_.ForceSwitch('B', -1);
    bytes = printer_.CurrentRecord(Controller::kMain);
    EXPECT_EQ(bytes[70] | (bytes[71] << 8), 511);
    EXPECT_EQ(bytes[120] & 4, 4);
}

TEST_F(PrinterPhysicsTest, NamedRejectionsAndTheCommandLog) {
    printer_.RejectCommand(Controller::kMain, "LI*", "99 No segments today");
    main_.Ok("LM AB");
    EXPECT_EQ(main_.Rejected("LI1,1 <100"), "99 No segments today");
    printer_.ClearRejections(Controller::kMain);
    main_.Ok("LI1,1 <100");
    std::vector<std::string> log = printer_.CommandLog(Controller::kMain);
    std::vector<std::string> expected = {"LM AB", "LI1,1 <100", "TC1", "LI1,1 <100"};
    EXPECT_EQ(log, expected);
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
    uint64_t paused_at = printer.Snapshot().samples;
    printer.StepClock(7);
    EXPECT_EQ(printer.Snapshot().samples, paused_at + 7);
}

}  // namespace
