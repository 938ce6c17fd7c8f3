// End to end: pipelined pings through the real server over loopback.
#include "JsonClient.h"
#include "ServerProcess.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

void BM_PipelinedPings(benchmark::State& state) {
    ServerProcess server;
    JsonClient client(server.Port());
    const int batch = static_cast<int>(state.range(0));
    std::string pings;
    for (int i = 0; i < batch; ++i) {
        pings += R"({"command":"ping"})";
    }
    for (auto _ : state) {
        client.SendRaw(pings);
        for (int i = 0; i < batch; ++i) {
            if (!client.ReceiveText()) {
                state.SkipWithError("a pong is missing");
                return;
            }
        }
    }
    state.counters["replies/s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * batch), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PipelinedPings)->Arg(1)->Arg(100)->Arg(1000)->UseRealTime();

}  // namespace
