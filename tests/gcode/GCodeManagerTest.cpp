#include "GCodeManager.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <stdexcept>

using json = nlohmann::json;

namespace {

json Settings() {
    return {{"xCounts", "400"},       {"yCounts", "400"},   {"zCounts", "1600"},
            {"eCounts", "400"},       {"xExtents", "248"},  {"yExtents", "241.25"},
            {"zExtents", "209.0625"}, {"rapidSpeed", "25"}, {"globalUnits", "mm"}};
}

class GCodeManagerTest : public testing::Test {
  protected:
    // The manager is process-wide: every test starts from the built-in settings.
    void SetUp() override {
        for (const auto& [axis, counts] :
             {std::pair<const char*, double>{"X", 400}, {"Y", 400}, {"Z", 1600}, {"E", 400}}) {
            manager_.SetAxisResolution(axis, counts);
        }
        manager_.SetForwardLimit("X", 99200);
        manager_.SetForwardLimit("Y", 96500);
        manager_.SetForwardLimit("Z", 334500);
        manager_.SetFeedrate(1000.0);
        manager_.SetUnits("mm");
    }

    std::string WriteFile(const std::string& content) {
        const std::string path = testing::TempDir() + "gcode_manager_test_" +
                                 std::to_string(getpid()) + "_" + std::to_string(files_++);
        std::ofstream(path, std::ios::binary) << content;
        paths_.push_back(path);
        return path;
    }

    void TearDown() override {
        for (const std::string& path : paths_) {
            std::remove(path.c_str());
        }
    }

    GCodeManager& manager_ = GCodeManager::GetInstance();
    int files_ = 0;
    std::vector<std::string> paths_;
};

}  // namespace

TEST_F(GCodeManagerTest, LoadSettingsAppliesEveryStep) {
    json settings = Settings();
    settings["xCounts"] = "80";
    settings["zCounts"] = " 400abc";
    manager_.LoadSettings(settings);
    EXPECT_EQ(manager_.GetAxisResolution("X"), 80.0);
    EXPECT_EQ(manager_.GetAxisResolution("Z"), 400.0);
    EXPECT_EQ(manager_.GetForwardLimit("X"), 19840u);
    EXPECT_EQ(manager_.GetForwardLimit("Y"), 96500u);
    EXPECT_EQ(manager_.GetForwardLimit("Z"), 83625u);
    EXPECT_EQ(manager_.GetFeedrate(), 25 * 60.0);
    EXPECT_EQ(manager_.GetUnits(), 0);
    EXPECT_TRUE(manager_.IsAbsoluteAxis("X"));
    EXPECT_FALSE(manager_.IsAbsoluteAxis("E"));

    settings["xExtents"] = "0";
    settings["yExtents"] = "0.001";
    settings["globalUnits"] = "MM";
    manager_.LoadSettings(settings);
    EXPECT_EQ(manager_.GetForwardLimit("X"), 0u);
    EXPECT_EQ(manager_.GetForwardLimit("Y"), 0u);
    EXPECT_EQ(manager_.GetUnits(), 1);
    settings["globalUnits"] = 5;
    settings["globalUnits"] = "mm";
    manager_.LoadSettings(settings);
    EXPECT_EQ(manager_.GetUnits(), 0);
    settings["globalUnits"] = nullptr;
    manager_.LoadSettings(settings);
    EXPECT_EQ(manager_.GetUnits(), 1);
}

TEST_F(GCodeManagerTest, LoadSettingsStopsAtTheFirstFailure) {
    json settings = Settings();
    settings["xCounts"] = 400;
    settings["yCounts"] = "200";
    EXPECT_THROW(manager_.LoadSettings(settings), json::type_error);
    EXPECT_EQ(manager_.GetAxisResolution("Y"), 400.0);

    settings = Settings();
    settings["yCounts"] = "200";
    settings["zCounts"] = "abc";
    EXPECT_THROW(manager_.LoadSettings(settings), std::invalid_argument);
    EXPECT_EQ(manager_.GetAxisResolution("Y"), 200.0);
    EXPECT_EQ(manager_.GetAxisResolution("Z"), 1600.0);

    settings = Settings();
    settings["zExtents"] = "100";
    settings["rapidSpeed"] = "1e999";
    EXPECT_THROW(manager_.LoadSettings(settings), std::out_of_range);
    EXPECT_EQ(manager_.GetFeedrate(), 1000.0);
    EXPECT_EQ(manager_.GetForwardLimit("Z"), 160000u);

    settings = Settings();
    settings.erase("globalUnits");
    manager_.SetUnits("inch");
    EXPECT_THROW(manager_.LoadSettings(settings), json::out_of_range);
    EXPECT_EQ(manager_.GetFeedrate(), 1500.0);
    EXPECT_EQ(manager_.GetUnits(), 1);

    EXPECT_THROW(manager_.LoadSettings(json::array()), json::type_error);
    EXPECT_THROW(manager_.LoadSettings("settings"), json::type_error);
}

TEST_F(GCodeManagerTest, LoadSettingsRefusesLimitsThatWouldWrap) {
    json settings = Settings();
    settings["yExtents"] = "-1";
    EXPECT_THROW(manager_.LoadSettings(settings), std::out_of_range);
    EXPECT_EQ(manager_.GetForwardLimit("X"), 99200u);
    EXPECT_EQ(manager_.GetForwardLimit("Y"), 96500u);

    settings = Settings();
    settings["zCounts"] = "-1600";
    EXPECT_THROW(manager_.LoadSettings(settings), std::out_of_range);
    EXPECT_EQ(manager_.GetAxisResolution("Z"), 1600.0);

    settings = Settings();
    settings["zExtents"] = "1e7";
    EXPECT_THROW(manager_.LoadSettings(settings), std::out_of_range);
    EXPECT_EQ(manager_.GetForwardLimit("Z"), 334500u);
    settings["zExtents"] = "nan";
    EXPECT_THROW(manager_.LoadSettings(settings), std::out_of_range);
    settings["zCounts"] = "nan";
    EXPECT_THROW(manager_.LoadSettings(settings), std::out_of_range);

    settings = Settings();
    settings["zExtents"] = "2684354.5";  // 4294967200 counts: the largest that fit
    manager_.LoadSettings(settings);
    EXPECT_EQ(manager_.GetForwardLimit("Z"), 4294967200u);
}

TEST_F(GCodeManagerTest, SettersAndLookups) {
    manager_.SetAxisResolution("W", 12.5);
    EXPECT_EQ(manager_.GetAxisResolution("W"), 12.5);
    EXPECT_EQ(manager_.GetAxisResolution("Q"), 0.0);
    EXPECT_FALSE(manager_.IsAbsoluteAxis("Q"));
    manager_.SetForwardLimit("X", 1234);
    manager_.SetFeedrate(42.5);
    manager_.SetUnits("inch");
    EXPECT_EQ(manager_.GetFeedrate(), 42.5);
    EXPECT_EQ(manager_.GetUnits(), 1);
    EXPECT_EQ(manager_.GetBedLevelSettings(false, true).dump(),
              R"({"enabled":false,"recalculate":true,"samples":1,"xlimit":1234,"xregions":2,)"
              R"("ylimit":96500,"yregions":2})");
}

TEST_F(GCodeManagerTest, LoadFileCountsEveryPhysicalLine) {
    const std::string path =
        WriteFile("; header\r\n\r\n  \n;BREAKPOINT\r\nG28\r\ng1 x1 ; go\n\n;breakpoint\nM104 S2\r");
    manager_.LoadFile(path);
    const std::vector<GCode>& lines = manager_.GetLines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].GetLine(), ";BREAKPOINT");
    EXPECT_EQ(lines[0].GetLineNumber(), 4u);
    EXPECT_EQ(lines[1].GetLine(), "G28");
    EXPECT_EQ(lines[1].GetLineNumber(), 5u);
    EXPECT_EQ(lines[2].GetLine(), "G1 X1");
    EXPECT_EQ(lines[2].GetLineNumber(), 6u);
    EXPECT_EQ(lines[3].GetCommand(), ";BREAKPOINT");
    EXPECT_EQ(lines[3].GetLineNumber(), 8u);
    // Without a line feed the carriage return is part of the last line.
    EXPECT_EQ(lines[4].GetLine(), "M104 S2\r");
    EXPECT_EQ(lines[4].GetLineNumber(), 9u);
}

TEST_F(GCodeManagerTest, LoadFileReadsLinesAcrossReadChunks) {
    std::string content;
    for (int i = 1; i <= 60000; ++i) {
        content += "G1 X" + std::to_string(i) + (i % 2 ? " Y1.5\r\n" : "\n");
    }
    manager_.LoadFile(WriteFile(content));
    const std::vector<GCode>& lines = manager_.GetLines();
    ASSERT_EQ(lines.size(), 60000u);
    for (int i = 1; i <= 60000; ++i) {
        const GCode& line = lines[i - 1];
        ASSERT_EQ(line.GetLineNumber(), static_cast<uint32_t>(i));
        ASSERT_EQ(line.GetLine(), "G1 X" + std::to_string(i) + (i % 2 ? " Y1.5" : ""));
    }
}

TEST_F(GCodeManagerTest, LoadFileThatCannotBeOpened) {
    manager_.LoadFile(WriteFile("G28\n"));
    ASSERT_EQ(manager_.GetLines().size(), 1u);
    for (const std::string& path :
         {testing::TempDir() + "no_such_file.gcode", testing::TempDir()}) {
        testing::internal::CaptureStderr();
        manager_.LoadFile(path);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error opening the file\n");
        EXPECT_TRUE(manager_.GetLines().empty());
    }
}

TEST_F(GCodeManagerTest, VerifyFile) {
    const std::string path = WriteFile("G28\n\nM104\n;c\nG1 X1\r\nM105\nG4 P1 S1\nM83\n");
    EXPECT_EQ(
        manager_.VerifyFile(path).dump(),
        R"({"results":[{"errors":["At least one of the following parameters is required: S"],)"
        R"("line":"M104","line_number":3,"warnings":null},{"errors":null,"line":"M105",)"
        R"("line_number":6,"warnings":["This command is not currently supported by Tavik."]},)"
        R"({"errors":null,"line":"G4 P1 S1","line_number":7,"warnings":["The S parameter )"
        R"(takes precedence over the P parameter. The P parameter will be ignored."]}]})");
    EXPECT_EQ(manager_.VerifyFile(WriteFile("G28\nG1 X1\n; x\n")).dump(), R"({"results":null})");
    testing::internal::CaptureStderr();
    EXPECT_EQ(manager_.VerifyFile(path + ".missing").dump(), R"({"results":null})");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(manager_.ValidateProgram().dump(), R"({"results":null})");
}
