// Cost of random bytes: one node identifier (12 bytes), a 32-bit value, and
// bulk fills where the per-byte rand() XOR dominates.
#include <benchmark/benchmark.h>

#include <vector>

#include "tessarc/runtime.h"

static void BM_RandomBytes(benchmark::State &state)
{
    std::vector<unsigned char> buf(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        TQ_getRandomBytes(buf.data(), static_cast<uint32_t>(buf.size()));
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_RandomBytes)->Arg(12)->Arg(4096);

static void BM_RandUint32(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(TQ_randUint32());
}
BENCHMARK(BM_RandUint32);
