// The server's own conversion reads the printer's analog inputs back as the temperatures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "TemperatureConversion.h"
#include "VirtualPrinter.h"

namespace {

TEST(TemperatureReadBackTest, ServerConversionOfTheMainRecordGivesTheTemperature) {
    sim::VirtualPrinterOptions options;
    options.start_paused = true;
    sim::VirtualPrinter printer(options);
    for (int degrees = 20; degrees <= 300; ++degrees) {
        printer.SetTemperatures(degrees + 0.3, 320 - degrees - 0.3);
        sim::RecordBytes bytes = printer.CurrentRecord(sim::Controller::kMain);
        ZDataRecord record;
        std::memcpy(&record, bytes.data(), sizeof(record));
        // The conversion's curve folds back at 98, 99 and from 295 degrees.
        double hot_end = GetExtruderTemperature(record);
        double bed = GetBedTemperature(record);
        double slack_hot = (degrees == 98 || degrees == 99 || degrees >= 295) ? 5.0 : 0.0;
        int bed_degrees = 320 - degrees;  // 320 - degrees - 0.3, rounded
        double slack_bed =
            (bed_degrees == 98 || bed_degrees == 99 || bed_degrees >= 295) ? 5.0 : 0.0;
        EXPECT_NEAR(hot_end, degrees, slack_hot);
        EXPECT_NEAR(bed, bed_degrees, slack_bed);
    }
}

}  // namespace
