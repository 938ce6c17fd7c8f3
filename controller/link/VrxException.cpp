#include "VrxException.h"

#include "ControllerConnection.h"

#include <zenlibo.h>

#include <array>

namespace {

constexpr int32_t kCommandRejected = -10000;

// The library's text for a return code.
std::string LibraryErrorText(int32_t rc) {
    std::array<char, ControllerConnection::kReplySize> text{};
    ZError(rc, text.data(), static_cast<ZSize>(text.size()));
    text.back() = '\0';  // never trust the library to terminate a full buffer
    return std::string(text.data());
}

}  // namespace

VrxException::VrxException(std::string source, int32_t rc, ControllerConnection* connection)
    : rc_(rc), source_(std::move(source)) {
    if (rc_ == kCommandRejected && connection != nullptr) {
        try {
            error_string_ = connection->QueryErrorText();
            return;
        } catch (const VrxException&) {
            // "TC1" failed as well: fall back to the library's text for our rc.
        }
    }
    error_string_ = LibraryErrorText(rc_);
}

const char* VrxException::what() const noexcept {
    return error_string_.c_str();
}
