// Program loading and line processing: G-code lines become top-level tasks,
// chained one behind the other for a file, or run at once from the terminal.
#include "GCodeManager.h"

#include "T_GCode.h"
#include "TaskManager.h"

#include <iostream>
#include <string>
#include <utility>

namespace {

// Origins of the tasks made here.
constexpr const char* kFileOrigin = "File";
constexpr const char* kTerminalOrigin = "Terminal";

// Why a file was not read whole.
const char* UnreadFileText(GCodeManager::FileRead read) {
    switch (read) {
        case GCodeManager::FileRead::kNotOpened:
            return "Error opening the file";
        case GCodeManager::FileRead::kFailed:
            return "Error reading the file";
        case GCodeManager::FileRead::kCutShort:
            return "The file was cut short while it was read";
        case GCodeManager::FileRead::kWhole:
            break;
    }
    return "";
}

}  // namespace

nlohmann::json GCodeManager::LoadProgram(std::string path, bool execute) {
    // The lines are turned into tasks as they are read; none is kept.
    std::vector<GCode>().swap(lines_);
    program_tasks_.clear();
    breakpoint_pending_ = !execute;
    file_modes_.Reset();
    FileRead read = FileRead::kWhole;
    try {
        read = ReadLines(path, [this](std::string_view text, uint32_t line_number) {
            const GCode line = GCode::FromText(text, line_number);
            if (!line.IsEmpty()) {
                LoadLine(line);
            }
        });
        // Moves at the end of the file form the program's last task.
        if (read == FileRead::kWhole && pending_group_) {
            AddTaskToQueue(MakeLinearGroupTask());
        }
    } catch (...) {
        DropProgram();
        throw;
    }
    if (read != FileRead::kWhole) {
        // Part of a print must not run as if it were all of it.
        DropProgram();
        const std::string message = UnreadFileText(read);
        // A read error went to the standard error stream as it happened.
        if (read != FileRead::kFailed) {
            std::cerr << message << std::endl;
        }
        return message;
    }
    TaskManager& manager = TaskManager::GetInstance();
    for (const auto& task : program_tasks_) {
        manager.AddTaskToBack(task);
    }
    return nullptr;
}

void GCodeManager::DropProgram() {
    program_tasks_.clear();
    pending_group_.reset();
    pending_moves_ = 0;
}

void GCodeManager::LoadLine(const GCode& line) {
    const GCode::Words words = line.GetWords();
    // Most lines of a print are moves: they skip the general lookups.
    if (words.CommandIs("G1") || words.CommandIs("G0")) {
        LoadMove(line, words);
        return;
    }
    if (words.CommandIs(";BREAKPOINT")) {
        breakpoint_pending_ = true;
        return;
    }
    FollowModes(line, words);
    if (line.IsSupported()) {
        ProcessLine(line, true);
    }
}

void GCodeManager::FollowModes(const GCode& line, const GCode::Words& words) {
    if (!words.CommandIs("M82") && !words.CommandIs("M83") && !words.CommandIs("G90") &&
        !words.CommandIs("G91")) {
        return;
    }
    json errors;
    CheckModes(line, errors);
    file_modes_.Follow(words, errors.empty() ? std::string() : errors.front().get<std::string>());
}

void GCodeManager::LoadMove(const GCode& line, const GCode::Words& words) {
    const std::string* error = file_modes_.Halts(words);
    if (error == nullptr) {
        AddPendingMove(words);
        return;
    }
    // The moves before it run; this one, meant in the other mode, does not.
    if (pending_group_) {
        AddTaskToQueue(MakeLinearGroupTask());
    }
    AddTaskToQueue(MakeErrorTask(line, *error));
}

bool GCodeManager::ProcessLine(const GCode& line, bool from_file) {
    if (IsLinearMove(line)) {
        // Consecutive moves of a file stream as one group; a typed move runs at once.
        AddPendingMove(line.GetWords());
        if (!from_file) {
            auto group = MakeLinearGroupTask();
            group->SetOrigin(kTerminalOrigin);
            TaskManager::GetInstance().AddTaskToBack(group);
        }
        return true;
    }
    if (from_file && pending_group_) {
        AddTaskToQueue(MakeLinearGroupTask());  // the group stands before this line's task
    }
    boost::shared_ptr<Task> task;
    bool matched = false;
    const std::string command = line.GetCommand();
    for (const GCodeHandler& entry : handlers_) {
        if (CommandMatches(command, entry.codes)) {
            matched = true;
            task = MakeLineTask(line, entry);
        }
    }
    if (!matched) {
        // Supported codes without a handler need no task.
        return line.IsSupported();
    }
    if (!task) {
        return false;
    }
    if (from_file) {
        AddTaskToQueue(task);
    } else {
        task->SetOrigin(kTerminalOrigin);
        TaskManager::GetInstance().AddTaskToBack(task);
    }
    return true;
}

boost::shared_ptr<Task> GCodeManager::MakeLineTask(const GCode& line, const GCodeHandler& entry) {
    const json result = ValidateLine(line);
    const json& errors = result["errors"];
    if (errors.is_array() && !errors.empty()) {
        return MakeErrorTask(line, errors.front().get<std::string>());
    }
    return entry.handler(line);
}

boost::shared_ptr<Task> GCodeManager::MakeErrorTask(const GCode& line, const std::string& error) {
    json data = MakeTaskJson(line);
    data["description"] = "~3GCode Error";
    data["cancellation_reason"] = "<gcode_error>" + error + "</gcode_error>";
    auto task = TaskManager::CreateTask<T_GCode>(data);
    task->SetStatus(Task::CANCELLED);
    return task;
}

void GCodeManager::AddTaskToQueue(boost::shared_ptr<Task> task) {
    if (breakpoint_pending_) {
        task->MarkBreakpoint();
        breakpoint_pending_ = false;
    }
    if (!program_tasks_.empty()) {
        const boost::shared_ptr<Task>& previous = program_tasks_.back();
        task->StartAfter(previous);
        previous->SetNextInQueueId(task->GetId());
    }
    task->SetOrigin(kFileOrigin);
    program_tasks_.push_back(std::move(task));
}
