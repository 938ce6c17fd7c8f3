// Loading a program as "loadGcode" does: the time to parse, validate and build
// the tasks of a file and hand them to the task manager, and the memory the
// loaded program holds, per line.
#include "GCodeManager.h"
#include "GeneratedFile.h"
#include "TaskManager.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <fstream>
#include <memory>

// Drops the task table between loads (a friend of the manager).
class TaskManagerProbe {
  public:
    static void Clear() { TaskManager::GetInstance().ClearAll(true); }
};

namespace {

// Resident bytes of this process now.
long ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

void Load(benchmark::State& state, const GeneratedFile& file) {
    if (file.Path().empty()) {
        state.SkipWithError("could not make the file (set GEN_GCODE to gen_gcode.py)");
        return;
    }
    static const GeneratedFile empty("", 0);
    GCodeManager& manager = GCodeManager::GetInstance();
    long held = 0;
    for (auto _ : state) {
        const long before = ResidentBytes();
        manager.LoadProgram(file.Path(), false);
        state.PauseTiming();
        held = ResidentBytes() - before;
        TaskManagerProbe::Clear();
        manager.LoadProgram(empty.Path(), false);  // lets the program's tasks go
        state.ResumeTiming();
    }
    state.counters["lines/s"] =
        benchmark::Counter(static_cast<double>(file.PhysicalLines() * state.iterations()),
                           benchmark::Counter::kIsRate);
    state.counters["file_MiB"] = static_cast<double>(file.Bytes()) / (1 << 20);
    // What the last load added to the resident memory (task table included).
    state.counters["held_MiB"] = static_cast<double>(held) / (1 << 20);
    state.counters["bytes/line"] = static_cast<double>(held) / file.PhysicalLines();
}

void BM_LoadProgram(benchmark::State& state) {
    Load(state, GeneratedFile::OfLines(state.range(0)));
}
BENCHMARK(BM_LoadProgram)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// A program of dwells: what one queued line that is not a move costs.
void BM_LoadDwells(benchmark::State& state) {
    static const GeneratedFile dwells("G4 P0", 100000);
    Load(state, dwells);
}
BENCHMARK(BM_LoadDwells)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
