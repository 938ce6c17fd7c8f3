#include "GCodeTables.h"

#include <initializer_list>

using json = nlohmann::json;

const std::vector<std::string> IgnoredGCodes = {"M73", "M862.3", "M862.1", "M115",
                                                "G80", "G83",    "M83"};

namespace {

// The codes the machine carries out; every other known code is flagged false.
const char* const kCarriedOut[] = {"G0",   "G1",   "G4",   "G28",  "G29",  "G90",  "G92",
                                   "M17",  "M18",  "M84",  "M104", "M106", "M107", "M109",
                                   "M140", "M190", "M201", "M203", "M204"};

const char* const kKnownCodes[] = {
    "G0",   "G1",   "G2",   "G3",    "G4",    "G5",    "G6",    "G10",  "G11",  "G12",  "G17",
    "G18",  "G19",  "G20",  "G21",   "G26",   "G27",   "G28",   "G29",  "G30",  "G31",  "G32",
    "G33",  "G34",  "G35",  "G38.2", "G38.3", "G38.4", "G38.5", "G42",  "G53",  "G54",  "G55",
    "G56",  "G57",  "G58",  "G59",   "G59.1", "G59.2", "G59.3", "G60",  "G61",  "G76",  "G80",
    "G90",  "G91",  "G92",  "G425",  "M0",    "M1",    "M3",    "M4",   "M5",   "M7",   "M8",
    "M9",   "M10",  "M11",  "M16",   "M17",   "M18",   "M84",   "M20",  "M21",  "M22",  "M23",
    "M24",  "M25",  "M26",  "M27",   "M28",   "M29",   "M30",   "M31",  "M32",  "M33",  "M34",
    "M42",  "M43",  "M48",  "M73",   "M75",   "M76",   "M77",   "M78",  "M80",  "M81",  "M82",
    "M83",  "M85",  "M86",  "M87",   "M92",   "M100",  "M102",  "M104", "M105", "M106", "M107",
    "M108", "M109", "M110", "M111",  "M112",  "M113",  "M114",  "M115", "M117", "M118", "M119",
    "M120", "M121", "M122", "M123",  "M125",  "M126",  "M127",  "M128", "M129", "M140", "M141",
    "M143", "M145", "M149", "M150",  "M154",  "M155",  "M163",  "M164", "M165", "M166", "M190",
    "M191", "M192", "M193", "M200",  "M201",  "M203",  "M204",  "M205", "M206", "M207", "M208",
    "M209", "M211", "M217", "M218",  "M220",  "M221",  "M226",  "M240", "M250", "M255", "M256",
    "M260", "M261", "M280", "M281",  "M282",  "M290",  "M300",  "M301", "M302", "M303", "M304",
    "M305", "M306", "M350", "M351",  "M355",  "M360",  "M361",  "M362", "M363", "M364", "M380",
    "M381", "M400", "M401", "M402",  "M403",  "M404",  "M405",  "M406", "M407", "M410", "M412",
    "M413", "M420", "M421", "M422",  "M423",  "M425",  "M428",  "M430", "M486", "M493", "M500",
    "M501", "M502", "M503", "M504",  "M510",  "M511",  "M512",  "M524", "M540", "M569", "M575",
    "M592", "M593", "M600", "M603",  "M605",  "M665",  "M666",  "M672", "M701", "M702", "M710",
    "M808", "M810", "M811", "M812",  "M813",  "M814",  "M815",  "M816", "M817", "M818", "M819",
    "M851", "M852", "M860", "M861",  "M862",  "M863",  "M864",  "M865", "M866", "M867", "M868",
    "M869", "M871", "M876", "M900",  "M906",  "M907",  "M908",  "M909", "M910", "M911", "M912",
    "M913", "M914", "M915", "M916",  "M917",  "M918",  "M919",  "M928", "M951", "M993", "M994",
    "M995", "M997", "M999", "M7219", "T0",    "T1",    "T2",    "T3",   "T4",   "T5",   "T6",
    "T7",   "T?"};

std::map<std::string, bool> MakeSupportedGCodes() {
    std::map<std::string, bool> table;
    for (const char* code : kKnownCodes) {
        table.emplace(code, false);
    }
    for (const char* code : kCarriedOut) {
        table[code] = true;
    }
    return table;
}

json Parameter(const char* title, const char* type) {
    return json{{"title", title}, {"type", type}};
}

// Built letter by letter: a literal list of two strings inside a list would be
// read by the JSON library as an object member.
json Letters(std::initializer_list<const char*> letters) {
    json array = json::array();
    for (const char* letter : letters) {
        array.push_back(letter);
    }
    return array;
}

json OneGroup(std::initializer_list<const char*> letters) {
    json groups = json::array();
    groups.push_back(Letters(letters));
    return groups;
}

json Entry(const char* title, const char* description, json parameters) {
    json entry = json::object();
    entry["title"] = title;
    entry["description"] = description;
    entry["parameters"] = std::move(parameters);
    return entry;
}

json LinearMoveSpec() {
    json entry = Entry("Linear Move", "Linear move to a specific coordinate",
                       {{"X", Parameter("X coordinate", "Float")},
                        {"Y", Parameter("Y coordinate", "Float")},
                        {"Z", Parameter("Z coordinate", "Float")},
                        {"E", Parameter("Extrusion length", "Float")},
                        {"F", Parameter("Feedrate", "Float")}});
    entry["ignored_parameters"] = Letters({"S"});
    entry["required_groups"] = OneGroup({"X", "Y", "Z", "E", "F"});
    return entry;
}

json DwellSpec() {
    json entry = Entry("Dwell", "Pause for a specified time",
                       {{"P", Parameter("Dwell time in milliseconds", "Integer")},
                        {"S", Parameter("Dwell time in seconds", "Float")}});
    entry["parameter_precedence"] = {{"S", Letters({"P"})}};
    entry["required_groups"] = OneGroup({"P", "S"});
    return entry;
}

json HomeSpec() {
    return Entry("Home", "Home Axes",
                 {{"X", Parameter("Home X axis", "None")},
                  {"Y", Parameter("Home Y axis", "None")},
                  {"Z", Parameter("Home Z axis", "None")}});
}

json SetPositionSpec() {
    json entry = Entry("Set Position", "Set the current position to the specified coordinates",
                       {{"X", Parameter("X coordinate", "Float")},
                        {"Y", Parameter("Y coordinate", "Float")},
                        {"Z", Parameter("Z coordinate", "Float")},
                        {"E", Parameter("Extruder coordinate", "Float")}});
    entry["required_groups"] = OneGroup({"X", "Y", "Z", "E"});
    return entry;
}

json StepperSpec(const char* title, const char* description) {
    return Entry(title, description,
                 {{"X", Parameter("X axis", "None")},
                  {"Y", Parameter("Y axis", "None")},
                  {"Z", Parameter("Z axis", "None")},
                  {"E", Parameter("Extruder axis", "None")}});
}

// An entry whose only parameter is the S value of a temperature or speed.
json SingleSSpec(const char* title, const char* description, const char* s_title,
                 std::initializer_list<const char*> ignored) {
    json entry = Entry(title, description, {{"S", Parameter(s_title, "Float")}});
    entry["ignored_parameters"] = Letters(ignored);
    entry["required_groups"] = OneGroup({"S"});
    return entry;
}

// An entry that waits for a temperature given as S (heat only) or R.
json WaitSpec(const char* title, const char* description,
              std::initializer_list<const char*> ignored) {
    json entry = Entry(title, description,
                       {{"S", Parameter("Set and Wait Temperature (heat only)", "Float")},
                        {"R", Parameter("Set and Wait Temperature (heat or cool)", "Float")}});
    entry["ignored_parameters"] = Letters(ignored);
    entry["required_groups"] = OneGroup({"S", "R"});
    return entry;
}

}  // namespace

const std::map<std::string, bool> SupportedGCodes = MakeSupportedGCodes();

json BuildCommandSpec(const std::string& command) {
    if (command == "G0" || command == "G1") {
        return LinearMoveSpec();
    }
    if (command == "G4") {
        return DwellSpec();
    }
    if (command == "G28") {
        return HomeSpec();
    }
    if (command == "G29") {
        return Entry("Auto Bed Leveling", "Perform auto bed leveling", nullptr);
    }
    if (command == "G92") {
        return SetPositionSpec();
    }
    if (command == "M17") {
        return StepperSpec("Enable Steppers", "Enable steppers");
    }
    if (command == "M18" || command == "M84") {
        return StepperSpec("Disable Steppers", "Disable steppers");
    }
    if (command == "M104") {
        return SingleSSpec("Set Extruder Temperature", "Set the extruder temperature",
                           "Temperature", {"B", "F", "I", "T"});
    }
    if (command == "M106") {
        return SingleSSpec("Fan On", "Turn on the Part fan", "Speed", {"P", "I", "T"});
    }
    if (command == "M107") {
        return Entry("Fan Off", "Turn off the Part fan", nullptr);
    }
    if (command == "M109") {
        return WaitSpec("Set and Wait for Extruder Temperature",
                        "Wait for it to reach the target temperature", {"B", "F", "I", "T"});
    }
    if (command == "M140") {
        return SingleSSpec("Set Bed Temperature", "Set the bed temperature", "Temperature", {"I"});
    }
    if (command == "M190") {
        return WaitSpec("Wait for Bed Temperature",
                        "Wait for the bed temperature to reach the target temperature", {"I", "T"});
    }
    return nullptr;
}
