// Follows the record streams of both controllers, each on a thread of its own:
// publishes the latest records, keeps the sample counter and the homing flags,
// evaluates the tasks' watch conditions and sends the machine status.
#pragma once

#include "RecordCondition.h"
#include "TaskDirectory.h"

#include <zenlib.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <nlohmann/json.hpp>

class DataRecordWatcher {
public:
    using Callback = std::function<void(std::string)>;
    using Record = boost::shared_ptr<const ZDataRecord>;
    // Counts per millimetre of a G-code axis ("X", "Y", "Z").
    using ResolutionSource = std::function<double(const std::string&)>;

    static DataRecordWatcher& GetInstance();

    // Receives the "updateUI" status messages.
    void SetUpdateCallback(Callback callback);
    // Receives the record threads' "vrxError" messages.
    void SetErrorCallback(Callback callback);
    // Installed by the task engine; until then no watch is evaluated.
    void SetTaskDirectory(TaskDirectory* directory);
    // Installed by the G-code front end; defaults to X 400, Y 400, Z 1600.
    void SetResolutionSource(ResolutionSource source);

    // Start a stream's thread on a library handle and return once its first
    // record is in. Throws VrxException (source "ZRecord") when that record fails.
    void Start(ZHandle handle);
    void StartTemperature(ZHandle handle);
    // End a stream's thread, empty its watch list and drop its latest record.
    void Stop();
    void StopTemperature();

    void AddCondition(uint32_t task_id, std::function<bool(ZDataRecord*)> condition);
    void AddTemperatureCondition(uint32_t task_id, std::function<bool(ZDataRecord*)> condition);
    // Removes every watch of the task from both lists.
    void RemoveConditions(uint32_t task_id);

    // The latest record of a stream; empty before its first record and after Stop.
    Record GetRecord() const;
    Record GetTemperatureRecord() const;

    // wraps x 65536 + sample_number of the latest main record, modulo 2^32.
    uint32_t GetSampleCounter() const;
    // wraps = controller_time / 65536, rounding toward zero.
    void SyncSampleCounter(int32_t controller_time);

    void SetHoming(const std::string& axis, bool homing);
    bool IsHoming(const std::string& axis) const;

    // Bit `bit` of the field of type T at `offset` of the latest main record.
    template <typename T>
    bool CheckBit(int offset, int bit) const;
    // Axis "B", "C" or "D" (anything else means A) moves as a jog: status bit 15
    // set, bits 14, 8, 6 and 0 clear.
    bool IsJogging(std::string axis) const;
    // Status bit 7 (moving negative) of the axis is clear.
    bool IsPositiveDirection(std::string axis) const;

    // Refreshes the status object from a main record, counts sample wraps and
    // evaluates the main watch list.
    void UpdateStatus(nlohmann::json& status, const ZDataRecord* previous, ZDataRecord& record);
    void SendUpdateUI(const nlohmann::json& status);

    void CheckConditions(const ZDataRecord* previous, ZDataRecord& record);
    void CheckTemperatureConditions(const ZDataRecord* previous, ZDataRecord& record);

private:
    DataRecordWatcher();
    ~DataRecordWatcher();
};
