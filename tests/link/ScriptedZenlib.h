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

class ScriptedZenlib {
  public:
    static ScriptedZenlib& Get();

    // Forget every script, log and queued record.
    void Reset();
    // ZCommand of this text, or ZOpen of an address starting with it, returns rc.
    void Reject(const std::string& text, ZReturnCode rc);
    // The reply text (without "\r\n:") of a command; default "".
    void SetReply(const std::string& command, const std::string& reply);
    // Queues one record, or one failing ZRecord call when rc is not Z_OK.
    void PushRecord(const ZDataRecord& record, ZReturnCode rc = Z_OK);
    // From now until Reset, ZRecord on an empty queue delivers an all-zero
    // record at once (lets a test stop a stream without waiting for a timeout).
    void FreeRun();
    // Waits until every queued record has been taken by ZRecord.
    bool WaitUntilTaken(std::chrono::milliseconds timeout);

    // Every command sent, in order, and every ZOpen address.
    std::vector<std::string> Commands();
    std::vector<std::string> Opens();

    // The library side.
    ZReturnCode Open(const char* address, ZHandle* handle);
    ZReturnCode Command(const char* command, char* reply, ZSize size, ZSize* count);
    ZReturnCode Record(ZDataRecord* record);

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
