// A connection waiting for its queue to run out after "finishThenShutdown",
// driven in-process so the I/O context's work can be observed.
#include "Project.h"
#include "Task.h"
#include "TaskManager.h"

#include <gtest/gtest.h>

#include <chrono>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/make_shared.hpp>

namespace {

using boost::asio::ip::tcp;

// A task that never completes: it keeps the queue from running out.
class T_Hold : public Task {
  public:
    explicit T_Hold(Parameters data) : Task("T_Hold", std::move(data)) {
        AddCompletionCondition([] { return false; });
    }
};

}  // namespace

TEST(FinishingConnection, StopsReadingWhenTheClientClosesItsSide) {
    // The task manager keeps the finish callback, and with it the Project,
    // until the process ends; the I/O context must outlive them, as main's does.
    static boost::asio::io_context io_context;
    io_context.restart();
    bool closed = false;
    auto project = boost::make_shared<Project>(
        io_context, [&closed](boost::shared_ptr<Project>) { closed = true; });
    tcp::acceptor acceptor(io_context, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    acceptor.async_accept(project->GetSocket(), [&project](const boost::system::error_code& error) {
        ASSERT_FALSE(error);
        project->StartRead();
    });
    tcp::socket client(io_context);
    client.connect(acceptor.local_endpoint());
    io_context.run_one();  // the accept

    TaskManager::GetInstance().AddTask(boost::make_shared<T_Hold>(
        boost::make_shared<nlohmann::json>(nlohmann::json{{"description", "hold"}})));
    boost::asio::write(client,
                       boost::asio::buffer(std::string(R"({"command":"finishThenShutdown"})")));
    client.shutdown(tcp::socket::shutdown_send);

    // Once the end of stream is seen, nothing is left to do: run() returns.
    // A connection that kept re-reading its ended stream would spin until the
    // deadline instead.
    io_context.run_for(std::chrono::seconds(10));
    EXPECT_TRUE(io_context.stopped());
    EXPECT_FALSE(closed);  // the task manager closes it when the queue runs out
    TaskManager::GetInstance().Stop();
}
