#include "ControllerConnection.h"

#include "VrxException.h"

#include <zenlibo.h>

#include <algorithm>
#include <stdexcept>

#include <boost/thread/lock_guard.hpp>

namespace {

// Open options: stream data records, 1000 ms timeout.
const char* const kOpenOptions = " -s DR -t 1000";
constexpr double kRecordPeriodMs = 2.0;
const std::string kReplyEnd = "\r\n:";

}  // namespace

void ControllerConnection::Open(const std::string& address) {
    Adopt(OpenHandle(address));
}

void ControllerConnection::Reopen(const std::string& address, const StreamStarter& start) {
    const ZHandle handle = OpenHandle(address);
    try {
        start(handle);
    } catch (...) {
        ZClose(handle);
        throw;
    }
    Adopt(handle);
}

ZHandle ControllerConnection::OpenHandle(const std::string& address) {
    const std::string source = "ZOpen(" + address + ")";
    // Opened into a local handle so that a failed open leaves the connection
    // exactly as it was (an earlier open handle stays in use).
    // Commands on the handle in use go on meanwhile.
    ZHandle handle = nullptr;
    CheckReturnCode(source, ZOpen((address + kOpenOptions).c_str(), &handle));
    const ZReturnCode rate_rc = ZRecordRate(handle, kRecordPeriodMs);
    if (rate_rc != 0) {
        ZClose(handle);
        // No "TC1" query: the new handle is gone and the old one did not fail.
        throw VrxException("ZRecordRate", rate_rc, nullptr);
    }
    return handle;
}

void ControllerConnection::Adopt(ZHandle handle) {
    // Under the command lock: no command is under way on the old handle.
    boost::lock_guard<boost::recursive_mutex> lock(command_mutex_);
    const ZHandle old = handle_.exchange(handle);
    open_.store(true);
    if (old != nullptr && old != handle) {
        ZClose(old);
    }
}

std::string ControllerConnection::Command(const std::string& text) {
    return SendCommand(text, true);
}

std::string ControllerConnection::QueryErrorText() {
    return SendCommand("TC1", false);
}

std::string ControllerConnection::SendCommand(const std::string& text, bool ask_reason) {
    // The library reads the text up to its first NUL: the rest would be lost
    // without a word while the reply looked like that of the whole text.
    if (text.find('\0') != std::string::npos) {
        throw std::invalid_argument("controller command holds a NUL character; not sent");
    }
    boost::lock_guard<boost::recursive_mutex> lock(command_mutex_);
    ZSize count = 0;
    const ZReturnCode rc = ZCommand(handle_.load(), text.c_str(), reply_.data(),
                                    static_cast<ZSize>(reply_.size()), &count);
    if (rc != 0) {
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
