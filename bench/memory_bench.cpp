// Pool blocks against the heap, and buffer reference counting.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "tessarc/runtime.h"

namespace {

TQ_Allocator *allocator()
{
    static TQ_Allocator a;
    static const bool ready = initMallocAllocator(&a) == 1;
    return ready ? &a : nullptr;
}

// One block taken from the pool of the size given (256 or 32) and given back.
void BM_PoolBlockAllocFree(benchmark::State &state)
{
    TQ_Allocator *a = allocator();
    const bool large = state.range(0) == 256;
    for (auto _ : state) {
        void *b = large ? a->allocBlock256(a) : a->allocBlock32(a);
        benchmark::DoNotOptimize(b);
        large ? a->freeBlock256(a, b) : a->freeBlock32(a, b);
    }
}
BENCHMARK(BM_PoolBlockAllocFree)->Arg(256)->Arg(32)->ThreadRange(1, 2);

void BM_Malloc256Free(benchmark::State &state)
{
    for (auto _ : state) {
        void *b = malloc(256);
        benchmark::DoNotOptimize(b);
        free(b);
    }
}
BENCHMARK(BM_Malloc256Free)->ThreadRange(1, 2);

// A small buffer from the pool, made and given back.
void BM_BufferAllocFree(benchmark::State &state)
{
    TQ_Allocator *a = allocator();
    for (auto _ : state) {
        TQ_Buffer *b = a->allocBuffer(a, 64);
        benchmark::DoNotOptimize(b);
        a->freeBuffer(a, b);
    }
}
BENCHMARK(BM_BufferAllocFree);

// One acquire/release pair on a buffer that stays held; with two threads both
// work on the same count.
void BM_BufferAcquireRelease(benchmark::State &state)
{
    static TQ_Buffer *shared;
    TQ_Allocator *a = allocator();
    if (state.thread_index() == 0) {
        shared = a->allocBuffer(a, 64);
        TQ_bufferAcquire(shared);
    }
    for (auto _ : state) {
        TQ_Buffer *b = TQ_bufferAcquire(shared);
        benchmark::DoNotOptimize(TQ_bufferRelease(b));
    }
    if (state.thread_index() == 0)
        TQ_bufferRelease(shared);
}
BENCHMARK(BM_BufferAcquireRelease)->ThreadRange(1, 2);

} // namespace
