#include "VirtualPrinter.h"

#include "ControllerClock.h"
#include "ControllerEndpoint.h"
#include "ControllerServer.h"
#include "MainCommandSet.h"
#include "PrinterModel.h"
#include "TemperatureCommandSet.h"

namespace sim {
namespace {

size_t Slot(Controller controller) {
    return controller == Controller::kMain ? 0 : 1;
}

size_t AxisSlot(char axis) {
    int index = axis - 'A';
    return index >= 0 && index < 5 ? static_cast<size_t>(index) : 0;
}

}  // namespace

VirtualPrinter::VirtualPrinter(const VirtualPrinterOptions& options)
    : model_(std::make_unique<PrinterModel>()),
      main_commands_(std::make_unique<MainCommandSet>()),
      temperature_commands_(std::make_unique<TemperatureCommandSet>()),
      main_endpoint_(std::make_unique<ControllerEndpoint>(
          [this](const std::string& line) { return RunCommand(Controller::kMain, line); })),
      temperature_endpoint_(std::make_unique<ControllerEndpoint>(
          [this](const std::string& line) { return RunCommand(Controller::kTemperature, line); })),
      main_server_(std::make_unique<ControllerServer>(*main_endpoint_, options.main_port)),
      temperature_server_(
          std::make_unique<ControllerServer>(*temperature_endpoint_, options.temperature_port)),
      clock_(std::make_unique<ControllerClock>([this](uint64_t n) { Advance(n); }, options.speed)) {
    main_server_->Start();
    temperature_server_->Start();
    clock_->Start(options.start_paused);
}

VirtualPrinter::~VirtualPrinter() {
    // The clock first: it feeds the servers; then the servers, whose threads call the model.
    clock_->Stop();
    main_server_->Stop();
    temperature_server_->Stop();
}

std::string VirtualPrinter::Address(Controller controller) const {
    return "127.0.0.1:" + std::to_string(Port(controller));
}

uint16_t VirtualPrinter::Port(Controller controller) const {
    return Server(controller).Port();
}

ControllerEndpoint& VirtualPrinter::Endpoint(Controller controller) const {
    return controller == Controller::kMain ? *main_endpoint_ : *temperature_endpoint_;
}

ControllerServer& VirtualPrinter::Server(Controller controller) const {
    return controller == Controller::kMain ? *main_server_ : *temperature_server_;
}

CommandReply VirtualPrinter::RunCommand(Controller controller, const std::string& line) {
    CommandReply reply;
    {
        std::lock_guard<std::mutex> lock(model_mutex_);
        reply = controller == Controller::kMain ? main_commands_->Execute(line, *model_)
                                                : temperature_commands_->Execute(line, *model_);
    }
    model_changed_.notify_all();
    return reply;
}

void VirtualPrinter::Advance(uint64_t samples) {
    {
        std::lock_guard<std::mutex> lock(model_mutex_);
        for (uint64_t i = 0; i < samples; ++i) {
            model_->Step();
            uint64_t now = model_->Samples();
            if (main_server_->RecordDue(now)) {
                main_server_->DeliverRecord(BuildRecord(Controller::kMain));
            }
            if (temperature_server_->RecordDue(now)) {
                temperature_server_->DeliverRecord(BuildRecord(Controller::kTemperature));
            }
        }
    }
    model_changed_.notify_all();
}

RecordBytes VirtualPrinter::BuildRecord(Controller controller) const {
    RecordBytes record;
    if (controller == Controller::kMain) {
        model_->BuildMainRecord(&record);
    } else {
        model_->BuildTemperatureRecord(&record);
    }
    for (const ForcedField& field : forced_[Slot(controller)]) {
        for (size_t i = 0; i < field.width; ++i) {
            record[field.offset + i] = static_cast<uint8_t>((field.value >> (8 * i)) & 0xFF);
        }
    }
    return record;
}

PrinterSnapshot VirtualPrinter::SnapshotLocked() const {
    PrinterSnapshot snapshot;
    snapshot.samples = model_->Samples();
    for (size_t i = 0; i < snapshot.axes.size(); ++i) {
        const SimAxis& axis = model_->Axes()[i];
        AxisSnapshot& out = snapshot.axes[i];
        out.position_counts = axis.ReferenceCounts();
        out.reference = axis.ReferenceWhole();
        out.status = axis.StatusWord();
        out.switches = axis.SwitchByte();
        out.user_value = axis.UserValue();
    }
    snapshot.coordinated_running = model_->Coordinated().Running();
    snapshot.segment_count = model_->Coordinated().SegmentCount();
    snapshot.segment_buffer_free = model_->Coordinated().BufferFree();
    snapshot.hot_end_c = model_->HotEnd().TemperatureC();
    snapshot.bed_c = model_->Bed().TemperatureC();
    snapshot.hot_end_target_c = model_->HotEnd().TargetC();
    snapshot.bed_target_c = model_->Bed().TargetC();
    snapshot.fan_speed = model_->FanSpeed();
    snapshot.program_running = model_->ProgramRunning();
    return snapshot;
}

PrinterSnapshot VirtualPrinter::Snapshot() const {
    std::lock_guard<std::mutex> lock(model_mutex_);
    return SnapshotLocked();
}

bool VirtualPrinter::WaitUntil(const std::function<bool(const PrinterSnapshot&)>& condition,
                               std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(model_mutex_);
    return model_changed_.wait_for(lock, timeout, [&] { return condition(SnapshotLocked()); });
}

std::vector<std::string> VirtualPrinter::CommandLog(Controller controller) const {
    return Endpoint(controller).CommandLog();
}

void VirtualPrinter::ClearCommandLog(Controller controller) {
    Endpoint(controller).ClearCommandLog();
}

bool VirtualPrinter::WaitForCommand(Controller controller, const std::string& command,
                                    std::chrono::milliseconds timeout, size_t count) const {
    return Endpoint(controller).WaitForCommand(command, timeout, count);
}

bool VirtualPrinter::Variable(const std::string& name, double* value) const {
    std::lock_guard<std::mutex> lock(model_mutex_);
    return model_->MainMemory().GetVariable(name, value);
}

std::vector<double> VirtualPrinter::Array(const std::string& name) const {
    std::lock_guard<std::mutex> lock(model_mutex_);
    const std::vector<double>* array = model_->MainMemory().Array(name);
    return array == nullptr ? std::vector<double>() : *array;
}

RecordBytes VirtualPrinter::CurrentRecord(Controller controller) const {
    std::lock_guard<std::mutex> lock(model_mutex_);
    return BuildRecord(controller);
}

size_t VirtualPrinter::RecordStreamCount(Controller controller) const {
    return Server(controller).StreamCount();
}

bool VirtualPrinter::WaitForRecordStreams(Controller controller, std::chrono::milliseconds timeout,
                                          size_t count) const {
    return Server(controller).WaitForStreams(count, timeout);
}

void VirtualPrinter::SetAxisPosition(char axis, double physical_counts) {
    {
        std::lock_guard<std::mutex> lock(model_mutex_);
        SimAxis& target = model_->Axes()[AxisSlot(axis)];
        target.Stop();
        target.SetPhysicalCounts(physical_counts);
        target.Stop();
    }
    model_changed_.notify_all();
}

void VirtualPrinter::ForceSwitch(char axis, int state) {
    std::lock_guard<std::mutex> lock(model_mutex_);
    model_->Axes()[AxisSlot(axis)].ForceSwitch(state);
}

void VirtualPrinter::SetBedTilt(double x_slope, double y_slope) {
    std::lock_guard<std::mutex> lock(model_mutex_);
    model_->SetBedTilt(x_slope, y_slope);
}

void VirtualPrinter::SetTemperatures(double hot_end_c, double bed_c) {
    {
        std::lock_guard<std::mutex> lock(model_mutex_);
        model_->HotEnd().SetTemperatureC(hot_end_c);
        model_->Bed().SetTemperatureC(bed_c);
    }
    model_changed_.notify_all();
}

void VirtualPrinter::ForceRecordField(Controller controller, size_t offset, size_t width,
                                      int64_t value) {
    if ((width != 1 && width != 2 && width != 4) || offset + width > RecordBytes().size()) {
        return;
    }
    std::lock_guard<std::mutex> lock(model_mutex_);
    forced_[Slot(controller)].push_back(ForcedField{offset, width, value});
}

void VirtualPrinter::ClearForcedRecordFields(Controller controller) {
    std::lock_guard<std::mutex> lock(model_mutex_);
    forced_[Slot(controller)].clear();
}

void VirtualPrinter::RejectNext(Controller controller, const std::string& error) {
    Endpoint(controller).RejectNext(error);
}

void VirtualPrinter::RejectCommand(Controller controller, const std::string& command,
                                   const std::string& error) {
    Endpoint(controller).RejectCommand(command, error);
}

void VirtualPrinter::ClearRejections(Controller controller) {
    Endpoint(controller).ClearRejections();
}

void VirtualPrinter::StallReplies(Controller controller, bool stalled) {
    Server(controller).SetReplyStall(stalled);
}

void VirtualPrinter::StallRecords(Controller controller, bool stalled) {
    Server(controller).SetRecordStall(stalled);
}

void VirtualPrinter::CutRecordStreams(Controller controller) {
    Server(controller).CutRecordStreams();
}

void VirtualPrinter::CutConnections(Controller controller) {
    Server(controller).CutConnections();
}

void VirtualPrinter::HoldReplies(Controller controller, const std::string& pattern,
                                 std::chrono::milliseconds hold, size_t count) {
    Endpoint(controller).HoldReplies(pattern, hold, count);
}

void VirtualPrinter::Stall(Controller controller, std::chrono::milliseconds duration) {
    Server(controller).StallFor(duration);
}

void VirtualPrinter::GarbleReplies(Controller controller, const std::string& pattern,
                                   const std::string& text) {
    Endpoint(controller).GarbleReplies(pattern, text);
}

void VirtualPrinter::CloseAfter(Controller controller, const std::string& pattern) {
    Endpoint(controller).CloseAfter(pattern);
}

void VirtualPrinter::RefuseConnections(Controller controller, bool refuse) {
    Server(controller).RefuseConnections(refuse);
}

void VirtualPrinter::Restart(Controller controller, uint64_t clock) {
    Server(controller).CutConnections();
    {
        std::lock_guard<std::mutex> lock(model_mutex_);
        if (controller == Controller::kMain) {
            model_->RestartMain();
        } else {
            model_->RestartTemperature();
        }
        model_->SetSamples(clock);
    }
    model_changed_.notify_all();
}

void VirtualPrinter::ClearFaults(Controller controller) {
    Endpoint(controller).ClearFaults();
}

void VirtualPrinter::PauseClock() {
    clock_->Pause();
}

void VirtualPrinter::ResumeClock() {
    clock_->Resume();
}

void VirtualPrinter::StepClock(uint64_t samples) {
    clock_->Step(samples);
}

void VirtualPrinter::SetSpeed(double speed) {
    clock_->SetSpeed(speed);
}

void VirtualPrinter::SetClock(uint64_t samples) {
    std::lock_guard<std::mutex> lock(model_mutex_);
    model_->SetSamples(samples);
}

}  // namespace sim
