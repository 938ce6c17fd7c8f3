// Scenarios on one virtual printer in this process: both controllers
// connected and both record streams running for a suite; each test gets a
// fresh task worker, a UI collector and empty command logs.
#pragma once

#include "VirtualPrinter.h"
#include "tasks/TaskTestSupport.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/make_shared.hpp>
#include <nlohmann/json.hpp>

// A task of class T on `parameters`.
template <typename T>
boost::shared_ptr<T> MakeTask(nlohmann::json parameters) {
    return boost::make_shared<T>(boost::make_shared<nlohmann::json>(std::move(parameters)));
}

class PrinterTest : public testing::Test {
  protected:
    // A suite that needs another clock speed hides this with its own,
    // calling StartPrinter(speed).
    static void SetUpTestSuite() { StartPrinter(20); }
    static void StartPrinter(double speed);
    static void TearDownTestSuite();
    void SetUp() override;
    void TearDown() override;

    // Hands `task` to the worker and waits until it reaches `status`.
    static bool Run(const Task::Pointer& task, uint32_t status = Task::FINISHED);
    // Hands `task` to the worker without waiting; returns it.
    template <typename T>
    static boost::shared_ptr<T> Start(boost::shared_ptr<T> task) {
        TaskManager::GetInstance().AddTask(task);
        return task;
    }
    // Waits until the main controller has been sent `command`.
    static bool Sent(const std::string& command) {
        return printer_->WaitForCommand(sim::Controller::kMain, command, std::chrono::seconds(10));
    }
    // Waits until `task` reaches `status`.
    static bool Ends(const Task::Pointer& task, uint32_t status = Task::FINISHED);
    // Moves an axis ('A' to 'D') to a physical position and waits until the
    // latest record shows it there and standing, so no task reads a stale one.
    static void PlaceAxis(char axis, double physical_counts);
    // A command to the main controller outside any task; its reply.
    static std::string Command(const std::string& text);
    // A controller's command log without the "TC1" error queries.
    static std::vector<std::string> Log(sim::Controller controller = sim::Controller::kMain);
    // The "data" objects of the "updateUI" messages collected so far.
    std::vector<nlohmann::json> UiData();
    // The "updateUI" data that sets `key` to each of `values` in turn.
    static std::vector<nlohmann::json> Flags(const std::string& key, std::vector<bool> values);
    // Waits until some text sent to the UI contains `part`.
    bool UiSaid(const std::string& part);

    static sim::VirtualPrinter* printer_;
    UiCollector ui_;
};
