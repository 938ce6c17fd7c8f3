// What the UI learns of tasks: full forms, partial updates, one datagram per
// update, "updateUI" and "printTasks" texts, parameters and descriptions.
#include "ManualTaskTest.h"

#include "T_GCode.h"

using nlohmann::json;

namespace {

Task::Pointer GCodeTask(const json& parameters) {
    return TaskManager::CreateTask<T_GCode>(parameters);
}

}  // namespace

using TaskJson = ManualTaskTest;

TEST_F(TaskJson, AFileLineWithTwoChildrenIsOneFullFormAtRegistration) {
    auto line = GCodeTask(
        {{"gcode_command", "G28 X"}, {"line_number", "12"}, {"description", "Home|{X}|"}});
    auto a = T_Probe::Make();
    auto b = T_Probe::Make();
    line->AddSubTasks({a, b});
    line->SetOrigin("File");
    Add(line);
    EXPECT_EQ(ui_.Texts().size(), 0u);  // nothing leaves before UpdateTasks
    const auto updates = Flush();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].dump(),
              "{\"breakpoint\":false,\"children\":[" + std::to_string(a->GetId()) + "," +
                  std::to_string(b->GetId()) +
                  "],\"description\":\"Home|{X}|\",\"gcode_command\":\"G28 X\",\"id\":" +
                  std::to_string(line->GetId()) +
                  ",\"line_number\":\"12\",\"name\":\"T_GCode\",\"origin\":\"File\","
                  "\"status\":\"INITIALIZING\"}");
    // Children never report, not even when they change.
    a->Cancel("x");
    EXPECT_TRUE(Flush().empty());
}

TEST_F(TaskJson, ATerminalLineHasNoLineNumberAndNoOrigin) {
    auto line = GCodeTask({{"gcode_command", "G90"}, {"description", "~3Absolute Positioning"}});
    Add(line);
    const auto updates = Flush();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_FALSE(updates[0].contains("line_number"));
    EXPECT_FALSE(updates[0].contains("children"));
    EXPECT_FALSE(updates[0].contains("parent"));
    EXPECT_EQ(updates[0].at("origin"), "");
}

TEST_F(TaskJson, AFailedLineCarriesItsCancellationReason) {
    auto line = GCodeTask({{"gcode_command", "G1 X"},
                           {"line_number", "3"},
                           {"description", "~3GCode Error"},
                           {"cancellation_reason", "<gcode_error>bad</gcode_error>"}});
    line->SetStatus(Task::CANCELLED);
    Add(line);
    const auto updates = Flush();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].at("cancellation_reason"), "<gcode_error>bad</gcode_error>");
    EXPECT_EQ(updates[0].at("status"), "CANCELLED");
}

TEST_F(TaskJson, CancellingAndBreakpointsGiveTheirExactItems) {
    auto task = T_Probe::Make();
    Add(task);
    Flush();
    task->MarkBreakpoint();
    task->Cancel("Cancelled by User Interface");
    EXPECT_EQ(ui_.Texts().size(), 0u);
    manager_.UpdateTasks();
    const std::string id = std::to_string(task->GetId());
    EXPECT_EQ(
        ui_.Texts(),
        std::vector<std::string>(
            {"{\"command\":\"updateTasks\",\"tasks\":[{\"breakpoint\":true,\"id\":" + id + "}]}",
             "{\"command\":\"updateTasks\",\"tasks\":[{\"cancellation_reason\":"
             "\"Cancelled by User Interface\",\"id\":" +
                 id + ",\"status\":\"CANCELLED\"}]}"}));
}

TEST_F(TaskJson, TwoUpdatesOfOneStepLeaveAsTwoMessages) {
    auto task = T_Probe::Make();
    task->on_start_ = [task = task.get()] {
        task->SetDescription("Linear Group||");
        json update = {{"description", "Linear Group||"}};
        task->QueueUpdate(update);
    };
    Add(task);
    Flush();
    TaskManagerProbe::Pass();  // the worker sends after each task it looks at
    const auto messages = ui_.Messages();
    ASSERT_EQ(messages.size(), 2u);
    for (const auto& message : messages) {
        EXPECT_EQ(message.at("command"), "updateTasks");
        EXPECT_EQ(message.at("tasks").size(), 1u);
    }
    EXPECT_EQ(messages[0].at("tasks")[0].at("status"), "RUNNING");
    EXPECT_EQ(messages[1].at("tasks")[0].at("description"), "Linear Group||");
}

TEST_F(TaskJson, UpdateUIIsSentAtOnceWithSortedKeys) {
    auto task = T_Probe::Make();
    task->UpdateUI({{"meshCalculating", true}, {"meshAvailable", false}});
    EXPECT_EQ(ui_.Texts(),
              std::vector<std::string>({"{\"command\":\"updateUI\",\"data\":{\"meshAvailable\":"
                                        "false,\"meshCalculating\":true}}"}));
}

TEST_F(TaskJson, ATaskWithoutDescriptionRegistersWithAnEmptyOne) {
    auto task = TaskManager::CreateTask<T_GCode>({{"gcode_command", "G4"}});
    testing::internal::CaptureStderr();
    Add(task);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(manager_.GetTask(task->GetId()), nullptr);
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
    const auto updates = Flush();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].at("description"), "");
    EXPECT_FALSE(task->HasProperty("description"));
}

TEST_F(TaskJson, AMistypedParameterStillRegistersTheTask) {
    auto task = TaskManager::CreateTask<T_GCode>({{"description", "d"}, {"line_number", 12}});
    testing::internal::CaptureStderr();
    Add(task);
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(manager_.GetTask(task->GetId()), nullptr);
    EXPECT_NE(errors.find("registered without its update"), std::string::npos) << errors;
}

TEST_F(TaskJson, GetPropertyOfAMissingKeyThrowsAndLeavesItNull) {
    auto task = T_Probe::Make();
    EXPECT_FALSE(task->HasProperty("axis"));
    EXPECT_THROW(task->GetProperty<std::string>("axis"), json::type_error);
    EXPECT_TRUE(task->HasProperty("axis"));
    auto numbers = TaskManager::CreateTask<T_GCode>({{"a", 3}, {"b", 2.5}, {"c", true}});
    EXPECT_EQ(numbers->GetProperty<int>("a"), 3);
    EXPECT_EQ(numbers->GetProperty<unsigned int>("a"), 3u);
    EXPECT_DOUBLE_EQ(numbers->GetProperty<double>("b"), 2.5);
    EXPECT_TRUE(numbers->GetProperty<bool>("c"));
    EXPECT_THROW(numbers->GetProperty<std::string>("a"), json::type_error);
}

TEST_F(TaskJson, CreateTaskCopiesTheParameters) {
    json parameters = {{"description", "before"}};
    auto task = TaskManager::CreateTask<T_GCode>(parameters);
    parameters["description"] = "after";
    EXPECT_EQ(task->GetProperty<std::string>("description"), "before");
    EXPECT_EQ(task->GetName(), "T_GCode");
    EXPECT_EQ(manager_.GetTask(task->GetId()), nullptr);  // not registered
}

TEST_F(TaskJson, PrintTasksListsEveryTaskWithIdsSortedAsText) {
    manager_.PrintTasks();
    EXPECT_EQ(ui_.Texts(), std::vector<std::string>({"{\"command\":\"printTasks\"}"}));
    ui_.Clear();
    auto parent = T_Probe::Make();
    auto child = T_Probe::Make();
    parent->AddParallelTask(child);
    Add(parent);
    parent->Step();
    manager_.PrintTasks();
    json expected = {{"command", "printTasks"},
                     {std::to_string(parent->GetId()), "RUNNING"},
                     {std::to_string(child->GetId()), "INITIALIZING"}};
    ASSERT_EQ(ui_.Texts().size(), 1u);  // the queued updates stay queued
    EXPECT_EQ(ui_.Texts()[0], expected.dump());
    EXPECT_EQ(ui_.Texts()[0].rfind(",\"command\":\"printTasks\"}"), ui_.Texts()[0].size() - 24);
}
