// One controller reached through the communication library: open, send a
// command and read its trimmed reply. Commands on one connection never overlap.
#pragma once

#include <zenlib.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include <boost/thread/recursive_mutex.hpp>

class ControllerConnection {
  public:
    static constexpr uint32_t kReplySize = 449;

    ControllerConnection(const ControllerConnection&) = delete;
    ControllerConnection& operator=(const ControllerConnection&) = delete;

    // Opens "<address> -s DR -t 1000" and starts the record stream (rate 2.0).
    // Throws VrxException; a failure leaves the connection as it was.
    void Open(const std::string& address);
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
    // Sends `text`; on failure throws a VrxException that may ask "TC1"
    // (ask_reason) or not.
    std::string SendCommand(const std::string& text, bool ask_reason);

    std::array<char, kReplySize> reply_{};
    std::atomic<ZHandle> handle_{nullptr};
    std::atomic<bool> open_{false};
};
