// A scripted controller library for deterministic link tests: the test decides
// every reply, rejection and record. Linked into a test binary, its calls take
// the place of the real library's.
#pragma once

#include <zenlib.h>

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
    // ZOpen of an address starting with `host` fails with rc.
    void RefuseOpen(const std::string& host, ZReturnCode rc);
    // The reply text (without "\r\n:") of a command; default "".
    void SetReply(const std::string& command, const std::string& reply);
    // ZCommand of this text returns rc (the reply is not written).
    void Reject(const std::string& command, ZReturnCode rc);
    // Queues one record (or one failing ZRecord call) for ZRecord.
    void PushRecord(const ZDataRecord& record);
    void PushRecordFailure(ZReturnCode rc);
    // From now until Reset, ZRecord on an empty queue delivers an all-zero
    // record at once (lets a test stop a stream without waiting for a timeout).
    void FreeRun();
    // Waits until every queued record has been taken by ZRecord.
    bool WaitUntilTaken(std::chrono::milliseconds timeout);

    // Every command sent, in order, and every ZOpen address.
    std::vector<std::string> Commands();
    std::vector<std::string> Opens();
    int Closes();

    // The library side.
    ZReturnCode Open(const char* address, ZHandle* handle);
    ZReturnCode Command(const char* command, char* reply, ZSize size, ZSize* count);
    ZReturnCode Record(ZDataRecord* record);
    ZReturnCode Close();

  private:
    struct Queued {
        ZDataRecord record;
        ZReturnCode rc;
    };
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, ZReturnCode> refused_;
    std::map<std::string, std::string> replies_;
    std::map<std::string, ZReturnCode> rejected_;
    std::deque<Queued> records_;
    std::vector<std::string> commands_;
    std::vector<std::string> opens_;
    int closes_ = 0;
    bool free_run_ = false;
    uintptr_t next_handle_ = 1;
};
