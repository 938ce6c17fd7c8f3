// Temperature and fan tasks against the virtual printer's temperature
// controller: the commands and the UI keys. Waits for a temperature run in
// the golden program.
#include "PrinterTest.h"
#include "T_SetFanSpeed.h"
#include "T_SetTemperature.h"

using nlohmann::json;
using Lines = std::vector<std::string>;
using sim::Controller;
using Temperature = PrinterTest;

TEST_F(Temperature, SetPointsAndFanSpeedsGoOutAndPublishTheirKeys) {
    struct Row {
        bool fan;
        const char* parameters;
        const char* description;  // empty: not checked
        const char* data;         // the one "updateUI" value; none when null
        Lines sent;
        uint32_t status = Task::FINISHED;
    };
    const Row rows[] = {
        {false,
         R"({"axis":"A","temperature":215})",
         "Set|{HotEnd}| {215\u00B0C}",
         R"({"extTarget":"215"})",
         {"setext=215"}},
        {false,
         R"({"axis":"B","temperature":70,"description":"mine"})",
         "mine",
         R"({"bedTarget":"70"})",
         {"setbed=70"}},
        // One decimal goes to the heater and to the UI.
        {false,
         R"({"axis":"B","temperature":60.26})",
         "Set|{Bed}| {60.26\u00B0C}",
         R"({"bedTarget":"60.3"})",
         {"setbed=60.3"}},
        // Without a temperature nothing is sent and null is published; "X" is not "A".
        {false, R"({"axis":"B","active":false})", "Disable|~2{Bed}", "null", {}},
        {false, R"({"axis":"X","active":true})", "Enable|~2{Bed}", "null", {}},
        // Whatever the fan, the texts name the part fan.
        {true,
         R"({"fan":5,"speed":127.5,"percentage":50})",
         "Set|{Part Fan}|{50%}",
         R"({"extFanOn":true,"extFanCurrent":50.0,"extFanTarget":50.0})",
         {"speed=127.5"}},
        {true,
         R"({"fan":6,"speed":0,"percentage":0})",
         "",
         R"({"partFanOn":false,"partFanCurrent":0.0,"partFanTarget":0.0})",
         {"speed=0"}},
        {true,
         R"({"fan":7,"speed":0,"percentage":0})",
         "",
         R"({"fan7On":false,"fan7Current":0.0,"fan7Target":0.0})",
         {"speed=0"}},
        {true,
         R"({"fan":6,"speed":0,"active":false})",
         "Disable|~2{Part Fan}",
         R"({"partFanOn":false,"partFanCurrent":0.0})",
         {"speed=0"}},
        {true, R"({"fan":5,"speed":255,"active":true})", "", "null", {"speed=255"}},
        // A missing fan cancels the task before anything is sent.
        {true, R"({"speed":10,"active":true})", "", nullptr, {}, Task::CANCELLED},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.parameters);
        const json parameters = json::parse(row.parameters);
        Task::Pointer task = row.fan ? Task::Pointer(MakeTask<T_SetFanSpeed>(parameters))
                                     : MakeTask<T_SetTemperature>(parameters);
        json full;
        task->ToJson(full);
        EXPECT_TRUE(*row.description == '\0' || full.at("description") == row.description);
        printer_->ClearCommandLog(Controller::kTemperature);
        ui_.Clear();
        ASSERT_TRUE(Run(task, row.status));
        EXPECT_EQ(UiData(),
                  row.data ? std::vector<json>{json::parse(row.data)} : std::vector<json>{});
        EXPECT_EQ(Log(Controller::kTemperature), row.sent);
    }
    const auto snapshot = printer_->Snapshot();
    EXPECT_DOUBLE_EQ(snapshot.hot_end_target_c, 215.0);
    EXPECT_DOUBLE_EQ(snapshot.bed_target_c, 60.3);
    EXPECT_DOUBLE_EQ(snapshot.fan_speed, 255);
    EXPECT_TRUE(Log().empty());
    // Neither a temperature nor "active": nothing to describe.
    EXPECT_THROW(MakeTask<T_SetTemperature>({{"axis", "A"}}), std::exception);
}

TEST_F(Temperature, ARejectedSetPointCancelsTheParent) {
    printer_->RejectCommand(Controller::kTemperature, "setext=*", "heater fault");
    auto parent = T_Probe::Make("parent");
    auto child = MakeTask<T_SetTemperature>({{"axis", "A"}, {"temperature", 90}});
    parent->AddSubTasks({child});
    TaskManager::GetInstance().AddTask(parent);
    ASSERT_TRUE(Ends(child, Task::CANCELLED));
    EXPECT_TRUE(parent->IsStatus(Task::CANCELLED));
    EXPECT_TRUE(UiData().empty());
    EXPECT_TRUE(UiSaid("<vrx_error><cmd>setext=90</cmd>heater fault</vrx_error>"));
}
