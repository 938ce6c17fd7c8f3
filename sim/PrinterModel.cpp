#include "PrinterModel.h"

#include <cmath>
#include <cstring>

#include "BedMesh.h"
#include "zenlib.h"

namespace sim {
namespace {

// Where the axes stand at power-on (physical counts): off their switches, so
// that homing has somewhere to travel from.
constexpr double kStartX = 20000.0;
constexpr double kStartY = 20000.0;
constexpr double kStartZ = 8000.0;
// Heater time constants, controller seconds.
constexpr double kHotEndTimeConstantS = 10.0;
constexpr double kBedTimeConstantS = 20.0;

}  // namespace

PrinterModel::PrinterModel()
    : axes_{SimAxis(true, kStartX), SimAxis(true, kStartY), SimAxis(true, kStartZ),
            SimAxis(false, 0.0), SimAxis(false, 0.0)},
      hot_end_(kHotEndTimeConstantS),
      bed_(kBedTimeConstantS) {}

void PrinterModel::SetBedTilt(double x_slope, double y_slope) {
    bed_x_slope_ = x_slope;
    bed_y_slope_ = y_slope;
}

void PrinterModel::StartProgram() {
    program_running_ = true;
    // The program drives Z by position tracking; a jog of Z ("BG") takes Z out
    // of it until "PT" puts it back.
    axes_[kC].SetTracking(true);
}

void PrinterModel::Step() {
    ++samples_;
    axes_[kC].SetSwitchCounts(bed_x_slope_ * axes_[kA].PhysicalCounts() +
                              bed_y_slope_ * axes_[kB].PhysicalCounts());
    StepProgram();
    for (SimAxis& axis : axes_) {
        axis.Step();
    }
    coordinated_.Step(axes_);
    hot_end_.Step();
    bed_.Step();
}

void PrinterModel::StepProgram() {
    if (!program_running_) {
        return;
    }
    double offset =
        BedMesh::OffsetAt(main_memory_, axes_[kA].ReferenceCounts(), axes_[kB].ReferenceCounts());
    axes_[kC].FollowTarget(axes_[kE].ReferenceCounts() + offset);
}

void PrinterModel::BuildMainRecord(RecordBytes* record) const {
    ZDataRecord data;
    std::memset(&data, 0, sizeof(data));
    ZDataRecordStd& std_record = data.std;
    std_record.sample_number = static_cast<uint16_t>(samples_ & 0xFFFF);
    std_record.mesh_status = program_running_ ? 1 : 0;
    std_record.segment_count = coordinated_.SegmentCount();
    std_record.coordinated_status = coordinated_.Running() ? 0x8000 : 0;
    std_record.segment_buffer_free = coordinated_.BufferFree();
    for (size_t i = 0; i < axes_.size(); ++i) {
        ZAxisBlock& block = std_record.axis_block[i];
        block.axis_status = axes_[i].StatusWord();
        block.axis_switches = axes_[i].SwitchByte();
        block.axis_reference_position = axes_[i].ReferenceWhole();
        block.axis_position_trusted = static_cast<uint32_t>(axes_[i].UserValue());
    }
    std_record.axis_block[kB].axis_analog_input =
        thermistor_.AnalogForTemperature(hot_end_.TemperatureC());
    std_record.axis_block[kD].axis_analog_input =
        thermistor_.AnalogForTemperature(bed_.TemperatureC());
    std::memcpy(record->data(), data.bytes, record->size());
}

void PrinterModel::BuildTemperatureRecord(RecordBytes* record) const {
    ZDataRecord data;
    std::memset(&data, 0, sizeof(data));
    data.temperature.temperature_input_a =
        static_cast<int32_t>(std::lround(hot_end_.TemperatureC()));
    data.temperature.temperature_input_b = static_cast<int32_t>(std::lround(bed_.TemperatureC()));
    std::memcpy(record->data(), data.bytes, record->size());
}

void PrinterModel::RestartMain() {
    program_running_ = false;
    coordinated_.Clear(axes_);
    for (SimAxis& axis : axes_) {
        axis.Stop();
        axis.SetCoordinated(false);
        axis.SetUserValue(0);
    }
}

void PrinterModel::RestartTemperature() {
    hot_end_.SetTarget(0.0);
    bed_.SetTarget(0.0);
    fan_speed_ = 0.0;
}

}  // namespace sim
