#include "Project.h"

#include "DataRecordWatcher.h"
#include "MachineSafety.h"
#include "MainConnection.h"
#include "TaskManager.h"
#include "TemperatureConnection.h"
#include "Utilities.h"
#include "VrxException.h"

#include <iostream>
#include <memory>
#include <utility>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/weak_ptr.hpp>

using nlohmann::json;

namespace {

// A read error that comes back on every read (other than end of stream and
// reset, which close at once) is given this many tries before the connection
// is taken as lost, so it cannot spin the I/O thread for ever.
constexpr int kMaxConsecutiveReadErrors = 16;

bool IsConnectionGone(const boost::system::error_code& error) {
    return error == boost::asio::error::eof || error == boost::asio::error::connection_reset;
}

}  // namespace

Project::Project(boost::asio::io_context& io_context, ClosedCallback closed_callback,
                 ClosingCallback closing_callback)
    : io_context_(io_context),
      closed_callback_(std::move(closed_callback)),
      closing_callback_(std::move(closing_callback)),
      udp_socket_(io_context),
      socket_(io_context) {}

const std::vector<Project::Command>& Project::Commands() {
    // Dispatch order; the first equal name wins.
    static const std::vector<Command> commands = {
        {"terminalCommand", &Project::Handle_TerminalCommand},
        {"openStream", &Project::Handle_OpenStream},
        {"openTemperatureStream", &Project::Handle_OpenTemperatureStream},
        {"setAxisResolution", &Project::Handle_SetAxisResolution},
        {"setForwardLimit", &Project::Handle_SetForwardLimit},
        {"setFeedrate", &Project::Handle_SetFeedrate},
        {"setUnits", &Project::Handle_SetUnits},
        {"loadSettings", &Project::Handle_LoadSettings},
        {"uiEndpoint", &Project::Handle_UIEndpoint},
        {"homeAxis", &Project::Handle_HomeAxis},
        {"cancelHomeAxis", &Project::Handle_CancelHomeAxis},
        {"jogAxis", &Project::Handle_JogAxis},
        {"stopAxis", &Project::Handle_StopAxis},
        {"debugExecute", &Project::Handle_DebugExecute},
        {"loadGcode", &Project::Handle_LoadGcode},
        {"verifyGcode", &Project::Handle_VerifyGcode},
        {"ping", &Project::Handle_Ping},
        {"pauseTask", &Project::Handle_PauseTask},
        {"resumeTask", &Project::Handle_ResumeTask},
        {"addBreakpoint", &Project::Handle_AddBreakpoint},
        {"removeBreakpoint", &Project::Handle_RemoveBreakpoint},
        {"cancelTask", &Project::Handle_CancelTask},
        {"printTasks", &Project::Handle_PrintTasks},
        {"stepOverTask", &Project::Handle_StepOverTask},
        {"setTemperature", &Project::Handle_SetTemperature},
        {"setFanSpeed", &Project::Handle_SetFanSpeed},
        {"bedLevel", &Project::Handle_BedLevel},
        {"finishThenShutdown", &Project::Handle_FinishThenShutdown},
        {"shutdown", &Project::Handle_Shutdown},
    };
    return commands;
}

void Project::StartRead() {
    socket_.async_read_some(
        boost::asio::buffer(buffer_),
        [self = shared_from_this()](const boost::system::error_code& error, std::size_t bytes) {
            self->OnRead(error, bytes);
        });
}

void Project::OnRead(const boost::system::error_code& error, std::size_t bytes) {
    if (error) {
        OnReadError(error);
        return;
    }
    consecutive_read_errors_ = 0;
    for (const auto& received : Frame(std::string_view(buffer_.data(), bytes))) {
        // The replies to the commands of one read wait until this handler
        // returns, so a client that writes many requests at once and reads
        // nothing is stopped here, between two of them.
        if (RepliesPileUp()) {
            CloseUnread();
            return;
        }
        HandleCommand(received.message, received.excerpt);
    }
    StartRead();
}

void Project::OnReadError(const boost::system::error_code& error) {
    const bool persistent = ++consecutive_read_errors_ >= kMaxConsecutiveReadErrors;
    if (finishing_) {
        // The task manager closes the connection once the queue has run out.
        // A client that closed its side will send nothing more: stop reading
        // instead of spinning on end of stream.
        if (!IsConnectionGone(error) && !persistent) {
            StartRead();
            return;
        }
        // Nobody is left to resume a pause or a breakpoint either.
        TaskManager::GetInstance().FinishWhenHeld();
        return;
    }
    std::cerr << error.message() << std::endl;
    if (IsConnectionGone(error) || persistent) {
        Close();
        return;
    }
    StartRead();
}

std::vector<json> Project::SplitMessages(std::string text) {
    std::vector<json> messages;
    for (auto& received : Frame(text)) {
        messages.push_back(std::move(received.message));
    }
    return messages;
}

std::vector<Project::Received> Project::Frame(std::string_view bytes) {
    std::vector<Received> messages;
    framer_.Feed(
        bytes,
        [&messages](std::string&& body) {
            json value = json::parse(body, nullptr, /*allow_exceptions=*/false);
            if (value.is_discarded()) {
                std::cerr << "Dropped a message that is not valid JSON: " << Excerpt(body)
                          << std::endl;
                return;
            }
            messages.push_back({std::move(value), Excerpt(body)});
        },
        [](const std::string& line) { std::cerr << line << std::endl; });
    return messages;
}

void Project::HandleCommand(const json& message, std::string_view received) {
    try {
        const auto command = message.at("command").get<std::string>();
        for (const auto& entry : Commands()) {
            if (command == entry.name) {
                (this->*entry.handler)(message);
                return;
            }
        }
    } catch (const VrxException& error) {
        SendVrxError(error);
    } catch (const std::exception& error) {
        // Quotes the text as received: the value itself may be too large or
        // too deep to be written out again.
        std::cerr << "Dropped command" << (received.empty() ? "" : " ") << received << ": "
                  << error.what() << std::endl;
    }
}

void Project::Send(const std::string& message) {
    // All socket work happens on the I/O thread; other threads only hand the
    // message over. The lock keeps hand-overs in the order Send was entered.
    boost::mutex::scoped_lock lock(send_mutex_);
    waiting_bytes_ += message.size();
    boost::asio::post(io_context_, [self = shared_from_this(), message]() mutable {
        self->Enqueue(std::move(message));
    });
}

void Project::Enqueue(std::string message) {
    write_queue_.push_back(std::move(message));
    if (writing_ == 0) {
        WriteNext();
        return;
    }
    if (RepliesPileUp()) {
        CloseUnread();
    }
}

bool Project::RepliesPileUp() const {
    return waiting_bytes_.load() > kMaxQueuedBytes;
}

void Project::CloseUnread() {
    std::cerr << "Client reads no replies: more than " << kMaxQueuedBytes
              << " bytes wait to be sent; closing the connection" << std::endl;
    Close();
}

void Project::WriteNext() {
    // Everything queued so far leaves in one gathered write; messages stay
    // whole and in order.
    std::vector<boost::asio::const_buffer> buffers;
    buffers.reserve(write_queue_.size());
    std::size_t bytes = 0;
    for (const auto& message : write_queue_) {
        buffers.push_back(boost::asio::buffer(message));
        bytes += message.size();
    }
    writing_ = write_queue_.size();
    waiting_bytes_ -= bytes;
    boost::asio::async_write(socket_, buffers,
                             [self = shared_from_this()](const boost::system::error_code& error,
                                                         std::size_t) { self->OnWrite(error); });
}

void Project::OnWrite(const boost::system::error_code& error) {
    if (error) {
        std::cerr << "WriteHandler() " << error.message() << std::endl;
    }
    write_queue_.erase(write_queue_.begin(), write_queue_.begin() + writing_);
    writing_ = 0;
    if (!write_queue_.empty()) {
        WriteNext();
    }
}

void Project::SendDatagram(const std::string& message) {
    // Sent on the calling thread rather than handed to the I/O thread: while
    // that thread loads a long program, the task updates of the load would
    // otherwise all wait in its queue at once.
    boost::mutex::scoped_lock lock(datagram_mutex_);
    if (!udp_socket_.is_open()) {
        return;  // No "uiEndpoint" yet: nobody to tell.
    }
    boost::system::error_code error;
    udp_socket_.send_to(boost::asio::buffer(message), ui_endpoint_, 0, error);
    if (error) {
        std::cerr << "Error sending datagram: " << error.message() << std::endl;
    }
}

void Project::SendVrxError(const VrxException& error) {
    const json reply = {
        {"command", "vrxError"},
        {"data",
         {{"rc", error.GetRc()},
          {"source", error.GetSource()},
          {"error_string", error.GetErrorString()}}},
    };
    Send(DumpMessage(reply));
}

void Project::Close() {
    // Two closes at once (a signal's on the I/O thread, a finish's on the
    // worker) would make the machine safe twice over, each against the other.
    if (closing_callback_ && !closing_callback_()) {
        return;
    }
    // The worker ends and every task is dropped: nothing sends commands of
    // its own any more.
    TaskManager::GetInstance().Stop();
    auto& watcher = DataRecordWatcher::GetInstance();
    auto& main = MainConnection::GetInstance();
    auto& temperature = TemperatureConnection::GetInstance();
    // While the record streams still run, so that they can show the stop.
    MachineSafety safety(main, temperature, watcher);
    const bool safe = safety.MakeSafe();
    watcher.Stop();
    watcher.StopTemperature();
    // Made safe (or not) once: the exit sends nothing more.
    main.CloseForExit();
    temperature.CloseForExit();
    exit_status_.store(safe ? 0 : kUnsafeExitStatus);
    closed_callback_(shared_from_this());
}

void Project::Handle_UIEndpoint(const json& message) {
    // Validate before changing anything: a port outside 1..65535 would wrap.
    const auto port = ReadInteger<int64_t>(message.at("port"), "port");
    if (port < 1 || port > 65535) {
        throw std::out_of_range("port " + std::to_string(port) + " is not a UDP port");
    }
    {
        boost::mutex::scoped_lock lock(datagram_mutex_);
        if (!udp_socket_.is_open()) {
            udp_socket_.open(boost::asio::ip::udp::v4());
            // A full send buffer drops the datagram rather than holding up a
            // task pass or a record thread.
            udp_socket_.non_blocking(true);
        }
        ui_endpoint_ = boost::asio::ip::udp::endpoint(boost::asio::ip::address_v4::loopback(),
                                                      static_cast<unsigned short>(port));
    }
    // Status goes to the connection of the last "uiEndpoint". A weak pointer:
    // the record thread must never call into a connection that is gone.
    DataRecordWatcher::GetInstance().SetUpdateCallback(
        [weak = boost::weak_ptr<Project>(shared_from_this())](std::string text) {
            if (auto self = weak.lock()) {
                self->SendDatagram(text);
            }
        });
    SendDatagram(DumpMessage(json{{"command", "uiPong"}}));
}

void Project::Handle_Ping(const json&) {
    Send(DumpMessage(json{{"command", "pong"}}));
}

void Project::Handle_OpenStream(const json& message) {
    const auto address = message.at("ip_address").get<std::string>();
    // The stream starts on the new handle and returns once its first record
    // is in; only then does the new handle replace the old one.
    MainConnection::GetInstance().Connect(
        address, [](ZHandle handle) { DataRecordWatcher::GetInstance().Start(handle); });
    Send(DumpMessage(json{{"command", "openStream"}, {"status", "success"}}));
}

void Project::Handle_OpenTemperatureStream(const json& message) {
    const auto address = message.at("ip_address").get<std::string>();
    TemperatureConnection::GetInstance().Connect(
        address, [](ZHandle handle) { DataRecordWatcher::GetInstance().StartTemperature(handle); });
    Send(DumpMessage(json{{"command", "openTemperatureStream"}, {"status", "success"}}));
}

void Project::Handle_StopAxis(const json& message) {
    // G-code axis to controller axis; any other value stops every axis.
    static const std::pair<const char*, const char*> kAxes[] = {
        {"X", "A"}, {"Y", "B"}, {"Z", "C"}, {"E", "D"}};
    const json& axis = message.at("axis");
    std::string command = "ST";
    for (const auto& [gcode_axis, controller_axis] : kAxes) {
        if (axis == gcode_axis) {
            command += controller_axis;
            break;
        }
    }
    // A stop may be sent twice: a refused or lost one is tried again.
    MainConnection::GetInstance().CommandIfEnabledUntilTaken(command);
}
