// Containers against their standard library counterparts on 1,000,000 random
// pointer keys: tree set vs std::set, hash set vs std::unordered_set, list vs
// std::list. Compare the pairs by their time per iteration.
#include <benchmark/benchmark.h>

#include <stdint.h>

#include <algorithm>
#include <list>
#include <random>
#include <set>
#include <unordered_set>
#include <vector>

#include "tessarc/runtime.h"

namespace {

const size_t kKeys = 1000000;

// Distinct, 16-byte aligned values spread like heap addresses.
const std::vector<void *> &keys()
{
    static const std::vector<void *> k = [] {
        std::mt19937_64 rng(12345);
        std::unordered_set<uintptr_t> seen;
        std::vector<void *> out;
        while (out.size() < kKeys) {
            const uintptr_t v = 0x7f0000000000u + ((rng() & 0xffffffffffu) << 4);
            if (seen.insert(v).second)
                out.push_back(reinterpret_cast<void *>(v));
        }
        return out;
    }();
    return k;
}

// The keys in another random order, for lookups.
const std::vector<void *> &probes()
{
    static const std::vector<void *> p = [] {
        std::vector<void *> out = keys();
        std::shuffle(out.begin(), out.end(), std::mt19937_64(54321));
        return out;
    }();
    return p;
}

// std::unordered_set with the hash set's own pointer hash: separates the cost
// of the container from the cost of hashing 8 bytes with djb2 instead of
// using the address itself.
struct DesignHash {
    size_t operator()(void *p) const { return TQ_ptrHash(p); }
};

/* ---- The standard containers ---- */

template <class Set>
void BM_StdInsert(benchmark::State &state)
{
    for (auto _ : state) {
        auto *s = new Set;
        for (void *k : keys())
            s->insert(k);
        benchmark::DoNotOptimize(s->size());
        state.PauseTiming();
        delete s;
        state.ResumeTiming();
    }
}

template <class Set>
void BM_StdFind(benchmark::State &state)
{
    Set s(keys().begin(), keys().end());
    for (auto _ : state) {
        size_t hits = 0;
        for (void *k : probes())
            hits += s.find(k) != s.end();
        benchmark::DoNotOptimize(hits);
    }
}

/* ---- Tree set ---- */

void BM_TreeSetInsert(benchmark::State &state)
{
    for (auto _ : state) {
        TQ_TreeSet s;
        TQ_treeSetInit(&s, TQ_ptrCompare);
        for (void *k : keys())
            TQ_treeSetInsert(&s, k);
        benchmark::DoNotOptimize(s.m_size);
        state.PauseTiming();
        TQ_treeSetDestroy(&s);
        state.ResumeTiming();
    }
}

void BM_TreeSetFind(benchmark::State &state)
{
    TQ_TreeSet s;
    TQ_treeSetInit(&s, TQ_ptrCompare);
    for (void *k : keys())
        TQ_treeSetInsert(&s, k);
    for (auto _ : state) {
        size_t hits = 0;
        TQ_TreeSetIterator it;
        for (void *k : probes())
            hits += TQ_treeSetFind(&s, &it, k);
        benchmark::DoNotOptimize(hits);
    }
    TQ_treeSetDestroy(&s);
}

void BM_TreeSetEraseWalk(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        TQ_TreeSet s;
        TQ_treeSetInit(&s, TQ_ptrCompare);
        for (void *k : keys())
            TQ_treeSetInsert(&s, k);
        state.ResumeTiming();
        TQ_TreeSetIterator it;
        TQ_treeSetBegin(&s, &it);
        while (TQ_treeSetHasNext(&it))
            TQ_treeSetErase(&it);
        benchmark::DoNotOptimize(s.m_size);
        state.PauseTiming();
        TQ_treeSetDestroy(&s);
        state.ResumeTiming();
    }
}

void BM_StdSetEraseWalk(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        std::set<void *> s(keys().begin(), keys().end());
        state.ResumeTiming();
        for (auto it = s.begin(); it != s.end();)
            it = s.erase(it);
        benchmark::DoNotOptimize(s.size());
    }
}

/* ---- Hash set ---- */

void BM_HashSetInsert(benchmark::State &state)
{
    for (auto _ : state) {
        TQ_HashSet s;
        TQ_hashSetInit(&s, TQ_ptrEqual, TQ_ptrHash);
        for (void *k : keys())
            TQ_hashSetInsert(&s, k);
        benchmark::DoNotOptimize(s.m_size);
        state.PauseTiming();
        TQ_hashSetDestroy(&s);
        state.ResumeTiming();
    }
}

void BM_HashSetFind(benchmark::State &state)
{
    TQ_HashSet s;
    TQ_hashSetInit(&s, TQ_ptrEqual, TQ_ptrHash);
    for (void *k : keys())
        TQ_hashSetInsert(&s, k);
    for (auto _ : state) {
        size_t hits = 0;
        TQ_HashSetIterator it;
        for (void *k : probes())
            hits += TQ_hashSetFind(&s, &it, k);
        benchmark::DoNotOptimize(hits);
    }
    TQ_hashSetDestroy(&s);
}

/* ---- List vs std::list ---- */

void BM_ListPushPop(benchmark::State &state)
{
    for (auto _ : state) {
        TQ_List l;
        TQ_listInit(&l);
        for (void *k : keys())
            TQ_listPushBack(&l, k);
        void *last = nullptr;
        while (l.m_size)
            last = TQ_listPopFront(&l);
        benchmark::DoNotOptimize(last);
    }
}

void BM_StdListPushPop(benchmark::State &state)
{
    for (auto _ : state) {
        std::list<void *> l;
        for (void *k : keys())
            l.push_back(k);
        void *last = nullptr;
        while (!l.empty()) {
            last = l.front();
            l.pop_front();
        }
        benchmark::DoNotOptimize(last);
    }
}

} // namespace

BENCHMARK(BM_TreeSetInsert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdInsert<std::set<void *>>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TreeSetFind)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdFind<std::set<void *>>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TreeSetEraseWalk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdSetEraseWalk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HashSetInsert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdInsert<std::unordered_set<void *>>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HashSetFind)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdFind<std::unordered_set<void *>>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdInsert<std::unordered_set<void *, DesignHash>>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdFind<std::unordered_set<void *, DesignHash>>)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListPushPop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdListPushPop)->Unit(benchmark::kMillisecond);
