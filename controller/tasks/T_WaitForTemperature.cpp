#include "T_WaitForTemperature.h"

#include "DataRecordWatcher.h"
#include "RecordFields.h"
#include "T_SetTemperature.h"

#include <cmath>
#include <cstdlib>
#include <utility>

T_WaitForTemperature::T_WaitForTemperature(Parameters data)
    : Task("T_WaitForTemperature", std::move(data)) {
    target_ = GetProperty<double>("target");
    heat_only_ = GetProperty<bool>("heat_only");
    hot_end_ = GetControllerAxis() == "A";
    // Before the first temperature record nothing counts as reached.
    AddCompletionCondition([this] {
        const auto record = DataRecordWatcher::GetInstance().GetTemperatureRecord();
        return record && IsReached(*record);
    });
}

bool T_WaitForTemperature::IsReached(const ZDataRecord& record) const {
    const int32_t raw = hot_end_ ? TemperatureInputA(record) : TemperatureInputB(record);
    // Widened first: the absolute value of the lowest 32-bit number overflows.
    const double value = static_cast<double>(std::llabs(static_cast<long long>(raw)));
    const double difference = value - std::fabs(target_);
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
    UpdateUI(data);
    AddTemperatureWatch([this](ZDataRecord* record) { return IsReached(*record); });
}
