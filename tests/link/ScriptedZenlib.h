// A scripted controller library for deterministic link tests: the test decides
// every reply, rejection and record. Linked into a test binary, its calls take
// the place of the real library's.
#pragma once

#include "VrxException.h"

#include <zenlib.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

struct ScriptedZenlib {
    static ScriptedZenlib& Get();

    // Forget every script, log and queued record.
    void Reset() {
        std::lock_guard<std::mutex> lock(mutex);
        script = Script{};
    }
    // ZCommand of this text returns rc.
    void Reject(const std::string& text, ZReturnCode rc) {
        std::lock_guard<std::mutex> lock(mutex);
        script.rejected[text] = rc;
    }
    // The reply text (without "\r\n:") of a command; default "".
    void SetReply(const std::string& command, const std::string& reply) {
        std::lock_guard<std::mutex> lock(mutex);
        script.replies[command] = reply;
    }
    // Queues one record, or one failing ZRecord call when rc is not Z_OK.
    void PushRecord(const ZDataRecord& record, ZReturnCode rc = Z_OK) {
        std::lock_guard<std::mutex> lock(mutex);
        script.records.emplace_back(record, rc);
        changed.notify_all();
    }
    // From now until Reset, ZRecord on an empty queue delivers an all-zero
    // record at once (lets a test stop a stream without waiting for a timeout).
    void FreeRun() {
        std::lock_guard<std::mutex> lock(mutex);
        script.free_run = true;
        changed.notify_all();
    }
    // Waits until every queued record has been taken by ZRecord.
    bool WaitUntilTaken(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [this] { return script.records.empty(); });
    }
    // Every command sent, in order.
    std::vector<std::string> Log() {
        std::lock_guard<std::mutex> lock(mutex);
        return script.log;
    }

    struct Script {
        std::map<std::string, std::string> replies;
        std::map<std::string, ZReturnCode> rejected;
        std::deque<std::pair<ZDataRecord, ZReturnCode>> records;
        std::vector<std::string> log;
        bool free_run = false;
    };
    std::mutex mutex;  // guards script; the library calls take it too
    std::condition_variable changed;
    Script script;
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
