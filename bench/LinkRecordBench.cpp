// The main record thread's work per record, and the record rate the link
// sustains from the virtual printer through the controller library.
#include "DataRecordWatcher.h"
#include "MainConnection.h"
#include "TaskDirectory.h"
#include "VirtualPrinter.h"

#include <atomic>
#include <thread>

#include <benchmark/benchmark.h>

namespace {

// Every task runs; nothing is reported (the watches never hold).
class RunningTasks : public TaskDirectory {
  public:
    std::optional<uint32_t> GetTaskStatus(uint32_t) override { return 1; }
    void OnConditionMet(uint32_t) override { met_.fetch_add(1, std::memory_order_relaxed); }
    void OnStreamFailed(const std::vector<uint32_t>&, std::exception_ptr) override {}
    std::atomic<uint64_t> met_{0};
};

// A record as the printer sends it while printing: positions trusted, hot
// end and bed warm, one axis moving.
ZDataRecord PrintingRecord() {
    ZDataRecord record{};
    for (int axis = 0; axis < 3; ++axis) {
        record.std.axis_block[axis].axis_reference_position = 12345 * (axis + 1);
        record.std.axis_block[axis].axis_position_trusted = 1;
    }
    record.std.axis_block[0].axis_status = 0x8100;       // coordinated motion
    record.std.axis_block[1].axis_analog_input = 60000;  // extruder about 127 C
    record.std.axis_block[3].axis_analog_input = 50000;  // bed about 23 C
    record.std.segment_buffer_free = 300;
    return record;
}

// UpdateStatus (status keys, wrap count, then every watch) for one record,
// with state.range(0) watches registered, three per task as T_LinearGroup
// registers them; with state.range(1) set every watch holds, so every task
// is told (once) of every record.
void BM_MainRecordWork(benchmark::State& state) {
    auto& watcher = DataRecordWatcher::GetInstance();
    RunningTasks tasks;
    watcher.SetTaskDirectory(&tasks);
    const auto watches = static_cast<uint32_t>(state.range(0));
    const bool holding = state.range(1) != 0;
    for (uint32_t watch = 0; watch < watches; ++watch) {
        const uint32_t id = 1 + watch / 3;
        watcher.AddCondition(id, [id, holding](ZDataRecord* record) {
            return holding || record->std.segment_count == static_cast<uint16_t>(id + 60000);
        });
    }
    ZDataRecord previous = PrintingRecord();
    ZDataRecord record = PrintingRecord();
    nlohmann::json status;
    uint16_t sample = 0;
    for (auto _ : state) {
        previous.std.sample_number = sample;
        record.std.sample_number = ++sample;
        watcher.UpdateStatus(status, &previous, record);
        benchmark::DoNotOptimize(status);
    }
    state.SetItemsProcessed(state.iterations());
    for (uint32_t id = 1; id <= watches; ++id) {
        watcher.RemoveConditions(id);
    }
    watcher.SetTaskDirectory(nullptr);
}
BENCHMARK(BM_MainRecordWork)
    ->Args({0, 0})
    ->Args({12, 0})
    ->Args({12, 1})
    ->Args({999, 0})
    ->Args({999, 1});

// Records handled per second by the main record thread (library read,
// publish, status, one watch) while the printer's clock runs state.range(0)
// times faster than wall time, one record every 2 controller milliseconds.
void BM_RecordRateFromPrinter(benchmark::State& state) {
    sim::VirtualPrinterOptions options;
    options.speed = static_cast<double>(state.range(0));
    sim::VirtualPrinter printer(options);
    auto& watcher = DataRecordWatcher::GetInstance();
    RunningTasks tasks;
    watcher.SetTaskDirectory(&tasks);
    auto& main = MainConnection::GetInstance();
    main.Connect(printer.Address(sim::Controller::kMain));
    watcher.Start(main.GetHandle());
    // Holds on every record: counts the records the thread has handled.
    watcher.AddCondition(1, [](ZDataRecord*) { return true; });
    constexpr uint64_t kRecordsPerIteration = 500;
    for (auto _ : state) {
        const uint64_t target = tasks.met_.load() + kRecordsPerIteration;
        while (tasks.met_.load() < target) {
            std::this_thread::yield();
        }
    }
    state.SetItemsProcessed(state.iterations() * kRecordsPerIteration);
    watcher.Stop();
    watcher.SetTaskDirectory(nullptr);
}
BENCHMARK(BM_RecordRateFromPrinter)
    ->Arg(1)
    ->Arg(20)
    ->Arg(200)
    ->Arg(2000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
