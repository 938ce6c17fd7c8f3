// The axis commands against the task table, driven in the process with the
// task worker held still: which task is resumed, finished, cancelled or added.
#include "GCodeManager.h"
#include "Project.h"
#include "tasks/TaskTestSupport.h"

#include <algorithm>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/make_shared.hpp>

using nlohmann::json;
using Pointer = boost::shared_ptr<Task>;

namespace {

class AxisCommands : public testing::Test {
  protected:
    void SetUp() override {
        TaskManagerProbe::Halt();
        TaskManager::GetInstance().SetSendCallback([](std::string) {});
    }
    void TearDown() override { TaskManagerProbe::Halt(); }

    void Command(json message) { project_->HandleCommand(message); }
    // Every task of the table of the class, in id order.
    static std::vector<Pointer> TasksNamed(const std::string& name) {
        std::vector<Pointer> found;
        TaskManager::GetInstance().FindTask([&](Pointer task) {
            if (task->GetName() == name && task->GetParentId() == 0) {
                found.push_back(task);
            }
            return false;
        });
        std::sort(found.begin(), found.end(),
                  [](const Pointer& a, const Pointer& b) { return a->GetId() < b->GetId(); });
        return found;
    }
    static json Home(const std::string& axis) {
        return {{"command", "homeAxis"}, {"axis", axis}, {"description", "Home|{" + axis + "}|"}};
    }
    static json Jog(const std::string& axis, const std::string& polarity) {
        return {{"command", "jogAxis"}, {"axis", axis}, {"polarity", polarity}, {"speed", "1000"}};
    }

    // Lives as long as the process: the task manager may keep callbacks that hold a Project.
    static boost::asio::io_context& Io() {
        static boost::asio::io_context io_context;
        return io_context;
    }
    boost::shared_ptr<Project> project_ =
        boost::make_shared<Project>(Io(), [](boost::shared_ptr<Project>) {});
};

TEST_F(AxisCommands, HomeAxisQueuesForcedHomingsFirstAndResumesAPausedOne) {
    json message = Home("Z");
    message["force_home_x"] = false;  // only the key counts
    message["force_home_y"] = true;
    Command(message);
    // Made first, queued last.
    auto homes = TasksNamed("T_Home");
    ASSERT_EQ(homes.size(), 3u);
    const auto& requested = homes[0];
    EXPECT_EQ(homes[1]->GetProperty<json>("description"), "Home|{X}|");
    EXPECT_EQ(homes[2]->GetProperty<json>("axis"), "Y");
    EXPECT_EQ(homes[2]->GetOrigin(), "");
    EXPECT_EQ(requested->GetProperty<json>("force_home_y"), true) << "the whole message";
    EXPECT_EQ(requested->GetOrigin(), "UI");
    EXPECT_FALSE(requested->StartConditionsMet());
    homes[1]->SetStatus(Task::FINISHED);
    homes[2]->SetStatus(Task::CANCELLED);
    EXPECT_FALSE(requested->StartConditionsMet()) << "a cancelled forced homing holds it";
    homes[2]->SetStatus(Task::FINISHED);
    EXPECT_TRUE(requested->StartConditionsMet());

    // A paused homing of the axis is resumed, a running one gets another
    // beside it; another axis never matches.
    homes[0]->SetStatus(Task::PAUSED);
    Command(Home("Z"));
    EXPECT_EQ(TasksNamed("T_Home").size(), 3u) << "nothing queued";
    EXPECT_FALSE(homes[0]->IsStatus(Task::PAUSED)) << "resumed";
    homes[0]->SetStatus(Task::RUNNING);
    Command(Home("Z"));
    EXPECT_EQ(TasksNamed("T_Home").size(), 4u);
    homes[0]->SetStatus(Task::PAUSED);
    Command(Home("Y"));
    EXPECT_EQ(TasksNamed("T_Home").size(), 5u);
    EXPECT_TRUE(homes[0]->IsStatus(Task::PAUSED));
}

TEST_F(AxisCommands, CancelHomeAxisCancelsEveryHomingOfThatAxis) {
    Command(Home("Z"));
    Command(Home("Z"));
    Command(Home("Y"));
    GCodeManager::GetInstance().ProcessLine(GCode("G28", 0), false);
    const auto line = TaskManager::GetInstance().GetLastTask();
    Command({{"command", "cancelHomeAxis"}, {"axis", "Z"}});
    const auto homes = TasksNamed("T_Home");
    ASSERT_EQ(homes.size(), 3u);
    EXPECT_TRUE(homes[0]->IsStatus(Task::CANCELLED));
    EXPECT_TRUE(homes[1]->IsStatus(Task::CANCELLED));
    EXPECT_FALSE(homes[2]->IsStatus(Task::CANCELLED));
    EXPECT_TRUE(line->IsStatus(Task::CANCELLED)) << "through its Z homing";
    // Without "axis" the command fails and changes nothing.
    testing::internal::CaptureStderr();
    Command({{"command", "cancelHomeAxis"}});
    EXPECT_NE(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(homes[2]->IsStatus(Task::CANCELLED));
}

TEST_F(AxisCommands, JogAxisActsOnTheJogOfTheSameAxis) {
    Command(Jog("X", "Pos"));
    auto jogs = TasksNamed("T_Jog");
    ASSERT_EQ(jogs.size(), 1u);
    EXPECT_EQ(jogs[0]->GetOrigin(), "UI");
    jogs[0]->SetStatus(Task::RUNNING);

    // The same direction again: cancelled, and a new jog queued.
    Command(Jog("X", "Pos"));
    EXPECT_TRUE(jogs[0]->IsStatus(Task::CANCELLED));
    TaskManagerProbe::ApplyPending();  // the ended jog leaves the table
    jogs = TasksNamed("T_Jog");
    ASSERT_EQ(jogs.size(), 1u);

    // The same direction while paused: resumed, nothing queued.
    jogs[0]->SetStatus(Task::PAUSED);
    Command(Jog("X", "Pos"));
    EXPECT_FALSE(jogs[0]->IsStatus(Task::PAUSED));
    EXPECT_EQ(TasksNamed("T_Jog").size(), 1u);

    // The other direction: the old jog finishes, a new one is queued.
    jogs[0]->SetStatus(Task::RUNNING);
    Command(Jog("X", "Neg"));
    EXPECT_TRUE(jogs[0]->IsStatus(Task::FINISHED));
    TaskManagerProbe::ApplyPending();
    jogs = TasksNamed("T_Jog");
    ASSERT_EQ(jogs.size(), 1u);
    jogs[0]->SetStatus(Task::RUNNING);

    // A jog of another axis leaves the running jog alone.
    Command(Jog("Y", "Neg"));
    EXPECT_TRUE(jogs[0]->IsStatus(Task::RUNNING));
    EXPECT_EQ(TasksNamed("T_Jog").size(), 2u);
}

}  // namespace
