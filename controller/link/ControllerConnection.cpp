#include "ControllerConnection.h"

#include "DataRecordWatcher.h"
#include "VrxException.h"

#include <zenlibo.h>

#include <algorithm>
#include <iostream>
#include <stdexcept>
#include <thread>

#include <boost/thread/lock_guard.hpp>

namespace {

// Record handle: stream data records; the record threads wait out stalls
// themselves in steps of this timeout, so a stream that is stopped ends soon.
const char* const kRecordOptions = " -s DR -t 1000";
const std::string kReplyEnd = "\r\n:";
// Pause before another try of a rejected command: the controller may be
// busy for a moment.
constexpr std::chrono::milliseconds kRetryPause{200};

std::string CommandOptions() {
    return " -t " + std::to_string(ControllerConnection::kReplyLimit.count());
}

// The command handle is gone: the next command needs a new one.
bool IsLost(int32_t rc) {
    return rc == Z_ERR_CONNECTION_LOST || rc == Z_ERR_BAD_HANDLE;
}

// Another try cannot go through: the controller is gone for good, or the
// command itself is unusable.
bool IsHopeless(int32_t rc) {
    return rc == Z_ERR_CONNECTION_REFUSED || rc == Z_ERR_BAD_ADDRESS || rc == Z_ERR_BAD_ARGUMENT;
}

}  // namespace

const std::chrono::milliseconds ControllerConnection::kReplyLimit = DataRecordWatcher::kStallLimit;

void ControllerConnection::Open(const std::string& address) {
    const ZHandle record_handle = OpenRecordHandle(address);
    ZHandle command_handle = nullptr;
    try {
        command_handle = OpenCommandHandle(address, "ZOpen(" + address + ")");
    } catch (...) {
        ZClose(record_handle);
        throw;
    }
    Adopt(address, record_handle, command_handle);
}

void ControllerConnection::Reopen(const std::string& address, const StreamStarter& start) {
    const ZHandle record_handle = OpenRecordHandle(address);
    ZHandle command_handle = nullptr;
    try {
        command_handle = OpenCommandHandle(address, "ZOpen(" + address + ")");
        start(record_handle);
    } catch (...) {
        if (command_handle != nullptr) {
            ZClose(command_handle);
        }
        ZClose(record_handle);
        throw;
    }
    Adopt(address, record_handle, command_handle);
}

ZHandle ControllerConnection::OpenRecordHandle(const std::string& address) {
    const std::string source = "ZOpen(" + address + ")";
    // Opened into a local handle so that a failed open leaves the connection
    // exactly as it was (an earlier open handle stays in use).
    // Commands on the handle in use go on meanwhile.
    ZHandle handle = nullptr;
    CheckReturnCode(source, ZOpen((address + kRecordOptions).c_str(), &handle));
    const ZReturnCode rate_rc = ZRecordRate(
        handle,
        std::chrono::duration<double, std::milli>(DataRecordWatcher::kRecordPeriod).count());
    if (rate_rc != 0) {
        ZClose(handle);
        // No "TC1" query: the new handle is gone and the old one did not fail.
        throw VrxException("ZRecordRate", rate_rc, nullptr);
    }
    return handle;
}

ZHandle ControllerConnection::OpenCommandHandle(const std::string& address,
                                                const std::string& source) {
    ZHandle handle = nullptr;
    const ZReturnCode rc = ZOpen((address + CommandOptions()).c_str(), &handle);
    if (rc != 0) {
        // Nothing to ask "TC1" on: no handle was opened.
        throw VrxException(source, rc, nullptr);
    }
    return handle;
}

void ControllerConnection::Adopt(const std::string& address, ZHandle record_handle,
                                 ZHandle command_handle) {
    // Under the command lock: no command is under way on the old handles.
    boost::lock_guard<boost::recursive_mutex> lock(command_mutex_);
    const ZHandle old = handle_.exchange(record_handle);
    open_.store(true);
    if (old != nullptr && old != record_handle) {
        ZClose(old);
    }
    if (command_handle_ != nullptr && command_handle_ != command_handle) {
        ZClose(command_handle_);
    }
    command_handle_ = command_handle;
    address_ = address;
}

void ControllerConnection::CloseHandles(const std::function<void(ZHandle)>& before_close) {
    boost::lock_guard<boost::recursive_mutex> lock(command_mutex_);
    if (command_handle_ != nullptr) {
        ZClose(command_handle_);
        command_handle_ = nullptr;
    }
    address_.clear();
    const ZHandle record_handle = handle_.exchange(nullptr);
    open_.store(false);
    if (record_handle != nullptr) {
        if (before_close) {
            before_close(record_handle);
        }
        ZClose(record_handle);
    }
}

std::string ControllerConnection::Command(const std::string& text) {
    return SendCommand(text, true);
}

std::string ControllerConnection::CommandUntilTaken(const std::string& text) {
    const auto give_up = std::chrono::steady_clock::now() + kReplyLimit;
    for (int tries = 1;; ++tries) {
        try {
            return Command(text);
        } catch (const VrxException& error) {
            if (tries >= kMaxTries || IsHopeless(error.GetRc()) ||
                std::chrono::steady_clock::now() >= give_up) {
                throw;
            }
            std::cerr << "The " << name_ << " did not take \"" << text << "\" (" << error.what()
                      << "); trying again" << std::endl;
            if (error.GetRc() == Z_ERR_COMMAND_REJECTED) {
                std::this_thread::sleep_for(kRetryPause);
            }
        }
    }
}

std::string ControllerConnection::QueryErrorText() {
    return SendCommand("TC1", false);
}

ZHandle ControllerConnection::CommandHandle(const std::string& text) {
    if (command_handle_ == nullptr && !address_.empty()) {
        std::cerr << "Opening a new command connection to the " << name_ << " for \"" << text
                  << "\"" << std::endl;
        command_handle_ = OpenCommandHandle(address_, text);
    }
    // Before the first open this is null, and the library says so.
    return command_handle_;
}

std::string ControllerConnection::SendCommand(const std::string& text, bool ask_reason) {
    // The library reads the text up to its first NUL: the rest would be lost
    // without a word while the reply looked like that of the whole text.
    if (text.find('\0') != std::string::npos) {
        throw std::invalid_argument("controller command holds a NUL character; not sent");
    }
    boost::lock_guard<boost::recursive_mutex> lock(command_mutex_);
    const ZHandle handle = CommandHandle(text);
    ZSize count = 0;
    const ZReturnCode rc =
        ZCommand(handle, text.c_str(), reply_.data(), static_cast<ZSize>(reply_.size()), &count);
    if (rc != 0) {
        if (IsLost(rc) && handle != nullptr && handle == command_handle_) {
            // The command may or may not have been carried out: it is not
            // sent again here. The next command goes to a fresh handle.
            ZClose(handle);
            command_handle_ = nullptr;
        }
        throw VrxException(text, rc, ask_reason ? this : nullptr);
    }
    return TrimReply(reply_.data(), count);
}

bool ControllerConnection::CheckReturnCode(const std::string& source, int32_t rc) {
    if (rc != 0) {
        throw VrxException(source, rc, this);
    }
    return true;
}

std::string ControllerConnection::TrimReply(const char* buffer, uint32_t count) {
    // A library that reports more bytes than the buffer holds must not make us
    // read past it.
    std::string reply(buffer, std::min<uint32_t>(count, kReplySize));
    if (reply.size() >= 4 &&
        reply.compare(reply.size() - kReplyEnd.size(), kReplyEnd.size(), kReplyEnd) == 0) {
        reply.erase(reply.size() - kReplyEnd.size());
    } else if (reply == kReplyEnd) {
        reply.clear();
    }
    return reply;
}
