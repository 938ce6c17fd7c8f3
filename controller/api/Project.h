// One client connection of the JSON API: reads JSON objects from its TCP
// socket, dispatches each to its command handler, replies over TCP and sends
// task and status updates as UDP datagrams to the UI's port on 127.0.0.1.
#pragma once

#include "MessageFramer.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/mutex.hpp>
#include <nlohmann/json.hpp>

class VrxException;

class Project : public boost::enable_shared_from_this<Project> {
  public:
    using ClosedCallback = std::function<void(boost::shared_ptr<Project>)>;
    // Asked as a close begins: false when another close of the server is
    // under way already, which ends the process itself.
    using ClosingCallback = std::function<bool()>;

    static constexpr std::size_t kReadBufferSize = 1024 * 1024;
    // Replies waiting for a write, wherever they wait; a client that lets
    // more pile up does not read them and is served no longer.
    static constexpr std::size_t kMaxQueuedBytes = 64 * 1024 * 1024;

    // Without a closing callback every close goes ahead.
    Project(boost::asio::io_context& io_context, ClosedCallback closed_callback,
            ClosingCallback closing_callback = {});

    // The TCP socket, for the acceptor.
    boost::asio::ip::tcp::socket& GetSocket() { return socket_; }
    // Starts one asynchronous read; its completion re-arms it.
    void StartRead();
    // Cuts received text into JSON values; unfinished text waits for the next read.
    std::vector<nlohmann::json> SplitMessages(std::string text);
    // Sends a message over TCP; callable from any thread; returns at once.
    void Send(const std::string& message);
    // Sends one datagram to the UI's endpoint once "uiEndpoint" has set it;
    // callable from any thread; returns at once.
    void SendDatagram(const std::string& message);
    // Ends the connection and, through the closed callback, the process: the
    // tasks are dropped, the machine is made safe (axes stopped, heaters off)
    // and the record streams are stopped first. Does nothing while another
    // close runs (see ClosingCallback). Runs on the I/O thread or the task
    // worker, never on a record thread.
    void Close();
    // The process's exit status once Close has run: 0 when the machine was
    // made safe, kUnsafeExitStatus when it was not.
    int ExitStatus() const { return exit_status_.load(); }
    static constexpr int kUnsafeExitStatus = 2;
    // Runs the handler of one parsed command object. `received` is the start
    // of its text, quoted when the command is dropped.
    void HandleCommand(const nlohmann::json& message, std::string_view received = {});

  private:
    using Handler = void (Project::*)(const nlohmann::json&);
    struct Command {
        const char* name;
        Handler handler;
    };
    static const std::vector<Command>& Commands();
    // A parsed value and the start of the text it came from.
    struct Received {
        nlohmann::json message;
        std::string excerpt;
    };

    // Parses every value that the received bytes complete.
    std::vector<Received> Frame(std::string_view bytes);

    void OnRead(const boost::system::error_code& error, std::size_t bytes);
    void OnReadError(const boost::system::error_code& error);
    void Enqueue(std::string message);
    // More than kMaxQueuedBytes of replies wait for a write.
    bool RepliesPileUp() const;
    // Ends the connection of a client that reads no replies.
    void CloseUnread();
    void WriteNext();
    void OnWrite(const boost::system::error_code& error);
    // Answers a controller error with "vrxError".
    void SendVrxError(const VrxException& error);

    // G-code front end commands: machine settings and file verification.
    void Handle_SetAxisResolution(const nlohmann::json& message);
    void Handle_SetForwardLimit(const nlohmann::json& message);
    void Handle_SetFeedrate(const nlohmann::json& message);
    void Handle_SetUnits(const nlohmann::json& message);
    void Handle_LoadSettings(const nlohmann::json& message);
    void Handle_VerifyGcode(const nlohmann::json& message);

    // Program commands: terminal lines and raw controller commands, program loading.
    void Handle_TerminalCommand(const nlohmann::json& message);
    void Handle_LoadGcode(const nlohmann::json& message);

    // Axis commands that act on the homing or jog task of the same axis first.
    void Handle_HomeAxis(const nlohmann::json& message);
    void Handle_CancelHomeAxis(const nlohmann::json& message);
    void Handle_JogAxis(const nlohmann::json& message);

    // Machine commands that queue one task for the UI.
    void Handle_SetTemperature(const nlohmann::json& message);
    void Handle_SetFanSpeed(const nlohmann::json& message);
    void Handle_BedLevel(const nlohmann::json& message);

    // Controller link commands: streams and axis stop.
    void Handle_OpenStream(const nlohmann::json& message);
    void Handle_OpenTemperatureStream(const nlohmann::json& message);
    void Handle_UIEndpoint(const nlohmann::json& message);
    void Handle_StopAxis(const nlohmann::json& message);
    void Handle_Ping(const nlohmann::json& message);

    // Task control commands: each acts on the task manager and sends no reply
    // ("printTasks" answers by datagram through the task manager).
    void Handle_DebugExecute(const nlohmann::json& message);
    void Handle_PauseTask(const nlohmann::json& message);
    void Handle_ResumeTask(const nlohmann::json& message);
    void Handle_AddBreakpoint(const nlohmann::json& message);
    void Handle_RemoveBreakpoint(const nlohmann::json& message);
    void Handle_CancelTask(const nlohmann::json& message);
    void Handle_PrintTasks(const nlohmann::json& message);
    void Handle_StepOverTask(const nlohmann::json& message);
    void Handle_FinishThenShutdown(const nlohmann::json& message);
    void Handle_Shutdown(const nlohmann::json& message);

    boost::asio::io_context& io_context_;
    ClosedCallback closed_callback_;
    ClosingCallback closing_callback_;
    // Set by Close before the closed callback runs.
    std::atomic<int> exit_status_{0};
    // Set by "finishThenShutdown"; read errors then neither print nor close.
    // Written and read on the I/O thread only.
    bool finishing_ = false;
    // Orders the hand-over of messages from several threads to the I/O thread.
    boost::mutex send_mutex_;
    // Guards the UDP socket and endpoint: every thread that tells the UI sends itself.
    boost::mutex datagram_mutex_;
    boost::asio::ip::udp::endpoint ui_endpoint_;
    boost::asio::ip::udp::socket udp_socket_;
    boost::asio::ip::tcp::socket socket_;
    std::array<char, kReadBufferSize> buffer_;

    // I/O thread only: TCP messages waiting for the write in flight.
    std::deque<std::string> write_queue_;
    // How many messages at the front of the queue the write in flight carries.
    std::size_t writing_ = 0;
    // Bytes of the messages handed to Send and not yet to a write: those
    // posted to the I/O thread as well as those in write_queue_ behind the
    // write in flight. Send adds from any thread.
    std::atomic<std::size_t> waiting_bytes_{0};
    MessageFramer framer_;
    int consecutive_read_errors_ = 0;
    bool reading_stopped_ = false;
};
