#include "PrinterTest.h"

#include "DataRecordWatcher.h"
#include "MainConnection.h"
#include "RecordFields.h"
#include "TemperatureConnection.h"

#include <algorithm>

using sim::Controller;

sim::VirtualPrinter* PrinterTest::printer_ = nullptr;

void PrinterTest::StartPrinter(double speed) {
    // Made before the connections, so it outlives them: their exit-time
    // commands still reach it.
    static sim::VirtualPrinter printer;
    if (printer_ == nullptr) {
        printer_ = &printer;
        MainConnection::GetInstance().Connect(printer_->Address(Controller::kMain));
        TemperatureConnection::GetInstance().Connect(printer_->Address(Controller::kTemperature));
    }
    printer_->SetSpeed(speed);
    DataRecordWatcher& watcher = DataRecordWatcher::GetInstance();
    watcher.Start(MainConnection::GetInstance().GetHandle());
    watcher.StartTemperature(TemperatureConnection::GetInstance().GetHandle());
}

void PrinterTest::TearDownTestSuite() {
    // The streams first: no record thread may still read a task's watch
    // cells when the tasks are dropped.
    DataRecordWatcher::GetInstance().Stop();
    DataRecordWatcher::GetInstance().StopTemperature();
    TaskManagerProbe::Halt();
}

void PrinterTest::SetUp() {
    TaskManagerProbe::Halt();
    for (const char* axis : {"A", "B", "C"}) {
        DataRecordWatcher::GetInstance().SetHoming(axis, false);
    }
    ui_.Install();
    TaskManager::GetInstance().Start();
    for (const Controller controller : {Controller::kMain, Controller::kTemperature}) {
        printer_->ClearCommandLog(controller);
    }
}

void PrinterTest::TearDown() {
    TaskManagerProbe::Halt();
    TaskManager::GetInstance().SetSendCallback(nullptr);
    for (const Controller controller : {Controller::kMain, Controller::kTemperature}) {
        printer_->ClearRejections(controller);
        printer_->ClearForcedRecordFields(controller);
    }
    printer_->ResumeClock();
    Command("ST");
}

bool PrinterTest::Run(const Task::Pointer& task, uint32_t status) {
    TaskManager::GetInstance().AddTask(task);
    return Ends(task, status);
}

bool PrinterTest::Ends(const Task::Pointer& task, uint32_t status) {
    return Eventually([&] { return task->IsStatus(status); });
}

void PrinterTest::PlaceAxis(char axis, double physical_counts) {
    printer_->SetAxisPosition(axis, physical_counts);
    const int block = axis - 'A';
    const int32_t reference = printer_->Snapshot().axes[block].reference;
    ASSERT_TRUE(Eventually([block, reference] {
        const auto record = DataRecordWatcher::GetInstance().GetRecord();
        return record && AxisReferencePosition(*record, block) == reference &&
               (AxisStatus(*record, block) & 0x8000u) == 0;
    }));
}

std::string PrinterTest::Command(const std::string& text) {
    return MainConnection::GetInstance().CommandIfEnabled(text);
}

std::vector<std::string> PrinterTest::Log(Controller controller) {
    auto log = printer_->CommandLog(controller);
    log.erase(std::remove(log.begin(), log.end(), "TC1"), log.end());
    return log;
}

std::vector<nlohmann::json> PrinterTest::UiData() {
    std::vector<nlohmann::json> data;
    for (const auto& message : ui_.Messages()) {
        if (message.value("command", "") == "updateUI") {
            data.push_back(message.at("data"));
        }
    }
    return data;
}

bool PrinterTest::UiSaid(const std::string& part) {
    return ui_.WaitFor([&](const std::vector<std::string>& texts) {
        return std::any_of(texts.begin(), texts.end(),
                           [&](const std::string& text) { return text.find(part) != text.npos; });
    });
}

std::vector<nlohmann::json> PrinterTest::Flags(const std::string& key, std::vector<bool> values) {
    std::vector<nlohmann::json> data;
    for (const bool value : values) {
        data.push_back({{key, value}});
    }
    return data;
}
