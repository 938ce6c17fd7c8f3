#include "DataRecordWatcher.h"
#include "GCodeManager.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <unistd.h>

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
};

}  // namespace

TEST_F(GCodeManagerTest, LoadSettingsAppliesStepsInOrderUpToTheFirstFailure) {
    // Changes to valid settings (null erases a key), whether the load throws,
    // and what then holds.
    const std::tuple<const char*, bool, const char*> rows[] = {
        {R"({"xCounts":"80","zCounts":" 400abc"})", false,
         R"({"xCounts":80,"zCounts":400,"xLimit":19840,"yLimit":96500,"zLimit":83625,)"
         R"("feedrate":1500,"units":0})"},
        {R"({"xExtents":"0","yExtents":"0.001","globalUnits":"MM"})", false,
         R"({"xLimit":0,"yLimit":0,"units":1})"},
        {R"({"zExtents":"2684354.5"})", false, R"({"zLimit":4294967200})"},  // the largest
        {R"({"xCounts":400,"yCounts":"200"})", true, R"({"yCounts":400})"},
        {R"({"yCounts":"200","zCounts":"abc"})", true, R"({"yCounts":200,"zCounts":1600})"},
        {R"({"zExtents":"100","rapidSpeed":"1e999"})", true,
         R"({"zLimit":160000,"feedrate":1000})"},
        {R"({"globalUnits":null})", true, R"({"feedrate":1500,"units":1})"},
        // Limits that would wrap are refused.
        {R"({"yExtents":"-1"})", true, R"({"yLimit":96500})"},
        {R"({"zCounts":"-1600"})", true, R"({"zCounts":1600})"},
        {R"({"zExtents":"1e7"})", true, R"({"zLimit":334500})"},
        {R"({"zExtents":"nan"})", true, R"({"zLimit":334500})"},
        {R"({"zCounts":"nan","zExtents":"nan"})", true, R"({"zLimit":334500})"},
    };
    for (const auto& [changes, throws, expected] : rows) {
        SCOPED_TRACE(changes);
        json settings = json::parse(
            R"({"xCounts":"400","yCounts":"400","zCounts":"1600","eCounts":"400","xExtents":"248",)"
            R"("yExtents":"241.25","zExtents":"209.0625","rapidSpeed":"25","globalUnits":"mm"})");
        settings.merge_patch(json::parse(changes));
        Reset();
        if (throws) {
            EXPECT_ANY_THROW(manager_.LoadSettings(settings));
        } else {
            manager_.LoadSettings(settings);
        }
        const auto state = State();
        const json holds = json::parse(expected);
        for (const auto& [key, value] : holds.items()) {
            EXPECT_EQ(state.at(key), value.get<double>()) << key;
        }
    }
    EXPECT_ANY_THROW(manager_.LoadSettings(json::array()));
    EXPECT_ANY_THROW(manager_.LoadSettings("settings"));
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

TEST(GCodeFileReader, TellsAWholeReadFromAFileCutShortOrNotOpened) {
    using Read = GCodeManager::FileRead;
    TempDir dir;
    // Past one read chunk, so a read comes after the cut.
    std::string text;
    while (text.size() < (3u << 20)) {
        text += "; " + std::string(61, 'x') + "\n";
    }
    const std::string path = dir.WriteFile("cut.gcode", text);
    size_t lines = 0;
    const auto count = [&lines](std::string_view, uint32_t) { ++lines; };
    EXPECT_EQ(GCodeManager::ReadLines(path, count), Read::kWhole);
    EXPECT_EQ(lines, text.size() / 64);
    lines = 0;
    const auto cut = [&](std::string_view, uint32_t) {
        if (++lines == 1) {
            ASSERT_EQ(truncate(path.c_str(), 64), 0);
        }
    };
    EXPECT_EQ(GCodeManager::ReadLines(path, cut), Read::kCutShort);
    EXPECT_LT(lines, text.size() / 64);
    EXPECT_EQ(GCodeManager::ReadLines(path + ".missing", count), Read::kNotOpened);
    EXPECT_EQ(GCodeManager::ReadLines(dir.Path(), count), Read::kNotOpened);
}
