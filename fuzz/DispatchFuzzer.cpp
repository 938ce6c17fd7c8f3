// Fuzz target: bytes as a client sends them on its TCP connection, cut into
// JSON objects by the connection's framer, parsed and handed to the command
// dispatcher, with the task worker running and no controller connected.
// Every reply and datagram must be JSON, and no reply may be lost because it
// could not be dumped.
#include "MessageFramer.h"
#include "Project.h"
#include "StderrCapture.h"
#include "Task.h"
#include "TaskManager.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/filesystem.hpp>
#include <boost/make_shared.hpp>
#include <nlohmann/json.hpp>

namespace {

using boost::asio::ip::tcp;
using boost::asio::ip::udp;
using nlohmann::json;

// A program for "loadGcode" and "verifyGcode": clean lines, a warning, an
// error and a breakpoint.
const char kProgram[] =
    "; fuzz fixture\n"
    "G28\n"
    "M104 S200 T0\n"
    ";BREAKPOINT\n"
    "G1 X10 Y10 F3000\n"
    "G1 X20\n"
    "M106\n"
    "G4 P10\n";

// Walking a value recursively (dumping it, for one) takes stack per level:
// the framer drops values nested deeper than this before they are parsed.
constexpr int kMaxDepth = MessageFramer::kDefaultMaxDepth;

// How long a task that is done at once may wait for the worker.
constexpr auto kProbeDeadline = std::chrono::seconds(10);

// A task that is done as soon as the worker steps it: proof that the worker
// still runs tasks after whatever the input did.
class T_Probe : public Task {
  public:
    explicit T_Probe(std::promise<void>& finished)
        : Task("T_Probe", boost::make_shared<json>(json{{"description", "probe"}})) {
        AddCompletionCondition([] { return true; });
        AddOnFinish([&finished] { finished.set_value(); });
    }
};

// A folder holding the program, removed with it at exit.
class FixtureFolder {
  public:
    FixtureFolder()
        : path_((boost::filesystem::temp_directory_path() /
                 boost::filesystem::unique_path("dispatch_fuzzer.%%%%%%%%"))
                    .string()) {
        boost::filesystem::create_directory(path_);
        std::ofstream(path_ + "/sample.gcode") << kProgram;
    }
    ~FixtureFolder() {
        boost::system::error_code ignored;
        boost::filesystem::remove_all(path_, ignored);
    }
    FixtureFolder(const FixtureFolder&) = delete;
    FixtureFolder& operator=(const FixtureFolder&) = delete;

    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

class DispatchFuzzer {
  public:
    explicit DispatchFuzzer(std::string folder)
        : folder_(std::move(folder)),
          acceptor_(io_context_, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)),
          ui_socket_(io_context_, udp::endpoint(boost::asio::ip::address_v4::loopback(), 0)) {
        ui_socket_.non_blocking(true);
        TaskManager::GetInstance().Start();
    }

    // Each input is one client connection, start to end.
    void Run(const std::string& bytes) {
        Connect();
        bool closing = false;
        for (auto& message : project_->SplitMessages(bytes)) {
            if (Depth(message) > kMaxDepth) {
                capture_.Fail("a value nested deeper than " + std::to_string(kMaxDepth) +
                              " levels reached the dispatcher");
            }
            if (IsCommand(message, "openStream") || IsCommand(message, "openTemperatureStream")) {
                continue;  // it would dial the address in the message
            }
            // The server ends once the queue has run out; nothing runs after it.
            closing = closing || IsCommand(message, "finishThenShutdown");
            KeepLocal(message);
            project_->HandleCommand(message);
        }
        Pump();
        if (!closing) {
            ProbeWorker();
        }
        // A fresh worker on an empty table for the next connection. Joining
        // the old one first puts everything it did inside this input.
        TaskManager::GetInstance().Start();
        Pump();
        if (capture_.Contains("type_error.316")) {
            capture_.Fail("a reply or message could not be dumped");
        }
        capture_.Reset();
    }

  private:
    // Levels of arrays and objects, walked without recursion.
    static int Depth(const json& value) {
        int deepest = 0;
        std::vector<std::pair<const json*, int>> stack = {{&value, 0}};
        while (!stack.empty()) {
            const auto [item, depth] = stack.back();
            stack.pop_back();
            if (!item->is_structured()) {
                continue;
            }
            deepest = std::max(deepest, depth + 1);
            for (const auto& child : *item) {
                stack.emplace_back(&child, depth + 1);
            }
        }
        return deepest;
    }

    // A new connection, hooked up as the listener hooks up each accepted one.
    void Connect() {
        project_ = boost::make_shared<Project>(io_context_, [](boost::shared_ptr<Project>) {
            // The server would end here; the fuzzer goes on with the next input.
        });
        client_ = std::make_unique<tcp::socket>(io_context_);
        // Both ends asynchronously: libFuzzer's timer signal would interrupt a
        // blocking connect.
        boost::system::error_code accept_error;
        boost::system::error_code connect_error;
        int pending = 2;
        acceptor_.async_accept(project_->GetSocket(), [&](const boost::system::error_code& error) {
            accept_error = error;
            --pending;
        });
        client_->async_connect(acceptor_.local_endpoint(),
                               [&](const boost::system::error_code& error) {
                                   connect_error = error;
                                   --pending;
                               });
        io_context_.restart();
        while (pending > 0) {
            io_context_.run_one();
        }
        if (accept_error || connect_error) {
            throw boost::system::system_error(accept_error ? accept_error : connect_error);
        }
        client_->non_blocking(true);
        replies_ = MessageFramer();
        // The worker was restarted on an empty table at the end of the last input.
        TaskManager::GetInstance().SetSendCallback(
            [project = project_](std::string text) { project->SendDatagram(text); });
    }

    static bool IsCommand(const json& message, const char* name) {
        if (!message.is_object()) {
            return false;
        }
        const auto command = message.find("command");
        return command != message.end() && *command == name;
    }

    void ProbeWorker() {
        std::promise<void> finished;
        auto probe = boost::make_shared<T_Probe>(finished);
        TaskManager::GetInstance().AddTask(probe);
        if (finished.get_future().wait_for(kProbeDeadline) != std::future_status::ready) {
            capture_.Fail("the task worker no longer runs tasks");
        }
    }

    // File names are looked up in the fixture folder, and datagrams for a valid
    // port go to this fuzzer's own socket, never to another program's.
    void KeepLocal(json& message) const {
        if (!message.is_object()) {
            return;
        }
        const auto file = message.find("file");
        if (file != message.end() && file->is_string()) {
            *file = FixturePath(file->get<std::string>());
        }
        const auto port = message.find("port");
        if (port != message.end() && port->is_number() && *port >= 1 && *port <= 65535) {
            *port = ui_socket_.local_endpoint().port();
        }
    }

    std::string FixturePath(const std::string& name) const {
        std::string kept;
        for (const char c : name) {
            if (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-') {
                kept += c;
            }
        }
        return folder_ + "/" + kept.substr(0, 64);
    }

    // Runs the I/O work that the commands started and reads what they sent.
    void Pump() {
        io_context_.restart();
        for (int round = 0; round < 1000; ++round) {
            const std::size_t ran = io_context_.poll();
            const bool replies = ReadReplies();
            const bool datagrams = ReadDatagrams();
            if (ran == 0 && !replies && !datagrams) {
                return;
            }
            io_context_.restart();
        }
    }

    bool ReadReplies() {
        bool received = false;
        boost::system::error_code error;
        for (;;) {
            const std::size_t bytes = client_->read_some(boost::asio::buffer(buffer_), error);
            if (error) {
                return received;
            }
            received = true;
            replies_.Feed(
                std::string_view(buffer_.data(), bytes),
                [this](std::string&& reply) {
                    if (!json::accept(reply)) {
                        capture_.Fail("a reply is not JSON: " + reply);
                    }
                },
                [this](const std::string& line) {
                    capture_.Fail("bytes outside any reply: " + line);
                });
        }
    }

    bool ReadDatagrams() {
        bool received = false;
        boost::system::error_code error;
        for (;;) {
            const std::size_t bytes = ui_socket_.receive(boost::asio::buffer(buffer_), 0, error);
            if (error) {
                return received;
            }
            received = true;
            if (!json::accept(std::string_view(buffer_.data(), bytes))) {
                capture_.Fail("a datagram is not JSON: " + std::string(buffer_.data(), bytes));
            }
        }
    }

    StderrCapture capture_;
    std::string folder_;
    boost::asio::io_context io_context_;
    tcp::acceptor acceptor_;
    udp::socket ui_socket_;
    boost::shared_ptr<Project> project_;
    std::unique_ptr<tcp::socket> client_;
    MessageFramer replies_;
    std::vector<char> buffer_ = std::vector<char>(64 * 1024);
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // Never destroyed: the task manager keeps the connection, and with it the
    // I/O context, until the process ends.
    static const FixtureFolder folder;
    static DispatchFuzzer* const fuzzer = new DispatchFuzzer(folder.Path());
    fuzzer->Run(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
