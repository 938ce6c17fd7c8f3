#include "DataRecordWatcher.h"
#include "GCodeManager.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using json = nlohmann::json;

namespace {

class GCodeManagerTest : public testing::Test {
  protected:
    // The manager is process-wide: every case starts from the built-in settings.
    void Reset() {
        for (const auto& [axis, counts] :
             {std::pair<const char*, double>{"X", 400}, {"Y", 400}, {"Z", 1600}, {"E", 400}}) {
            manager_.SetAxisResolution(axis, counts);
        }
        manager_.SetForwardLimit("X", 99200);
        manager_.SetForwardLimit("Y", 96500);
        manager_.SetForwardLimit("Z", 334500);
        manager_.SetFeedrate(1000.0);
        manager_.SetUnits("inch");
    }
    std::map<std::string, double> State() const {
        return {{"xCounts", manager_.GetAxisResolution("X")},
                {"yCounts", manager_.GetAxisResolution("Y")},
                {"zCounts", manager_.GetAxisResolution("Z")},
                {"xLimit", manager_.GetForwardLimit("X")},
                {"yLimit", manager_.GetForwardLimit("Y")},
                {"zLimit", manager_.GetForwardLimit("Z")},
                {"feedrate", manager_.GetFeedrate()},
                {"units", manager_.GetUnits()}};
    }

    GCodeManager& manager_ = GCodeManager::GetInstance();
    TempDir dir_;
};

}  // namespace

TEST_F(GCodeManagerTest, LoadSettingsAppliesStepsInOrderUpToTheFirstFailure) {
    struct Row {
        json changes;  // "-" erases the key
        bool throws;
        std::map<std::string, double> expected;
    };
    const Row rows[] = {
        {{{"xCounts", "80"}, {"zCounts", " 400abc"}},
         false,
         {{"xCounts", 80},
          {"zCounts", 400},
          {"xLimit", 19840},
          {"yLimit", 96500},
          {"zLimit", 83625},
          {"feedrate", 1500},
          {"units", 0}}},
        {{{"xExtents", "0"}, {"yExtents", "0.001"}, {"globalUnits", "MM"}},
         false,
         {{"xLimit", 0}, {"yLimit", 0}, {"units", 1}}},
        {{{"globalUnits", nullptr}}, false, {{"feedrate", 1500}, {"units", 1}}},
        {{{"zExtents", "2684354.5"}}, false, {{"zLimit", 4294967200.0}}},  // the largest that fits
        {{{"xCounts", 400}, {"yCounts", "200"}}, true, {{"yCounts", 400}}},
        {{{"yCounts", "200"}, {"zCounts", "abc"}}, true, {{"yCounts", 200}, {"zCounts", 1600}}},
        {{{"zExtents", "100"}, {"rapidSpeed", "1e999"}},
         true,
         {{"zLimit", 160000}, {"feedrate", 1000}}},
        {{{"globalUnits", "-"}}, true, {{"feedrate", 1500}, {"units", 1}}},
        // Limits that would wrap are refused.
        {{{"yExtents", "-1"}}, true, {{"yLimit", 96500}}},
        {{{"zCounts", "-1600"}}, true, {{"zCounts", 1600}}},
        {{{"zExtents", "1e7"}}, true, {{"zLimit", 334500}}},
        {{{"zExtents", "nan"}}, true, {{"zLimit", 334500}}},
        {{{"zCounts", "nan"}, {"zExtents", "nan"}}, true, {{"zLimit", 334500}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.changes.dump());
        json settings = {{"xCounts", "400"},       {"yCounts", "400"},   {"zCounts", "1600"},
                         {"eCounts", "400"},       {"xExtents", "248"},  {"yExtents", "241.25"},
                         {"zExtents", "209.0625"}, {"rapidSpeed", "25"}, {"globalUnits", "mm"}};
        for (const auto& [key, value] : row.changes.items()) {
            if (value == "-") {
                settings.erase(key);
            } else {
                settings[key] = value;
            }
        }
        Reset();
        if (row.throws) {
            EXPECT_ANY_THROW(manager_.LoadSettings(settings));
        } else {
            manager_.LoadSettings(settings);
        }
        const auto state = State();
        for (const auto& [key, value] : row.expected) {
            EXPECT_EQ(state.at(key), value) << key;
        }
    }
    EXPECT_ANY_THROW(manager_.LoadSettings(json::array()));
    EXPECT_ANY_THROW(manager_.LoadSettings("settings"));
}

TEST_F(GCodeManagerTest, LoadFileReadsLinesAcrossReadChunks) {
    std::string content;
    for (int i = 1; i <= 60000; ++i) {
        content += "G1 X" + std::to_string(i) + (i % 2 ? " Y1.5\r\n" : "\n");
    }
    manager_.LoadFile(dir_.WriteFile("long.gcode", content));
    const std::vector<GCode>& lines = manager_.GetLines();
    ASSERT_EQ(lines.size(), 60000u);
    for (int i = 1; i <= 60000; ++i) {
        ASSERT_EQ(lines[i - 1].GetLineNumber(), static_cast<uint32_t>(i));
        ASSERT_EQ(lines[i - 1].GetLine(), "G1 X" + std::to_string(i) + (i % 2 ? " Y1.5" : ""));
    }
}

TEST_F(GCodeManagerTest, StatusTelemetryReadsTheResolutionsWhileTheyChange) {
    DataRecordWatcher& watcher = DataRecordWatcher::GetInstance();
    ZDataRecord record{};
    record.std.axis_block[0].axis_reference_position = 2000;
    record.std.axis_block[0].axis_position_trusted = 1;
    // The record thread reads while the command thread writes.
    std::atomic<bool> done{false};
    std::thread reader([&watcher, record, &done]() mutable {
        json seen;
        while (!done.load()) {
            watcher.UpdateStatus(seen, nullptr, record);
        }
    });
    for (int i = 0; i < 20000; ++i) {
        manager_.SetAxisResolution("X", i % 2 ? 400.0 : 100.0);
        manager_.SetAxisResolution("W", i);
    }
    done.store(true);
    reader.join();
    json status;
    watcher.UpdateStatus(status, nullptr, record);
    EXPECT_EQ(status["rpa"], "5");
}
