// The commands that queue one machine task for the UI: heater set-points,
// the fan and bed levelling.
#include "GCodeManager.h"
#include "Project.h"
#include "T_BedLevel.h"
#include "T_SetFanSpeed.h"
#include "T_SetTemperature.h"
#include "TaskManager.h"

using nlohmann::json;

namespace {

// Queues a task made by the UI.
void AddUiTask(boost::shared_ptr<Task> task) {
    task->SetOrigin("UI");
    TaskManager::GetInstance().AddTask(task);
}

}  // namespace

void Project::Handle_SetTemperature(const json& message) {
    AddUiTask(TaskManager::CreateTask<T_SetTemperature>(message));
}

void Project::Handle_SetFanSpeed(const json& message) {
    AddUiTask(TaskManager::CreateTask<T_SetFanSpeed>(message));
}

void Project::Handle_BedLevel(const json& message) {
    const bool enabled = message.at("enabled").get<bool>();
    const bool recalculate = message.at("recalculate").get<bool>();
    AddUiTask(TaskManager::CreateTask<T_BedLevel>(
        GCodeManager::GetInstance().GetBedLevelSettings(enabled, recalculate)));
}
