// Machine settings against the virtual printer: the forward limits that
// "loadSettings" sends, and the resolutions the status telemetry reads.
#include "DataRecordWatcher.h"
#include "GCodeManager.h"
#include "MainConnection.h"
#include "VirtualPrinter.h"
#include "VrxException.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using json = nlohmann::json;

namespace {

json Settings(const std::string& z_extent_mm) {
    return {{"xCounts", "400"},        {"yCounts", "400"},   {"zCounts", "1600"},
            {"eCounts", "400"},        {"xExtents", "248"},  {"yExtents", "241.25"},
            {"zExtents", z_extent_mm}, {"rapidSpeed", "25"}, {"globalUnits", "mm"}};
}

std::vector<std::string> LimitCommands(const sim::VirtualPrinter& printer) {
    std::vector<std::string> sent;
    for (const std::string& line : printer.CommandLog(sim::Controller::kMain)) {
        if (line.rfind("FL", 0) == 0) {
            sent.push_back(line);
        }
    }
    return sent;
}

}  // namespace

// One test, in order: the main connection is process-wide and cannot be closed;
// a repeated run connects it to its own printer again.
TEST(SettingsWithPrinter, ForwardLimitsGoToTheMainControllerOnceItIsOpen) {
    sim::VirtualPrinter printer;
    GCodeManager& manager = GCodeManager::GetInstance();

    if (!MainConnection::GetInstance().IsEnabled()) {  // the first run in this process
        manager.LoadSettings(Settings("100"));
        EXPECT_EQ(manager.GetForwardLimit("Z"), 160000u);
        EXPECT_TRUE(LimitCommands(printer).empty());
    }

    MainConnection::GetInstance().Connect(printer.Address(sim::Controller::kMain));
    manager.LoadSettings(Settings("209"));
    EXPECT_EQ(LimitCommands(printer),
              (std::vector<std::string>{"FLA=99200", "FLB=96500", "FLC=334400"}));

    // A rejected limit stops the load: neither the next limit nor the units.
    printer.ClearCommandLog(sim::Controller::kMain);
    printer.RejectCommand(sim::Controller::kMain, "FLB*", "limit refused");
    manager.SetUnits("inch");
    json settings = Settings("50");
    settings["rapidSpeed"] = "10";
    try {
        manager.LoadSettings(settings);
        ADD_FAILURE() << "the rejected limit did not throw";
    } catch (const VrxException& error) {
        EXPECT_EQ(error.GetSource(), "FLB=96500");
    }
    EXPECT_EQ(LimitCommands(printer), (std::vector<std::string>{"FLA=99200", "FLB=96500"}));
    EXPECT_EQ(manager.GetFeedrate(), 600.0);
    EXPECT_EQ(manager.GetForwardLimit("Z"), 80000u);
    EXPECT_EQ(manager.GetUnits(), 1);
}

TEST(SettingsWithPrinter, StatusTelemetryReadsTheManagersResolutions) {
    GCodeManager& manager = GCodeManager::GetInstance();
    DataRecordWatcher& watcher = DataRecordWatcher::GetInstance();
    ZDataRecord record{};
    record.std.axis_block[0].axis_reference_position = 2000;
    record.std.axis_block[0].axis_position_trusted = 1;
    json status;
    manager.SetAxisResolution("X", 400.0);
    watcher.UpdateStatus(status, nullptr, record);
    EXPECT_EQ(status["rpa"], "5");
    manager.SetAxisResolution("X", 100.0);
    watcher.UpdateStatus(status, nullptr, record);
    EXPECT_EQ(status["rpa"], "20");

    // The record thread reads while the command thread writes.
    std::atomic<bool> done{false};
    std::thread reader([&watcher, &record, &done] {
        json seen;
        ZDataRecord copy = record;
        while (!done.load()) {
            watcher.UpdateStatus(seen, nullptr, copy);
        }
    });
    for (int i = 0; i < 20000; ++i) {
        manager.SetAxisResolution("X", i % 2 ? 400.0 : 100.0);
        manager.SetAxisResolution("W", i);
    }
    done.store(true);
    reader.join();
    manager.SetAxisResolution("X", 400.0);
    watcher.UpdateStatus(status, nullptr, record);
    EXPECT_EQ(status["rpa"], "5");
}
