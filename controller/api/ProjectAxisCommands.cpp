// The axis commands that act on homing and jogging tasks: a button in the UI
// resumes, finishes or cancels the task it started before queuing a new one.
#include "Project.h"
#include "T_Home.h"
#include "T_Jog.h"
#include "TaskManager.h"

#include <stdexcept>
#include <string>

using nlohmann::json;

namespace {

// A task property read as text, as a JSON value for comparison with a message's.
json PropertyText(const boost::shared_ptr<Task>& task, const std::string& key) {
    return json(task->GetProperty<std::string>(key));
}

// The task is of `name` and works on the axis that the message names.
bool IsSameAxis(const boost::shared_ptr<Task>& task, const json& message, const std::string& name) {
    return task->GetName() == name && message.contains("axis") && task->HasProperty("axis") &&
           PropertyText(task, "axis") == message["axis"];
}

// A jog reads these as texts to start and to stop; without them it could not
// even be stopped, so the command is malformed and goes no further.
void CheckJogKeys(const json& message) {
    for (const char* key : {"axis", "polarity", "speed"}) {
        if (!message.contains(key) || !message[key].is_string()) {
            throw std::invalid_argument(std::string("jogAxis needs \"") + key + "\" as a string");
        }
    }
}

// Parameters of a homing task that the UI asks for before another one.
json ForcedHoming(const std::string& axis) {
    return {{"axis", axis}, {"command", "homeAxis"}, {"description", "Home|{" + axis + "}|"}};
}

}  // namespace

void Project::Handle_HomeAxis(const json& message) {
    TaskManager& manager = TaskManager::GetInstance();
    const auto found = manager.FindTask(
        [&message](boost::shared_ptr<Task> task) { return IsSameAxis(task, message, "T_Home"); });
    if (found && found->IsStatus(Task::PAUSED)) {
        manager.ResumeTask(found->GetId());
        return;
    }
    auto home = TaskManager::CreateTask<T_Home>(message);
    home->SetOrigin("UI");
    // The forced homings are queued first; only their value's presence counts.
    for (const auto& [key, axis] :
         {std::pair{"force_home_x", "X"}, std::pair{"force_home_y", "Y"}}) {
        if (!message.contains(key)) {
            continue;
        }
        auto forced = TaskManager::CreateTask<T_Home>(ForcedHoming(axis));
        home->AddStartCondition([forced] { return forced->IsStatus(Task::FINISHED); });
        manager.AddTask(forced);
    }
    manager.AddTask(home);
}

void Project::Handle_CancelHomeAxis(const json& message) {
    const json& axis = message.at("axis");
    TaskManager::GetInstance().CancelWhere([&axis](boost::shared_ptr<Task> task) {
        return task->GetName() == "T_Home" && PropertyText(task, "axis") == axis;
    });
}

void Project::Handle_JogAxis(const json& message) {
    CheckJogKeys(message);
    TaskManager& manager = TaskManager::GetInstance();
    const auto found = manager.FindTask(
        [&message](boost::shared_ptr<Task> task) { return IsSameAxis(task, message, "T_Jog"); });
    if (found && message.contains("polarity") && found->HasProperty("polarity")) {
        const uint32_t id = found->GetId();
        if (PropertyText(found, "polarity") != message["polarity"]) {
            manager.FinishWhere([id](boost::shared_ptr<Task> task) { return task->GetId() == id; });
        } else if (found->IsStatus(Task::PAUSED)) {
            manager.ResumeTask(id);
            return;
        } else {
            manager.CancelTask(id);
        }
    }
    auto jog = TaskManager::CreateTask<T_Jog>(message);
    jog->SetOrigin("UI");
    manager.AddTask(jog);
}
