#include "ScriptedZenlib.h"

#include <zenlibo.h>

#include <cstdio>

ScriptedZenlib& ScriptedZenlib::Get() {
    // Never destroyed: the connections call in at exit.
    static ScriptedZenlib* instance = new ScriptedZenlib;
    return *instance;
}

extern "C" {

ZReturnCode ZOpen(const char* address, ZHandle* handle) {
    return ScriptedZenlib::Get().Open(address, handle);
}

ZReturnCode ZCommand(ZHandle, const char* command, char* reply, ZSize reply_size,
                     ZSize* bytes_returned) {
    return ScriptedZenlib::Get().Command(command, reply, reply_size, bytes_returned);
}

ZReturnCode ZRecord(ZHandle, ZDataRecord* record, int32_t) {
    return ScriptedZenlib::Get().Record(record);
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
