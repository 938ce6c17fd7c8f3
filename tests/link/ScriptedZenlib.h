// A scripted controller library for deterministic link tests: the test decides
// every reply, rejection and record. Linked into a test binary, its calls take
// the place of the real library's.
#pragma once

#include "VrxException.h"

#include <zenlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class ScriptedZenlib {
  public:
    static ScriptedZenlib& Get();

    // Forget every script, log and queued record.
    void Reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_.clear();
        rejected_.clear();
        records_.clear();
        commands_.clear();
        opens_.clear();
        free_run_ = false;
    }
    // ZCommand of this text, or ZOpen of an address starting with it, returns rc.
    void Reject(const std::string& text, ZReturnCode rc) {
        std::lock_guard<std::mutex> lock(mutex_);
        rejected_[text] = rc;
    }
    // The reply text (without "\r\n:") of a command; default "".
    void SetReply(const std::string& command, const std::string& reply) {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_[command] = reply;
    }
    // Queues one record, or one failing ZRecord call when rc is not Z_OK.
    void PushRecord(const ZDataRecord& record, ZReturnCode rc = Z_OK) {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.emplace_back(record, rc);
        changed_.notify_all();
    }
    // From now until Reset, ZRecord on an empty queue delivers an all-zero
    // record at once (lets a test stop a stream without waiting for a timeout).
    void FreeRun() {
        std::lock_guard<std::mutex> lock(mutex_);
        free_run_ = true;
        changed_.notify_all();
    }
    // Waits until every queued record has been taken by ZRecord.
    bool WaitUntilTaken(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [this] { return records_.empty(); });
    }
    // Every command sent, in order, and every ZOpen address.
    std::vector<std::string> Commands() {
        std::lock_guard<std::mutex> lock(mutex_);
        return commands_;
    }
    std::vector<std::string> Opens() {
        std::lock_guard<std::mutex> lock(mutex_);
        return opens_;
    }

    // The library side.
    ZReturnCode Open(const char* address, ZHandle* handle) {
        std::lock_guard<std::mutex> lock(mutex_);
        opens_.push_back(address);
        for (const auto& [host, rc] : rejected_) {
            if (opens_.back().compare(0, host.size(), host) == 0)
                return rc;
        }
        *handle = reinterpret_cast<ZHandle>(next_handle_++);
        return Z_OK;
    }
    ZReturnCode Command(const char* command, char* reply, ZSize size, ZSize* count) {
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
    ZReturnCode Record(ZDataRecord* record) {
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

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, std::string> replies_;
    std::map<std::string, ZReturnCode> rejected_;
    std::deque<std::pair<ZDataRecord, ZReturnCode>> records_;
    std::vector<std::string> commands_;
    std::vector<std::string> opens_;
    bool free_run_ = false;
    uintptr_t next_handle_ = 1;
};

// The VrxException `call` throws; a test failure when it throws none.
template <typename Call>
VrxException Caught(Call call) {
    try {
        call();
    } catch (const VrxException& error) {
        return error;
    }
    ADD_FAILURE() << "no VrxException";
    return VrxException("", 0, nullptr);
}
