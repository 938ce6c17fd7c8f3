// What the printer does with the commands the server sends, on a clock stepped by hand.
// Homing, jogs, segments, heating and waits are checked where the server's tasks
// drive the printer; here what those do not reach.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "PrinterClient.h"
#include "TemperatureConversion.h"
#include "VirtualPrinter.h"
#include "zenlibo.h"

namespace {

using sim::Controller;

constexpr int kB = 1, kC = 2;                                 // axis indices
constexpr uint16_t kMoving = 1u << 15, kTracking = 1u << 14;  // axis status bits

class PrinterPhysicsTest : public ::testing::Test {
  protected:
    PrinterPhysicsTest()
        : printer_(sim::VirtualPrinterOptions{0, 0, 1.0, true}),  // a clock stepped by hand
          main_(printer_, Controller::kMain),
          temperature_(printer_, Controller::kTemperature) {}

    ZDataRecord MainRecord() {
        ZDataRecord record;
        std::memcpy(&record, printer_.CurrentRecord(Controller::kMain).data(), sizeof(record));
        return record;
    }
    sim::AxisSnapshot Axis(int index) { return printer_.Snapshot().axes[index]; }
    bool Moving(int index) { return (Axis(index).status & kMoving) != 0; }
    // Steps the clock until `done` holds, at most `limit` samples.
    template <typename Done>
    void StepUntil(Done done, uint64_t limit = 20000, uint64_t step = 1) {
        for (uint64_t used = 0; used < limit; used += step) {
            printer_.StepClock(step);
            if (done())
                return;
        }
    }

    sim::VirtualPrinter printer_;
    PrinterClient main_;
    PrinterClient temperature_;
};

TEST_F(PrinterPhysicsTest, JogsStopAtTheForwardLimitOrWithoutLimitsAtTheHardStop) {
    main_.Run({"FLB=20100", "JGB=10000", "BGB"});
    StepUntil([&] { return !Moving(kB); }, 1000);
    EXPECT_EQ(Axis(kB).reference, 20100) << "the forward limit stops a jog";
    // With both limits disabled an axis passes its switch to the hard stop.
    main_.Run({"LD 3,3,3,3,3", "JGC=-8000", "BGC"});
    StepUntil([&] { return Axis(kC).reference < 0; });
    EXPECT_TRUE(Moving(kC)) << "does not stop at the switch";
    StepUntil([&] { return !Moving(kC); });
    EXPECT_EQ(Axis(kC).reference, -400);
    EXPECT_EQ(Axis(kC).switches & 4, 0) << "beyond the switch";
}

TEST_F(PrinterPhysicsTest, RefusedCommandsGiveTheControllersErrorText) {
    EXPECT_EQ(main_.Rejected("LI100,100 <100"), "9 No coordinate system defined");
    main_.Run({"LM AB", "DM zoffsets[4]", "MOC", "JGC=100"});
    using Row = std::tuple<PrinterClient*, std::string, std::string>;
    for (const auto& [client, command, text] :
         {Row{&main_, "LI,,5 <100", "8 Axis not in the coordinate system"},
          Row{&main_, "LI1,1 <0", "3 Number out of range"}, Row{&main_, "BGC", "5 Motor off"},
          Row{&main_, "zoffsets[4]=1", "11 Array index out of range"},
          Row{&main_, "nothing[0]=1", "10 Array not declared"},
          Row{&main_, "MG ydist", "12 Variable not defined"},
          Row{&temperature_, "setext=abc", "2 Invalid argument"},
          Row{&temperature_, "BGA", "1 Unrecognized command"}})
        EXPECT_EQ(client->Rejected(command), text);
    main_.Run(std::vector<std::string>(511, "LI1,1 <100"));
    EXPECT_EQ(main_.Rejected("LI1,1 <100"), "7 Segment buffer full");
    EXPECT_EQ(printer_.Snapshot().segment_buffer_free, 0);
}

TEST_F(PrinterPhysicsTest, EveryWholeDegreeReadsBackThroughTheServersConversion) {
    // The conversion's curve folds back at 98, 99 and from 295 degrees.
    const auto slack = [](int degrees) {
        return degrees == 98 || degrees == 99 || degrees >= 295 ? 5.0 : 0.0;
    };
    for (int degrees = 20; degrees <= 300; ++degrees) {
        printer_.SetTemperatures(degrees + 0.3, 320 - degrees - 0.3);
        const ZDataRecord record = MainRecord();
        EXPECT_NEAR(GetExtruderTemperature(record), degrees, slack(degrees));
        EXPECT_NEAR(GetBedTemperature(record), 320 - degrees, slack(320 - degrees));
    }
}

TEST_F(PrinterPhysicsTest, TheProgramMakesZFollowTheSpareAxisPlusTheMesh) {
    // A 2 x 2 mesh over 0..1000 counts: the bed is 100 counts higher at X 1000.
    main_.Run({"DM zoffsets[4]", "zoffsets[0]=0", "zoffsets[1]=100", "zoffsets[2]=0",
               "zoffsets[3]=100", "xdist=1000", "ydist=1000", "xregions=2", "yregions=2", "DPA=500",
               "DPB=0", "DPC=0", "SPC=20000", "XQ"});
    printer_.StepClock(100);
    EXPECT_EQ(Axis(kC).reference, 50);
    EXPECT_EQ(Axis(kC).status & kTracking, kTracking);
    EXPECT_EQ(MainRecord().std.mesh_status & 1, 1);

    main_.Run({"LM ABDE", "LI500,,,,2000 <20000", "BGS", "LE"});
    StepUntil([&] { return !printer_.Snapshot().coordinated_running; }, 10000, 10);
    printer_.StepClock(100);
    EXPECT_EQ(main_.Ok("RP"), "1000, 0, 2100, 0, 2000");
    main_.Run({"AB"});
    EXPECT_EQ(MainRecord().std.mesh_status & 1, 0);
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

}  // namespace
