// One controller reached through the communication library: open, send a
// command and read its trimmed reply. Commands on one connection never overlap.
#pragma once

#include <zenlib.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include <boost/thread/recursive_mutex.hpp>

class ControllerConnection {
  public:
    static constexpr uint32_t kReplySize = 449;
    // Starts the record stream of a freshly opened handle; throws when it cannot.
    using StreamStarter = std::function<void(ZHandle)>;

    ControllerConnection(const ControllerConnection&) = delete;
    ControllerConnection& operator=(const ControllerConnection&) = delete;

    // Opens "<address> -s DR -t 1000" and starts the record stream (rate 2.0).
    // Throws VrxException; a failure leaves the connection as it was.
    void Open(const std::string& address);
    // Opens a new handle to `address`, starts its record stream with `start`
    // and only then puts it in place of the old handle, which is closed. A
    // failure of either step closes the new handle and leaves the connection
    // and its stream as they were.
    void Reopen(const std::string& address, const StreamStarter& start);
    // Sends one command; returns the reply without its "\r\n:" ending.
    // Throws VrxException (source: the command text) on a non-zero return code.
    std::string Command(const std::string& text);
    // True for 0; otherwise throws a VrxException built from source and rc.
    bool CheckReturnCode(const std::string& source, int32_t rc);

    ZHandle GetHandle() const { return handle_.load(); }
    bool IsOpen() const { return open_.load(); }

    // The controller's explanation of the last rejected command ("TC1").
    // Throws a VrxException that asks nothing further when "TC1" itself fails.
    std::string QueryErrorText();

    // The reply text of `count` bytes of `buffer` without its "\r\n:" ending.
    static std::string TrimReply(const char* buffer, uint32_t count);

  protected:
    ControllerConnection() = default;
    ~ControllerConnection() = default;

    // Serialises commands: the reply buffer is shared by all callers.
    // Recursive so that a rejected command asks "TC1" before anyone else
    // can send a command in between and lose the controller's explanation.
    boost::recursive_mutex command_mutex_;

  private:
    // A new handle opened with the record options; throws VrxException.
    ZHandle OpenHandle(const std::string& address);
    // Puts `handle` in place of the old one, which is closed: a replaced
    // connection must not keep its sockets and its controller-side stream.
    void Adopt(ZHandle handle);
    // Sends `text`; on failure throws a VrxException that may ask "TC1"
    // (ask_reason) or not.
    std::string SendCommand(const std::string& text, bool ask_reason);

    std::array<char, kReplySize> reply_{};
    std::atomic<ZHandle> handle_{nullptr};
    std::atomic<bool> open_{false};
};
