// The commands that control the task engine. None replies over TCP;
// "printTasks" answers by datagram through the task manager's sender.
#include "Project.h"
#include "TaskManager.h"
#include "Utilities.h"

#include <cstdint>

using nlohmann::json;

namespace {

// The "id" of a command: a JSON number read as a 32-bit integer and used as
// the unsigned task id. Anything else, a number out of that range too,
// abandons the command.
uint32_t TaskId(const json& message) {
    return static_cast<uint32_t>(ReadInteger<int32_t>(message.at("id"), "id"));
}

}  // namespace

void Project::Handle_DebugExecute(const json&) {
    TaskManager::GetInstance().DebugExecute();
}

void Project::Handle_PauseTask(const json& message) {
    TaskManager::GetInstance().PauseTask(TaskId(message));
}

void Project::Handle_ResumeTask(const json& message) {
    TaskManager::GetInstance().ResumeTask(TaskId(message));
}

void Project::Handle_AddBreakpoint(const json& message) {
    TaskManager::GetInstance().AddBreakpoint(TaskId(message));
}

void Project::Handle_RemoveBreakpoint(const json& message) {
    TaskManager::GetInstance().RemoveBreakpoint(TaskId(message));
}

void Project::Handle_CancelTask(const json& message) {
    TaskManager::GetInstance().CancelTask(TaskId(message));
}

void Project::Handle_PrintTasks(const json&) {
    TaskManager::GetInstance().PrintTasks();
}

void Project::Handle_StepOverTask(const json& message) {
    TaskManager::GetInstance().StepOverTask(TaskId(message));
}

void Project::Handle_FinishThenShutdown(const json&) {
    finishing_ = true;
    // Runs at once when no task is left, otherwise on the task worker once
    // the queue has run out.
    TaskManager::GetInstance().FinishThenShutdown([self = shared_from_this()] { self->Close(); });
}

void Project::Handle_Shutdown(const json&) {
    TaskManager::GetInstance().Shutdown();
}
