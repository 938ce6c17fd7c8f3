#include "MachinePrinterFixture.h"

#include "DataRecordWatcher.h"
#include "MainConnection.h"
#include "RecordFields.h"
#include "TemperatureConnection.h"

std::unique_ptr<sim::VirtualPrinter> MachinePrinterTest::printer_;

void MachinePrinterTest::SetUpTestSuite() {
    sim::VirtualPrinterOptions options;
    options.speed = 20;
    printer_ = std::make_unique<sim::VirtualPrinter>(options);
    MainConnection::GetInstance().Connect(printer_->Address(sim::Controller::kMain));
    TemperatureConnection::GetInstance().Connect(printer_->Address(sim::Controller::kTemperature));
    DataRecordWatcher& watcher = DataRecordWatcher::GetInstance();
    watcher.Start(MainConnection::GetInstance().GetHandle());
    watcher.StartTemperature(TemperatureConnection::GetInstance().GetHandle());
}

void MachinePrinterTest::TearDownTestSuite() {
    TaskManagerProbe::Halt();
    DataRecordWatcher::GetInstance().Stop();
    DataRecordWatcher::GetInstance().StopTemperature();
    printer_.reset();
}

void MachinePrinterTest::SetUp() {
    TaskManagerProbe::Halt();
    for (const char* axis : {"A", "B", "C"}) {
        DataRecordWatcher::GetInstance().SetHoming(axis, false);
    }
    printer_->ClearRejections(sim::Controller::kMain);
    printer_->ClearRejections(sim::Controller::kTemperature);
    printer_->ClearForcedRecordFields(sim::Controller::kMain);
    ui_.Install();
    TaskManager::GetInstance().Start();
    printer_->ClearCommandLog(sim::Controller::kMain);
    printer_->ClearCommandLog(sim::Controller::kTemperature);
}

void MachinePrinterTest::TearDown() {
    TaskManagerProbe::Halt();
    TaskManager::GetInstance().SetSendCallback(nullptr);
    Command("ST");
}

void MachinePrinterTest::PlaceAxis(char axis, double physical_counts) {
    printer_->SetAxisPosition(axis, physical_counts);
    const int block = axis - 'A';
    const int32_t reference = printer_->Snapshot().axes[block].reference;
    ASSERT_TRUE(Eventually([block, reference] {
        const auto record = DataRecordWatcher::GetInstance().GetRecord();
        return record && AxisReferencePosition(*record, block) == reference &&
               (AxisStatus(*record, block) & 0x8000u) == 0;
    }));
}

void MachinePrinterTest::Command(const std::string& text) {
    MainConnection::GetInstance().Command(text);
}

std::vector<std::string> MachinePrinterTest::MainLog() {
    std::vector<std::string> log;
    for (const auto& line : printer_->CommandLog(sim::Controller::kMain)) {
        if (line != "TC1") {
            log.push_back(line);
        }
    }
    return log;
}

bool MachinePrinterTest::WaitForStatus(const Task::Pointer& task, uint32_t status) {
    return Eventually([&] { return task->IsStatus(status); });
}

std::vector<nlohmann::json> MachinePrinterTest::UiData() {
    std::vector<nlohmann::json> data;
    for (const auto& message : ui_.Messages()) {
        if (message.value("command", "") == "updateUI") {
            data.push_back(message.at("data"));
        }
    }
    return data;
}
