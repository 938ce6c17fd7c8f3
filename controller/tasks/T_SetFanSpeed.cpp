#include "T_SetFanSpeed.h"

#include "Utilities.h"

#include <utility>

T_SetFanSpeed::T_SetFanSpeed(Parameters data) : Task("T_SetFanSpeed", std::move(data)) {
    if (!HasProperty("description")) {
        SetDescription(BuildDescription());
    }
    AddCompletionCondition([this] { return done_; });
}

std::string T_SetFanSpeed::BuildDescription() {
    if (HasProperty("percentage")) {
        return "Set|{Part Fan}|{" + FormatNumber(GetProperty<double>("percentage"), 2) + "%}";
    }
    return "Disable|~2{Part Fan}";
}

std::string T_SetFanSpeed::GetFanName() {
    const int fan = GetProperty<int>("fan");
    if (fan == 6) {
        return "partFan";
    }
    if (fan == 5) {
        return "extFan";
    }
    return "fan" + std::to_string(fan);
}

void T_SetFanSpeed::OnStart() {
    const std::string fan = GetFanName();
    nlohmann::json data;
    SendTemperatureCommand("speed=" + FormatNumber(GetProperty<double>("speed"), 2));
    if (HasProperty("percentage")) {
        const double percentage = GetProperty<double>("percentage");
        data[fan + "On"] = percentage != 0.0;
        data[fan + "Current"] = percentage;
        data[fan + "Target"] = percentage;
    } else if (HasProperty("active") && !GetProperty<bool>("active")) {
        data[fan + "On"] = false;
        data[fan + "Current"] = 0.0;
    }
    done_ = true;
    UpdateUI(data);
    Finish();
}
