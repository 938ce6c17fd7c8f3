// One virtual printer for the whole test binary, both controllers connected
// and both record streams running; each test gets a fresh task worker, a
// UI collector and empty command logs.
#pragma once

#include "VirtualPrinter.h"
#include "tasks/TaskTestSupport.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

class MachinePrinterTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override;

    // Moves an axis ('A' to 'C') to a physical position and waits until the
    // watcher's latest record shows it there, so no task reads a stale one.
    static void PlaceAxis(char axis, double physical_counts);
    // Sends a command to the main controller outside any task.
    static void Command(const std::string& text);
    // The main controller's log without the "TC1" error queries.
    static std::vector<std::string> MainLog();
    // Waits until `task` has reached `status`.
    static bool WaitForStatus(const Task::Pointer& task, uint32_t status);
    // The "data" objects of the "updateUI" messages collected so far.
    std::vector<nlohmann::json> UiData();

    static std::unique_ptr<sim::VirtualPrinter> printer_;
    UiCollector ui_;
};
