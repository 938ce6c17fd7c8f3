// Verifying a realistic slicer file: lines per second and the process's peak
// memory. The file is generated at run time (GEN_GCODE names the generator).
#include "GCodeManager.h"
#include "GeneratedFile.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <string>

namespace {

void BM_VerifyFile(benchmark::State& state) {
    const GeneratedFile& file = GeneratedFile::OfLines(state.range(0));
    struct stat status {};
    if (file.Path().empty() || stat(file.Path().c_str(), &status) != 0) {
        state.SkipWithError("could not generate the file (set GEN_GCODE to gen_gcode.py)");
        return;
    }
    GCodeManager& manager = GCodeManager::GetInstance();
    std::size_t findings = 0;
    for (auto _ : state) {
        const nlohmann::json result = manager.VerifyFile(file.Path());
        findings = result["results"].is_array() ? result["results"].size() : 0;
        benchmark::DoNotOptimize(findings);
    }
    // Every physical line is read and parsed, comments and blank lines included.
    state.counters["lines/s"] =
        benchmark::Counter(static_cast<double>(file.PhysicalLines() * state.iterations()),
                           benchmark::Counter::kIsRate);
    state.counters["findings"] = static_cast<double>(findings);
    state.counters["file_MiB"] = static_cast<double>(status.st_size) / (1 << 20);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_MiB"] = static_cast<double>(usage.ru_maxrss) / 1024;
}
BENCHMARK(BM_VerifyFile)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
