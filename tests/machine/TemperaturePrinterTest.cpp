// Temperature and fan tasks against the virtual printer's temperature
// controller: the commands and the UI keys. Waits for a temperature run in
// the golden program.
#include "PrinterTest.h"
#include "T_SetFanSpeed.h"
#include "T_SetTemperature.h"

using nlohmann::json;
using sim::Controller;
using Temperature = PrinterTest;

TEST_F(Temperature, SetPointsAndFanSpeedsGoOutAndPublishTheirKeys) {
    // Each row: the task's parameters ("fan" or "axis" picks the class), its
    // description ("" not checked), its "updateUI" data (none when absent),
    // the lines sent, and whether it finishes.
    const json rows = json::parse(R"([
        [{"axis":"A","temperature":215}, "Set|{HotEnd}| {215\u00B0C}", [{"extTarget":"215"}], ["setext=215"]],
        [{"axis":"B","temperature":70,"description":"mine"}, "mine", [{"bedTarget":"70"}], ["setbed=70"]],
        [{"axis":"B","temperature":60.26}, "Set|{Bed}| {60.26\u00B0C}", [{"bedTarget":"60.3"}], ["setbed=60.3"]],
        [{"axis":"B","active":false}, "Disable|~2{Bed}", [null], []],
        [{"axis":"X","active":true}, "Enable|~2{Bed}", [null], []],
        [{"fan":5,"speed":127.5,"percentage":50}, "Set|{Part Fan}|{50%}", [{"extFanOn":true,"extFanCurrent":50.0,"extFanTarget":50.0}], ["speed=127.5"]],
        [{"fan":6,"speed":0,"percentage":0}, "", [{"partFanOn":false,"partFanCurrent":0.0,"partFanTarget":0.0}], ["speed=0"]],
        [{"fan":7,"speed":0,"percentage":0}, "", [{"fan7On":false,"fan7Current":0.0,"fan7Target":0.0}], ["speed=0"]],
        [{"fan":6,"speed":0,"active":false}, "Disable|~2{Part Fan}", [{"partFanOn":false,"partFanCurrent":0.0}], ["speed=0"]],
        [{"fan":5,"speed":255,"active":true}, "", [null], ["speed=255"]],
        [{"speed":10,"active":true}, "", [], [], "cancelled"]
    ])");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.dump());
        const json& parameters = row[0];
        Task::Pointer task = parameters.contains("axis")
                                 ? Task::Pointer(MakeTask<T_SetTemperature>(parameters))
                                 : MakeTask<T_SetFanSpeed>(parameters);
        json full;
        task->ToJson(full);
        EXPECT_TRUE(row[1] == "" || full.at("description") == row[1]);
        printer_->ClearCommandLog(Controller::kTemperature);
        ui_.Clear();
        ASSERT_TRUE(Run(task, row.size() > 4 ? Task::CANCELLED : Task::FINISHED));
        EXPECT_EQ(json(UiData()), row[2]);
        EXPECT_EQ(json(Log(Controller::kTemperature)), row[3]);
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
    Start(parent);
    ASSERT_TRUE(Ends(child, Task::CANCELLED));
    EXPECT_TRUE(parent->IsStatus(Task::CANCELLED));
    EXPECT_TRUE(UiData().empty());
    EXPECT_TRUE(UiSaid("<vrx_error><cmd>setext=90</cmd>heater fault</vrx_error>"));
}
