// Framing throughput: a stream of small command objects, and one large one.
#include "MessageFramer.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

void FrameAll(benchmark::State& state, const std::string& stream, std::size_t chunk) {
    MessageFramer framer;
    std::size_t messages = 0;
    for (auto _ : state) {
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            framer.Feed(
                std::string_view(stream).substr(at, chunk),
                [&messages](std::string&& text) {
                    benchmark::DoNotOptimize(text.data());
                    ++messages;
                },
                [](const std::string&) {});
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
    state.counters["messages"] = static_cast<double>(messages);
}

void BM_FrameSmallObjects(benchmark::State& state) {
    std::string stream;
    for (int i = 0; stream.size() < 4 * 1024 * 1024; ++i) {
        stream +=
            R"({"command":"jogAxis","axis":"X","polarity":"Pos","description":"Jog|{X}|","id":)" +
            std::to_string(i) + "}\n";
    }
    FrameAll(state, stream, 65536);
}
BENCHMARK(BM_FrameSmallObjects)->Unit(benchmark::kMillisecond);

void BM_FrameOneLargeObject(benchmark::State& state) {
    std::string stream = R"({"command":"ping","padding":")";
    stream += std::string(8 * 1024 * 1024, 'x');
    stream += R"("})";
    FrameAll(state, stream, 1024 * 1024);
}
BENCHMARK(BM_FrameOneLargeObject)->Unit(benchmark::kMillisecond);

}  // namespace
