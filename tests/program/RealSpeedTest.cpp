// What the UI asks of the machine, at the printer's real speed: record-driven
// work (homing, probing, stops, pause and resume) must not depend on records
// arriving fast enough to hide a change that lasts a record or two.
#include "ServerPrinterTest.h"

#include <fstream>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// One scenario: the UI's messages, then the task that must end as told.
struct Scenario {
    const char* name;
    std::vector<json> messages;
    std::string label;  // "gcode_command" or class name of the task awaited
    std::string status;
    std::chrono::seconds timeout;
};

json HomeAxis(const std::string& axis) {
    return {{"command", "homeAxis"}, {"axis", axis}, {"description", "Home|{" + axis + "}|"}};
}

json LoadSample() {
    return {{"command", "loadGcode"}, {"file", SAMPLE_PROGRAM}, {"execute", true}};
}

void PrintTo(const Scenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

class RealSpeed : public ServerPrinterTest, public testing::WithParamInterface<Scenario> {
  protected:
    RealSpeed() : ServerPrinterTest(sim::VirtualPrinterOptions{0, 0, 1.0, false}) {}
    void SetUp() override {
        ListenUi();
        OpenMain();
        OpenTemperature();
        // A second or so from their switches and warm already: travel and
        // heating at real speed are not what these scenarios are about.
        printer_.SetAxisPosition('A', 2000);
        printer_.SetAxisPosition('B', 2000);
        printer_.SetAxisPosition('C', 8000);
        printer_.SetTemperatures(80, 25);
    }
};

TEST_P(RealSpeed, EndsAsTheUserExpects) {
    const Scenario& scenario = GetParam();
    for (const json& message : scenario.messages) {
        client_.Send(message);
    }
    const json task = Await(scenario.label, scenario.status, -1, scenario.timeout);
    EXPECT_FALSE(task.is_null()) << server_.Stderr() << testing::PrintToString(tasks_);
}

INSTANTIATE_TEST_SUITE_P(
    Machine, RealSpeed,
    testing::Values(Scenario{"HomeX", {HomeAxis("X")}, "T_Home", "FINISHED", 10s},
                    Scenario{"HomeY", {HomeAxis("Y")}, "T_Home", "FINISHED", 10s},
                    Scenario{"HomeZ", {HomeAxis("Z")}, "T_Home", "FINISHED", 20s},
                    Scenario{"SampleProgram", {LoadSample()}, "M104 S0", "FINISHED", 40s}),
    [](const testing::TestParamInfo<Scenario>& info) { return info.param.name; });

}  // namespace
