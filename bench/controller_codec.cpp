// Encoding and decoding of controller messages through the codec arenas: a FlowInstall
// (the controller's most frequent request) and a ServiceInform with a table of ports.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "controller/ulmex_codec.h"
#include "tests/controller/ulmex_fixtures.h"

namespace {

void encode_bench(benchmark::State &state, const ulmex_message &msg)
{
    auto arena = std::make_unique<ulmex_arena>();
    uint8_t out[4096];
    long n = 0;
    for (auto _ : state) {
        n = ulmex_codec_encode(*arena, msg, out);
        benchmark::DoNotOptimize(out);
    }
    if (n < 0)
        state.SkipWithError("encoding failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}

void decode_bench(benchmark::State &state, const ulmex_message &msg)
{
    auto arena = std::make_unique<ulmex_arena>();
    uint8_t buf[4096];
    long n = ulmex_codec_encode(*arena, msg, buf);
    if (n < 0) {
        state.SkipWithError("encoding failed");
        return;
    }
    ulmex_message d;
    int r = 0;
    for (auto _ : state) {
        r |= ulmex_codec_decode(*arena, std::span(buf, static_cast<size_t>(n)), d);
        benchmark::DoNotOptimize(d);
    }
    if (r)
        state.SkipWithError("decoding failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}

void BM_encode_flow_install(benchmark::State &state)
{
    encode_bench(state, sample_flow_install());
}
void BM_decode_flow_install(benchmark::State &state)
{
    decode_bench(state, sample_flow_install());
}
void BM_encode_service_inform(benchmark::State &state)
{
    encode_bench(state, sample_service_inform());
}
void BM_decode_service_inform(benchmark::State &state)
{
    decode_bench(state, sample_service_inform());
}

BENCHMARK(BM_encode_flow_install);
BENCHMARK(BM_decode_flow_install);
BENCHMARK(BM_encode_service_inform);
BENCHMARK(BM_decode_service_inform);

} // namespace

BENCHMARK_MAIN();
