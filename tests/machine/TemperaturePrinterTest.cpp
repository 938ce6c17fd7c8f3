// Temperature and fan tasks against the virtual printer's temperature
// controller: the commands, the UI keys, and a wait that follows the
// temperature records.
#include "DataRecordWatcher.h"
#include "MachinePrinterFixture.h"
#include "RecordFields.h"
#include "T_SetFanSpeed.h"
#include "T_SetTemperature.h"
#include "T_WaitForTemperature.h"
#include "TemperatureConnection.h"

using nlohmann::json;
using Log = std::vector<std::string>;

namespace {

Task::Parameters Params(json value) {
    return boost::make_shared<json>(std::move(value));
}

}  // namespace

class TemperatureTaskTest : public MachinePrinterTest {
  protected:
    // Runs a task that finishes in its first step; returns the one UI
    // data value it published.
    json Run(const Task::Pointer& task) {
        TaskManager::GetInstance().AddTask(task);
        EXPECT_TRUE(Eventually([&] { return task->IsStatus(Task::FINISHED); }));
        const auto data = UiData();
        EXPECT_EQ(data.size(), 1u);
        return data.empty() ? json("missing") : data.back();
    }
    static Log TemperatureLog() {
        Log log;
        for (const auto& line : printer_->CommandLog(sim::Controller::kTemperature)) {
            if (line != "TC1") {
                log.push_back(line);
            }
        }
        return log;
    }
    // Sets both heaters off at ambient and waits until the records say so.
    static void CoolDown() {
        TemperatureConnection::GetInstance().Command("setext=0");
        TemperatureConnection::GetInstance().Command("setbed=0");
        printer_->SetTemperatures(25, 25);
        ASSERT_TRUE(Eventually([] {
            const auto record = DataRecordWatcher::GetInstance().GetTemperatureRecord();
            return record && TemperatureInputA(*record) == 25 && TemperatureInputB(*record) == 25;
        }));
        printer_->ClearCommandLog(sim::Controller::kTemperature);
    }
};

TEST_F(TemperatureTaskTest, SetPointsGoToTheirHeaterWithOneDecimal) {
    auto hot_end =
        boost::make_shared<T_SetTemperature>(Params({{"axis", "A"}, {"temperature", 215}}));
    EXPECT_EQ(Run(hot_end), (json{{"extTarget", "215"}}));
    ui_.Clear();
    auto bed =
        boost::make_shared<T_SetTemperature>(Params({{"axis", "B"}, {"temperature", 60.26}}));
    EXPECT_EQ(Run(bed), (json{{"bedTarget", "60.3"}}));
    EXPECT_EQ(TemperatureLog(), (Log{"setext=215", "setbed=60.3"}));
    const auto snapshot = printer_->Snapshot();
    EXPECT_DOUBLE_EQ(snapshot.hot_end_target_c, 215.0);
    EXPECT_DOUBLE_EQ(snapshot.bed_target_c, 60.3);
    EXPECT_TRUE(MainLog().empty());
}

TEST_F(TemperatureTaskTest, WithoutATemperatureNothingIsSentAndNullIsPublished) {
    auto task = boost::make_shared<T_SetTemperature>(Params({{"axis", "B"}, {"active", false}}));
    EXPECT_EQ(Run(task), json());
    EXPECT_TRUE(TemperatureLog().empty());
}

TEST_F(TemperatureTaskTest, FanSpeedAndItsKeys) {
    auto half = boost::make_shared<T_SetFanSpeed>(
        Params({{"fan", 6}, {"speed", 127.5}, {"percentage", 50}}));
    EXPECT_EQ(Run(half),
              (json{{"partFanOn", true}, {"partFanCurrent", 50.0}, {"partFanTarget", 50.0}}));
    EXPECT_DOUBLE_EQ(printer_->Snapshot().fan_speed, 127.5);
    ui_.Clear();
    auto zero =
        boost::make_shared<T_SetFanSpeed>(Params({{"fan", 6}, {"speed", 0}, {"percentage", 0}}));
    EXPECT_EQ(Run(zero).at("partFanOn"), false);
    ui_.Clear();
    auto off =
        boost::make_shared<T_SetFanSpeed>(Params({{"fan", 5}, {"speed", 0}, {"active", false}}));
    EXPECT_EQ(Run(off), (json{{"extFanOn", false}, {"extFanCurrent", 0.0}}));
    ui_.Clear();
    auto on =
        boost::make_shared<T_SetFanSpeed>(Params({{"fan", 5}, {"speed", 255}, {"active", true}}));
    EXPECT_EQ(Run(on), json());
    EXPECT_EQ(TemperatureLog(), (Log{"speed=127.5", "speed=0", "speed=0", "speed=255"}));
}

TEST_F(TemperatureTaskTest, AMissingFanCancelsTheTaskBeforeAnythingIsSent) {
    auto task = boost::make_shared<T_SetFanSpeed>(Params({{"speed", 10}, {"active", true}}));
    TaskManager::GetInstance().AddTask(task);
    ASSERT_TRUE(Eventually([&] { return task->IsStatus(Task::CANCELLED); }));
    EXPECT_TRUE(TemperatureLog().empty());
    EXPECT_TRUE(UiData().empty());
}

TEST_F(TemperatureTaskTest, ARejectedSetPointCancelsTheParent) {
    printer_->RejectCommand(sim::Controller::kTemperature, "setext=*", "heater fault");
    auto parent = T_Probe::Make("parent");
    auto child = boost::make_shared<T_SetTemperature>(Params({{"axis", "A"}, {"temperature", 90}}));
    parent->AddSubTasks({child});
    TaskManager::GetInstance().AddTask(parent);
    ASSERT_TRUE(Eventually([&] { return child->IsStatus(Task::CANCELLED); }));
    EXPECT_TRUE(parent->IsStatus(Task::CANCELLED));
    EXPECT_TRUE(UiData().empty());
    ASSERT_TRUE(ui_.WaitFor([](const std::vector<std::string>& texts) {
        for (const auto& text : texts) {
            if (text.find("<vrx_error><cmd>setext=90</cmd>heater fault</vrx_error>") !=
                std::string::npos) {
                return true;
            }
        }
        return false;
    }));
    printer_->ClearRejections(sim::Controller::kTemperature);
}

TEST_F(TemperatureTaskTest, AWaitFollowsTheRecordsUntilTheHeaterIsThere) {
    CoolDown();
    auto wait = boost::make_shared<T_WaitForTemperature>(
        Params({{"axis", "A"}, {"target", 200}, {"heat_only", false}, {"description", "wait"}}));
    TaskManager::GetInstance().AddTask(wait);
    ASSERT_TRUE(printer_->WaitForCommand(sim::Controller::kTemperature, "setext=200",
                                         std::chrono::seconds(10)));
    ASSERT_TRUE(ui_.WaitFor([](const std::vector<std::string>& texts) {
        for (const auto& text : texts) {
            if (text.find("extTarget") != std::string::npos) {
                return true;
            }
        }
        return false;
    }));
    EXPECT_EQ(UiData(), (std::vector<json>{{{"extTarget", "200"}}}));
    EXPECT_FALSE(wait->IsStatus(Task::FINISHED));
    printer_->SetTemperatures(199.4, 25);
    ASSERT_TRUE(Eventually([&] { return wait->IsStatus(Task::FINISHED); }));
    EXPECT_EQ(TemperatureLog(), (Log{"setext=200"}));
}

TEST_F(TemperatureTaskTest, AWaitAlreadySatisfiedFinishesWithoutStarting) {
    CoolDown();
    auto wait = boost::make_shared<T_WaitForTemperature>(
        Params({{"axis", "B"}, {"target", 25.5}, {"heat_only", false}, {"description", "wait"}}));
    TaskManager::GetInstance().AddTask(wait);
    ASSERT_TRUE(Eventually([&] { return wait->IsStatus(Task::FINISHED); }));
    EXPECT_FALSE(wait->HasStarted());
    EXPECT_TRUE(TemperatureLog().empty());
    EXPECT_TRUE(UiData().empty());
}
