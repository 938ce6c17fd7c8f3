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
        Task::Pointer task;
        uint32_t status;
        json data;  // the one "updateUI" value; null for none
        Lines sent;
    };
    const auto set = [](json p) { return MakeTask<T_SetTemperature>(std::move(p)); };
    const auto fan = [](json p) { return MakeTask<T_SetFanSpeed>(std::move(p)); };
    const Row rows[] = {
        {set({{"axis", "A"}, {"temperature", 215}}),
         Task::FINISHED,
         {{"extTarget", "215"}},
         {"setext=215"}},
        // One decimal goes to the heater and to the UI.
        {set({{"axis", "B"}, {"temperature", 60.26}}),
         Task::FINISHED,
         {{"bedTarget", "60.3"}},
         {"setbed=60.3"}},
        // Without a temperature nothing is sent and null is published.
        {set({{"axis", "B"}, {"active", false}}), Task::FINISHED, nullptr, {}},
        {fan({{"fan", 6}, {"speed", 127.5}, {"percentage", 50}}),
         Task::FINISHED,
         {{"partFanOn", true}, {"partFanCurrent", 50.0}, {"partFanTarget", 50.0}},
         {"speed=127.5"}},
        {fan({{"fan", 6}, {"speed", 0}, {"percentage", 0}}),
         Task::FINISHED,
         {{"partFanOn", false}, {"partFanCurrent", 0.0}, {"partFanTarget", 0.0}},
         {"speed=0"}},
        {fan({{"fan", 5}, {"speed", 0}, {"active", false}}),
         Task::FINISHED,
         {{"extFanOn", false}, {"extFanCurrent", 0.0}},
         {"speed=0"}},
        {fan({{"fan", 5}, {"speed", 255}, {"active", true}}),
         Task::FINISHED,
         nullptr,
         {"speed=255"}},
        // A missing fan cancels the task before anything is sent.
        {fan({{"speed", 10}, {"active", true}}), Task::CANCELLED, "none", {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(&row - rows);
        printer_->ClearCommandLog(Controller::kTemperature);
        ui_.Clear();
        ASSERT_TRUE(Run(row.task, row.status));
        EXPECT_EQ(UiData(), row.data == "none" ? std::vector<json>{} : std::vector<json>{row.data});
        EXPECT_EQ(Log(Controller::kTemperature), row.sent);
    }
    const auto snapshot = printer_->Snapshot();
    EXPECT_DOUBLE_EQ(snapshot.hot_end_target_c, 215.0);
    EXPECT_DOUBLE_EQ(snapshot.bed_target_c, 60.3);
    EXPECT_DOUBLE_EQ(snapshot.fan_speed, 255);
    EXPECT_TRUE(Log().empty());
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
