#include "T_WaitForTemperature.h"

#include "DataRecordWatcher.h"
#include "RecordFields.h"
#include "T_SetTemperature.h"
#include "TaskManager.h"

#include <cmath>
#include <cstdlib>
#include <utility>

T_WaitForTemperature::T_WaitForTemperature(Parameters data)
    : Task("T_WaitForTemperature", std::move(data)) {
    target_ = GetProperty<double>("target");
    heat_only_ = GetProperty<bool>("heat_only");
    hot_end_ = GetControllerAxis() == "A";
    heater_ = HeaterSetPoints::OfControllerAxis(GetControllerAxis());
    // Before the first temperature record nothing counts as reached.
    AddCompletionCondition([this] {
        const auto record = DataRecordWatcher::GetInstance().GetTemperatureRecord();
        return record && IsReached(*record);
    });
}

double T_WaitForTemperature::Target() const {
    if (!applied_.load()) {
        return target_;
    }
    return TaskManager::GetInstance().GetSetPoints().InForce(heater_).value_or(target_);
}

bool T_WaitForTemperature::IsSwitchedOff() const {
    // A wait that itself asked for 0 keeps its own meaning.
    return applied_.load() && target_ != 0.0 && Target() == 0.0;
}

bool T_WaitForTemperature::IsReached(const ZDataRecord& record) const {
    if (IsSwitchedOff()) {
        return false;
    }
    const int32_t raw = hot_end_ ? TemperatureInputA(record) : TemperatureInputB(record);
    // Widened first: the absolute value of the lowest 32-bit number overflows.
    const double value = static_cast<double>(std::llabs(static_cast<long long>(raw)));
    const double difference = value - std::fabs(Target());
    if (heat_only_) {
        return difference >= -1.0;
    }
    return std::fabs(difference) <= 1.0;
}

std::string T_WaitForTemperature::GetHeaterPrefix() {
    return T_SetTemperature::HeaterPrefix(GetControllerAxis());
}

void T_WaitForTemperature::OnStart() {
    nlohmann::json data;
    if (HasProperty("target")) {
        T_SetTemperature::ApplySetPoint(*this, GetProperty<double>("target"), data);
    }
    applied_ = true;
    UpdateUI(data);
    AddTemperatureWatch(
        [this](ZDataRecord* record) { return IsSwitchedOff() || IsReached(*record); });
}

void T_WaitForTemperature::OnUpdate() {
    if (IsSwitchedOff()) {
        // Nobody asks for the temperature any more; what the program does
        // next needs a hot heater, so it does not go on cold.
        FailStep(std::string(hot_end_ ? "HotEnd" : "Bed") +
                 " switched off while waiting for its temperature");
    }
}
