// Command round trips and streamed records through the controller library, over loopback.
#include <benchmark/benchmark.h>

#include <string>

#include "VirtualPrinter.h"
#include "zenlib.h"
#include "zenlibo.h"

namespace {

ZHandle OpenMain(const sim::VirtualPrinter& printer) {
    ZHandle handle = nullptr;
    std::string address = printer.Address(sim::Controller::kMain) + " -s DR -t 1000";
    ZOpen(address.c_str(), &handle);
    return handle;
}

// One command and its reply, as the task worker sends them.
void BM_CommandRoundTrip(benchmark::State& state, const char* command) {
    sim::VirtualPrinter printer;
    ZHandle handle = OpenMain(printer);
    char reply[449];
    for (auto _ : state) {
        ZSize count = 0;
        if (ZCommand(handle, command, reply, sizeof(reply), &count) != Z_OK) {
            state.SkipWithError("command failed");
            break;
        }
        benchmark::DoNotOptimize(count);
    }
    state.SetItemsProcessed(state.iterations());
    ZClose(handle);
}
BENCHMARK_CAPTURE(BM_CommandRoundTrip, empty_reply, "SHA")->UseRealTime();
BENCHMARK_CAPTURE(BM_CommandRoundTrip, position_reply, "RP")->UseRealTime();

// Records read as fast as the printer offers them: one per sample at a clock
// `state.range(0)` times faster than wall time.
void BM_RecordStream(benchmark::State& state) {
    sim::VirtualPrinterOptions options;
    options.speed = static_cast<double>(state.range(0));
    sim::VirtualPrinter printer(options);
    ZHandle handle = OpenMain(printer);
    ZRecordRate(handle, 1.0);
    ZDataRecord record;
    for (auto _ : state) {
        if (ZRecord(handle, &record, 1) != Z_OK) {
            state.SkipWithError("record failed");
            break;
        }
        benchmark::DoNotOptimize(record.bytes[4]);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sizeof(record)));
    ZClose(handle);
}
BENCHMARK(BM_RecordStream)->Arg(1)->Arg(20)->Arg(200)->UseRealTime();

}  // namespace
