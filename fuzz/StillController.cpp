#include "StillController.h"

#include <zenlib.h>
#include <zenlibo.h>

#include <algorithm>
#include <cstring>

std::string StillController::Reply(const std::string& command) {
    if (command == "RP") {
        return "0, 0, 0, 0, 0";
    }
    if (command == "MG _XQ") {
        return "-1";  // no controller program runs
    }
    if (command == "MG TIME") {
        return "0";  // its clock stands still too
    }
    return "";
}

namespace {

// Any non-null handle will do: there is one controller.
char still_handle;

ZSize CopyText(const std::string& text, char* buffer, ZSize size) {
    const ZSize count = static_cast<ZSize>(std::min<std::size_t>(text.size(), size));
    std::memcpy(buffer, text.data(), count);
    return count;
}

}  // namespace

extern "C" {

ZReturnCode ZOpen(const char*, ZHandle* handle) {
    *handle = &still_handle;
    return Z_OK;
}

ZReturnCode ZCommand(ZHandle, const char* command, char* reply, ZSize reply_size,
                     ZSize* bytes_returned) {
    *bytes_returned = CopyText(StillController::Reply(command) + "\r\n:", reply, reply_size);
    return Z_OK;
}

ZReturnCode ZRecord(ZHandle, ZDataRecord* record, int32_t) {
    *record = ZDataRecord{};
    return Z_OK;
}

ZReturnCode ZClose(ZHandle) {
    return Z_OK;
}

ZReturnCode ZError(ZReturnCode, char* text, ZSize text_size) {
    if (text_size > 0) {
        text[CopyText("still controller", text, text_size - 1)] = '\0';
    }
    return Z_OK;
}

ZReturnCode ZRecordRate(ZHandle, double) {
    return Z_OK;
}
}
