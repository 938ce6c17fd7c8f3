#include "T_SetTemperature.h"

#include "TaskManager.h"
#include "Utilities.h"

#include <utility>

namespace {

const char kDegreeSign[] = "\xC2\xB0";

}  // namespace

T_SetTemperature::T_SetTemperature(Parameters data) : Task("T_SetTemperature", std::move(data)) {
    if (!HasProperty("description")) {
        SetDescription(BuildDescription());
    }
    AddCompletionCondition([this] { return done_; });
}

std::string T_SetTemperature::BuildDescription() {
    const std::string heater = GetAxis() == "A" ? "HotEnd" : "Bed";
    if (HasProperty("temperature")) {
        return "Set|{" + heater + "}| {" + FormatNumber(GetProperty<double>("temperature"), 2) +
               kDegreeSign + "C}";
    }
    return std::string(GetProperty<bool>("active") ? "Enable" : "Disable") + "|~2{" + heater + "}";
}

std::string T_SetTemperature::GetHeaterPrefix() {
    return HeaterPrefix(GetControllerAxis());
}

std::string T_SetTemperature::HeaterPrefix(const std::string& controller_axis) {
    return controller_axis == "A" ? "ext" : "bed";
}

void T_SetTemperature::ApplySetPoint(Task& task, double degrees, nlohmann::json& data) {
    const std::string prefix = HeaterPrefix(task.GetControllerAxis());
    const std::string text = FormatNumber(degrees, 1);
    task.SendTemperatureCommand("set" + prefix + "=" + text);
    TaskManager::GetInstance().GetSetPoints().Apply(
        HeaterSetPoints::OfControllerAxis(task.GetControllerAxis()), degrees);
    data[prefix + "Target"] = text;
}

void T_SetTemperature::OnStart() {
    nlohmann::json data;
    if (HasProperty("temperature")) {
        ApplySetPoint(*this, GetProperty<double>("temperature"), data);
    }
    UpdateUI(data);
    done_ = true;
    Finish();
}
