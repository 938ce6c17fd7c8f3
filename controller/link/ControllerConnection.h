// One controller reached through the communication library: open, send a
// command and read its trimmed reply. Commands on one connection never overlap.
//
// Each open holds two library handles to the controller: a record handle,
// opened with the record stream and a short timeout (the record threads ride
// out stalls themselves), and a command handle without a stream, whose
// timeout lets a reply come as late as a record may. A command handle that
// the library reports lost is dropped; the next command opens a fresh one to
// the same address, and the record stream goes on undisturbed.
#pragma once

#include <zenlib.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include <boost/thread/recursive_mutex.hpp>

class ControllerConnection {
  public:
    static constexpr uint32_t kReplySize = 449;
    // How long a command waits for its reply: as long as a record stream may
    // stall before it counts as failed.
    static const std::chrono::milliseconds kReplyLimit;
    // Tries of CommandUntilTaken.
    static constexpr int kMaxTries = 5;
    // Starts the record stream of a freshly opened handle; throws when it cannot.
    using StreamStarter = std::function<void(ZHandle)>;

    ControllerConnection(const ControllerConnection&) = delete;
    ControllerConnection& operator=(const ControllerConnection&) = delete;

    // Opens the record handle "<address> -s DR -t 1000" and starts its record
    // stream (rate 2.0), and the command handle "<address> -t <reply limit>".
    // Throws VrxException; a failure leaves the connection as it was.
    void Open(const std::string& address);
    // Opens new handles to `address`, starts the stream of the record handle
    // with `start` and only then puts them in place of the old ones, which
    // are closed. A failure of any step closes the new handles and leaves the
    // connection and its stream as they were.
    void Reopen(const std::string& address, const StreamStarter& start);
    // Sends one command; returns the reply without its "\r\n:" ending.
    // Throws VrxException (source: the command text) on a non-zero return code.
    // After a lost command handle it goes to a fresh one to the same address.
    std::string Command(const std::string& text);
    // For a command that may be carried out twice without harm (a stop,
    // heaters off): sends it until the controller takes it. A rejected,
    // unanswered or lost try is made again (on a fresh command handle after a
    // lost one), at most kMaxTries times and no new try once kReplyLimit has
    // passed; a controller that refuses the connection is gone and is not
    // tried again. Throws the last try's VrxException when none went through.
    std::string CommandUntilTaken(const std::string& text);
    // True for 0; otherwise throws a VrxException built from source and rc.
    bool CheckReturnCode(const std::string& source, int32_t rc);

    // The record handle: the record threads read on it.
    ZHandle GetHandle() const { return handle_.load(); }
    bool IsOpen() const { return open_.load(); }
    // "main controller" or "temperature controller", for messages.
    const char* Name() const { return name_; }

    // The controller's explanation of the last rejected command ("TC1").
    // Throws a VrxException that asks nothing further when "TC1" itself fails.
    std::string QueryErrorText();

    // The reply text of `count` bytes of `buffer` without its "\r\n:" ending.
    static std::string TrimReply(const char* buffer, uint32_t count);

  protected:
    explicit ControllerConnection(const char* name) : name_(name) {}
    ~ControllerConnection() = default;

    // Closes both handles for good (at exit): later commands reach no
    // controller and fail. `before_close` runs on the record handle first.
    void CloseHandles(const std::function<void(ZHandle)>& before_close = nullptr);

    // Serialises commands: the reply buffer is shared by all callers.
    // Recursive so that a rejected command asks "TC1" before anyone else
    // can send a command in between and lose the controller's explanation.
    boost::recursive_mutex command_mutex_;

  private:
    // A new record handle opened with the record options; throws VrxException.
    ZHandle OpenRecordHandle(const std::string& address);
    // A new command handle; throws VrxException with `source`.
    static ZHandle OpenCommandHandle(const std::string& address, const std::string& source);
    // Puts both handles in place of the old ones, which are closed: a
    // replaced connection must not keep its sockets and its controller-side stream.
    void Adopt(const std::string& address, ZHandle record_handle, ZHandle command_handle);
    // The command handle, a fresh one when the last was lost. Caller holds
    // command_mutex_. Throws a VrxException with source `text` when the
    // controller cannot be reached.
    ZHandle CommandHandle(const std::string& text);
    // Sends `text`; on failure throws a VrxException that may ask "TC1"
    // (ask_reason) or not.
    std::string SendCommand(const std::string& text, bool ask_reason);

    const char* const name_;
    std::array<char, kReplySize> reply_{};
    std::atomic<ZHandle> handle_{nullptr};
    std::atomic<bool> open_{false};
    // Guarded by command_mutex_: where the controller listens ("" before the
    // first open and after CloseHandles), and the command handle (null when
    // lost or never opened).
    std::string address_;
    ZHandle command_handle_ = nullptr;
};
