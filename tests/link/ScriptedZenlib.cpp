#include "ScriptedZenlib.h"

#include <zenlibo.h>

#include <cstdio>
#include <cstring>

ScriptedZenlib& ScriptedZenlib::Get() {
    // Never destroyed: the connections call in at exit.
    static ScriptedZenlib* instance = new ScriptedZenlib;
    return *instance;
}

extern "C" {

ZReturnCode ZOpen(const char*, ZHandle* handle) {
    *handle = reinterpret_cast<ZHandle>(1);
    return Z_OK;
}

ZReturnCode ZCommand(ZHandle, const char* command, char* reply, ZSize size, ZSize* count) {
    auto& lib = ScriptedZenlib::Get();
    std::lock_guard<std::mutex> lock(lib.mutex);
    lib.script.log.push_back(command);
    const auto rejected = lib.script.rejected.find(command);
    if (rejected != lib.script.rejected.end())
        return rejected->second;
    const std::string text = lib.script.replies[command] + "\r\n:";
    *count = static_cast<ZSize>(std::min<size_t>(text.size(), size));
    std::memcpy(reply, text.data(), *count);
    return Z_OK;
}

ZReturnCode ZRecord(ZHandle, ZDataRecord* record, int32_t) {
    auto& lib = ScriptedZenlib::Get();
    std::unique_lock<std::mutex> lock(lib.mutex);
    auto& records = lib.script.records;
    // Like the real library: a record within the timeout, or a timeout error.
    if (!lib.changed.wait_for(lock, std::chrono::seconds(1),
                              [&] { return !records.empty() || lib.script.free_run; }))
        return Z_ERR_TIMEOUT;
    if (records.empty()) {
        *record = ZDataRecord{};
        return Z_OK;
    }
    const auto [next, rc] = records.front();
    records.pop_front();
    lib.changed.notify_all();
    if (rc == Z_OK)
        *record = next;
    return rc;
}

ZReturnCode ZClose(ZHandle handle) {
    return handle == nullptr ? Z_ERR_BAD_HANDLE : Z_OK;
}

ZReturnCode ZRecordRate(ZHandle, double) {
    return Z_OK;
}

ZReturnCode ZError(ZReturnCode rc, char* text, ZSize text_size) {
    std::snprintf(text, text_size, "scripted error %d", static_cast<int>(rc));
    return Z_OK;
}
}
