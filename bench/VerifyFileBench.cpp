// Verifying a realistic slicer file: lines per second and the process's peak
// memory. The file is generated at run time (GEN_GCODE names the generator).
#include "GCodeManager.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace {

// A file of about `lines` lines, written once per size and removed at exit.
class GeneratedFile {
  public:
    explicit GeneratedFile(long lines) {
        char name[] = "/tmp/verify_bench_XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) {
            return;
        }
        close(fd);
        const char* generator = std::getenv("GEN_GCODE");
        const std::string command = std::string("python3 '") +
                                    (generator ? generator : GEN_GCODE_DEFAULT) + "' --lines " +
                                    std::to_string(lines) + " --out '" + name + "' >/dev/null";
        if (std::system(command.c_str()) != 0) {
            std::remove(name);
            return;
        }
        path_ = name;
        std::ifstream file(path_, std::ios::binary);
        physical_lines_ = std::count(std::istreambuf_iterator<char>(file),
                                     std::istreambuf_iterator<char>(), '\n');
    }
    ~GeneratedFile() {
        if (!path_.empty()) {
            std::remove(path_.c_str());
        }
    }
    const std::string& Path() const { return path_; }
    long PhysicalLines() const { return physical_lines_; }

  private:
    std::string path_;
    long physical_lines_ = 0;
};

const GeneratedFile& FileOfLines(long lines) {
    static std::map<long, GeneratedFile> files;
    auto found = files.find(lines);
    if (found == files.end()) {
        found = files.try_emplace(lines, lines).first;
    }
    return found->second;
}

void BM_VerifyFile(benchmark::State& state) {
    const GeneratedFile& file = FileOfLines(state.range(0));
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
