// What the UI learns of tasks: full forms, partial updates, one datagram per
// update, "updateUI" and "printTasks" texts.
#include "ManualTaskTest.h"

#include "T_GCode.h"

using nlohmann::json;

using TaskJson = ManualTaskTest;

TEST_F(TaskJson, AFileLineWithChildrenIsOneFullFormAtRegistrationAndOneEntryEach) {
    auto line = TaskManager::CreateTask<T_GCode>(
        {{"gcode_command", "G28 X"}, {"line_number", "12"}, {"description", "Home|{X}|"}});
    auto a = T_Probe::Make(), b = T_Probe::Make();
    line->AddSubTasks({a, b});
    line->SetOrigin("File");
    Add(line);
    EXPECT_TRUE(ui_.Texts().empty());  // nothing leaves before UpdateTasks
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
    Add(line);  // an id already present keeps its entry
    EXPECT_EQ(TaskManagerProbe::TableSize(), 3u);
}

TEST_F(TaskJson, TerminalFailedAndFaultyLinesRegisterWithWhatTheyHave) {
    struct Row {
        json parameters;
        json expected;      // fields of the full form that matter; null: absent
        const char* error;  // the line on standard error, or ""
    };
    const Row rows[] = {
        {{{"gcode_command", "G90"}, {"description", "~3Absolute Positioning"}},
         {{"origin", ""}, {"line_number", nullptr}, {"children", nullptr}, {"parent", nullptr}},
         ""},
        {{{"gcode_command", "G1 X"},
          {"line_number", "3"},
          {"description", "~3GCode Error"},
          {"cancellation_reason", "<gcode_error>bad</gcode_error>"}},
         {{"cancellation_reason", "<gcode_error>bad</gcode_error>"}, {"status", "CANCELLED"}},
         ""},
        {{{"gcode_command", "G4"}}, {{"description", ""}}, "has no \"description\""},
        {{{"description", "d"}, {"line_number", 12}}, {}, "registered without its update"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.parameters.dump());
        auto task = TaskManager::CreateTask<T_GCode>(row.parameters);
        if (row.parameters.contains("cancellation_reason")) {
            task->SetStatus(C);
        }
        testing::internal::CaptureStderr();
        Add(task);
        const std::string errors = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(manager_.GetTask(task->GetId()));
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), *row.error ? 1 : 0) << errors;
        EXPECT_NE(errors.find(row.error), std::string::npos) << errors;
        const auto updates = Flush();
        ASSERT_EQ(updates.size(), row.expected.empty() ? 0u : 1u);
        for (const auto& [key, value] : row.expected.items()) {
            EXPECT_EQ(updates[0].value(key, json()), value) << key;
        }
    }
}

TEST_F(TaskJson, BreakpointsCancellationsAndStepsLeaveOneMessagePerUpdate) {
    auto task = T_Probe::Make();
    task->on_start_ = [task = task.get()] {
        task->SetDescription("Linear Group||");
        nlohmann::json update = {{"description", "Linear Group||"}};
        task->QueueUpdate(update);
    };
    Add(task);
    Flush();
    TaskManagerProbe::Pass();  // the worker sends after each task it looks at
    task->MarkBreakpoint();
    task->Cancel("Cancelled by User Interface");
    manager_.UpdateTasks();
    EXPECT_EQ(ui_.Texts().size(), 4u);
    EXPECT_EQ(ui_.Updates(), Updates({Status(task, "RUNNING"),
                                      {{"description", "Linear Group||"}, {"id", task->GetId()}},
                                      {{"breakpoint", true}, {"id", task->GetId()}},
                                      Cancelled(task, "Cancelled by User Interface")}));
}

TEST_F(TaskJson, UpdateUIGoesAtOnceAndPrintTasksListsIdsSortedAsText) {
    T_Probe::Make()->UpdateUI({{"meshCalculating", true}, {"meshAvailable", false}});
    manager_.PrintTasks();
    auto parent = T_Probe::Make(), child = T_Probe::Make();
    parent->AddParallelTask(child);
    Add(parent);
    parent->Step();
    manager_.PrintTasks();
    const json listing = {{"command", "printTasks"},
                          {std::to_string(parent->GetId()), "RUNNING"},
                          {std::to_string(child->GetId()), "INITIALIZING"}};
    // The queued updates stay queued.
    EXPECT_EQ(ui_.Texts(), Entries({"{\"command\":\"updateUI\",\"data\":{\"meshAvailable\":false,"
                                    "\"meshCalculating\":true}}",
                                    "{\"command\":\"printTasks\"}", listing.dump()}));
    EXPECT_EQ(ui_.Texts()[2].rfind(",\"command\":\"printTasks\"}"), listing.dump().size() - 24);
}
