#include "ScriptedZenlib.h"

#include <zenlibo.h>

#include <cstdio>
#include <cstring>

ScriptedZenlib& ScriptedZenlib::Get() {
    // Never destroyed: the connections call in at exit.
    static ScriptedZenlib* instance = new ScriptedZenlib;
    return *instance;
}

void ScriptedZenlib::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_.clear();
    rejected_.clear();
    records_.clear();
    commands_.clear();
    opens_.clear();
    free_run_ = false;
}

void ScriptedZenlib::FreeRun() {
    std::lock_guard<std::mutex> lock(mutex_);
    free_run_ = true;
    changed_.notify_all();
}

void ScriptedZenlib::SetReply(const std::string& command, const std::string& reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_[command] = reply;
}

void ScriptedZenlib::Reject(const std::string& text, ZReturnCode rc) {
    std::lock_guard<std::mutex> lock(mutex_);
    rejected_[text] = rc;
}

void ScriptedZenlib::PushRecord(const ZDataRecord& record, ZReturnCode rc) {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.emplace_back(record, rc);
    changed_.notify_all();
}

bool ScriptedZenlib::WaitUntilTaken(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return records_.empty(); });
}

std::vector<std::string> ScriptedZenlib::Commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

std::vector<std::string> ScriptedZenlib::Opens() {
    std::lock_guard<std::mutex> lock(mutex_);
    return opens_;
}

ZReturnCode ScriptedZenlib::Open(const char* address, ZHandle* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    opens_.push_back(address);
    for (const auto& [host, rc] : rejected_) {
        if (opens_.back().compare(0, host.size(), host) == 0)
            return rc;
    }
    *handle = reinterpret_cast<ZHandle>(next_handle_++);
    return Z_OK;
}

ZReturnCode ScriptedZenlib::Command(const char* command, char* reply, ZSize size, ZSize* count) {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back(command);
    const auto rejected = rejected_.find(command);
    if (rejected != rejected_.end())
        return rejected->second;
    const std::string text = replies_[command] + "\r\n:";
    *count = static_cast<ZSize>(std::min<size_t>(text.size(), size));
    std::memcpy(reply, text.data(), *count);
    return Z_OK;
}

ZReturnCode ScriptedZenlib::Record(ZDataRecord* record) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Like the real library: a record within the timeout, or a timeout error.
    if (!changed_.wait_for(lock, std::chrono::seconds(1),
                           [this] { return !records_.empty() || free_run_; })) {
        return Z_ERR_TIMEOUT;
    }
    if (records_.empty()) {
        *record = ZDataRecord{};
        return Z_OK;
    }
    const auto [next, rc] = records_.front();
    records_.pop_front();
    changed_.notify_all();
    if (rc == Z_OK)
        *record = next;
    return rc;
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
