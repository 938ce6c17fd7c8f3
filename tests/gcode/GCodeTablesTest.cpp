#include "GCodeTables.h"

#include <gtest/gtest.h>

#include <algorithm>

using json = nlohmann::json;

TEST(GCodeTables, IgnoredCodesInOrder) {
    EXPECT_EQ(IgnoredGCodes,
              (std::vector<std::string>{"M73", "M862.3", "M862.1", "M115", "G80", "G83", "M83"}));
}

TEST(GCodeTables, SupportedCodes) {
    EXPECT_EQ(SupportedGCodes.size(), 277u);
    std::vector<std::string> carried_out;
    for (const auto& [code, supported] : SupportedGCodes) {
        if (supported) {
            carried_out.push_back(code);
        }
    }
    std::vector<std::string> expected = {"G0",   "G1",   "G4",   "G28",  "G29",  "G90",  "G92",
                                         "M17",  "M18",  "M84",  "M104", "M106", "M107", "M109",
                                         "M140", "M190", "M201", "M203", "M204"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(carried_out, expected);
    for (const char* known : {"T?", "M7219", "M862", "G38.2", "G59.3", "G425", "M73", "M115", "G80",
                              "M83", "M82", "G91", "T7", "M0"}) {
        EXPECT_EQ(SupportedGCodes.count(known), 1u) << known;
    }
    for (const char* unknown : {"M6", "T8", "M862.3", "M862.1", "G83", "G01", "g1", ""}) {
        EXPECT_EQ(SupportedGCodes.count(unknown), 0u) << unknown;
    }
}

TEST(CommandCatalogue, ExactEntries) {
    EXPECT_EQ(
        BuildCommandSpec("G4").dump(),
        R"j({"description":"Pause for a specified time","parameter_precedence":{"S":["P"]},)j"
        R"j("parameters":{"P":{"title":"Dwell time in milliseconds","type":"Integer"},)j"
        R"j("S":{"title":"Dwell time in seconds","type":"Float"}},"required_groups":[["P","S"]],)j"
        R"j("title":"Dwell"})j");
    EXPECT_EQ(BuildCommandSpec("M140").dump(),
              R"j({"description":"Set the bed temperature","ignored_parameters":["I"],)j"
              R"j("parameters":{"S":{"title":"Temperature","type":"Float"}},)j"
              R"j("required_groups":[["S"]],"title":"Set Bed Temperature"})j");
    EXPECT_EQ(
        BuildCommandSpec("G1").dump(),
        R"j({"description":"Linear move to a specific coordinate","ignored_parameters":["S"],)j"
        R"j("parameters":{"E":{"title":"Extrusion length","type":"Float"},)j"
        R"j("F":{"title":"Feedrate","type":"Float"},"X":{"title":"X coordinate","type":"Float"},)j"
        R"j("Y":{"title":"Y coordinate","type":"Float"},"Z":{"title":"Z coordinate","type":"Float"}},)j"
        R"j("required_groups":[["X","Y","Z","E","F"]],"title":"Linear Move"})j");
    EXPECT_EQ(
        BuildCommandSpec("M109").dump(),
        R"j({"description":"Wait for it to reach the target temperature",)j"
        R"j("ignored_parameters":["B","F","I","T"],)j"
        R"j("parameters":{"R":{"title":"Set and Wait Temperature (heat or cool)","type":"Float"},)j"
        R"j("S":{"title":"Set and Wait Temperature (heat only)","type":"Float"}},)j"
        R"j("required_groups":[["S","R"]],"title":"Set and Wait for Extruder Temperature"})j");
    EXPECT_EQ(
        BuildCommandSpec("M17").dump(),
        R"j({"description":"Enable steppers","parameters":{"E":{"title":"Extruder axis",)j"
        R"j("type":"None"},"X":{"title":"X axis","type":"None"},"Y":{"title":"Y axis",)j"
        R"j("type":"None"},"Z":{"title":"Z axis","type":"None"}},"title":"Enable Steppers"})j");
}

TEST(CommandCatalogue, TitlesAndShapes) {
    const std::pair<const char*, const char*> titles[] = {
        {"G0", "Linear Move"},
        {"G4", "Dwell"},
        {"G28", "Home"},
        {"G29", "Auto Bed Leveling"},
        {"G92", "Set Position"},
        {"M17", "Enable Steppers"},
        {"M18", "Disable Steppers"},
        {"M84", "Disable Steppers"},
        {"M104", "Set Extruder Temperature"},
        {"M106", "Fan On"},
        {"M107", "Fan Off"},
        {"M109", "Set and Wait for Extruder Temperature"},
        {"M140", "Set Bed Temperature"},
        {"M190", "Wait for Bed Temperature"},
    };
    for (const auto& [word, title] : titles) {
        const json entry = BuildCommandSpec(word);
        EXPECT_EQ(entry.at("title"), title) << word;
        EXPECT_TRUE(entry.at("description").is_string()) << word;
        EXPECT_TRUE(entry.contains("parameters")) << word;
        EXPECT_FALSE(entry.contains("ignored_if_missing")) << word;
        EXPECT_EQ(entry.contains("parameter_precedence"), std::string(word) == "G4") << word;
        if (entry.contains("required_groups")) {
            for (const json& group : entry["required_groups"]) {
                EXPECT_TRUE(group.is_array()) << word;
            }
        }
    }
    EXPECT_EQ(BuildCommandSpec("G0"), BuildCommandSpec("G1"));
    EXPECT_EQ(BuildCommandSpec("M18"), BuildCommandSpec("M84"));
    EXPECT_EQ(BuildCommandSpec("G28")["parameters"]["X"]["type"], "None");
    EXPECT_EQ(BuildCommandSpec("M190")["required_groups"].dump(), R"j([["S","R"]])j");
    EXPECT_EQ(BuildCommandSpec("M190")["ignored_parameters"].dump(), R"j(["I","T"])j");
    EXPECT_EQ(BuildCommandSpec("M106")["ignored_parameters"].dump(), R"j(["P","I","T"])j");
    EXPECT_EQ(BuildCommandSpec("M104")["ignored_parameters"].dump(), R"j(["B","F","I","T"])j");
    EXPECT_EQ(BuildCommandSpec("G92")["required_groups"].dump(), R"j([["X","Y","Z","E"]])j");
    EXPECT_EQ(BuildCommandSpec("G92")["parameters"]["E"]["title"], "Extruder coordinate");
    for (const char* word : {"G29", "M107"}) {
        const json entry = BuildCommandSpec(word);
        ASSERT_TRUE(entry.contains("parameters")) << word;
        EXPECT_TRUE(entry["parameters"].is_null()) << word;
        EXPECT_EQ(entry.size(), 3u) << word;
    }
}

TEST(CommandCatalogue, NoEntry) {
    for (const char* word : {"G90", "M201", "M203", "M204", "M105", "X10", "G01", "g1", ""}) {
        EXPECT_TRUE(BuildCommandSpec(word).is_null()) << word;
    }
}

TEST(CommandCatalogue, EachCallIsANewValue) {
    json first = BuildCommandSpec("G4");
    first["title"] = "changed";
    EXPECT_EQ(BuildCommandSpec("G4")["title"], "Dwell");
}
