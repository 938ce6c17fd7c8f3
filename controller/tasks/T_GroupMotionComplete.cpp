#include "T_GroupMotionComplete.h"

#include "T_MotionComplete.h"
#include "TaskManager.h"

#include <string>
#include <utility>

T_GroupMotionComplete::T_GroupMotionComplete(Parameters data)
    : Task("T_GroupMotionComplete", std::move(data)) {
    for (const char axis : GetProperty<std::string>("axes")) {
        AddParallelTask(
            TaskManager::CreateTask<T_MotionComplete>({{"axis", std::string(1, axis)}}));
    }
}
