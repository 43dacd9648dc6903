// Buffer reference counts and the block pools under many threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "tessarc/runtime.h"

namespace {

std::atomic<int> g_frees{0};
void (*g_realFreeBuffer)(TQ_Allocator *, TQ_Buffer *) = nullptr;

void countingFreeBuffer(TQ_Allocator *allocator, TQ_Buffer *buffer)
{
    g_frees.fetch_add(1);
    g_realFreeBuffer(allocator, buffer);
}

} // namespace

// Every thread reads the payload while it holds a reference; the release that
// brings the count to 0, wherever it happens, gives the buffer back once, and
// only after every other holder is done with it (ThreadSanitizer sees a free
// that is not ordered after a reader's last use).
TEST(BufferMt, ConcurrentHoldersFreeTheBufferOnceAfterTheLastUse)
{
    TQ_Allocator a;
    ASSERT_EQ(initMallocAllocator(&a), 1);
    g_realFreeBuffer = a.freeBuffer;
    a.freeBuffer = countingFreeBuffer;
    constexpr int kThreads = 6, kRounds = 20000;
    constexpr uint32_t kSize = 64;

    for (uint32_t payload : {kSize, 1000u}) { // a pool buffer and a heap one
        g_frees = 0;
        TQ_Buffer *b = a.allocBuffer(&a, payload);
        ASSERT_NE(b, nullptr);
        memset(b->first.data, 0x5a, payload);
        TQ_bufferAcquire(b); // the creator's reference
        for (int t = 0; t < kThreads; ++t)
            TQ_bufferAcquire(b); // handed to each thread
        std::atomic<int> lastReleases{0}, badReads{0}, badCounts{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                for (int r = 0; r < kRounds; ++r) {
                    TQ_Buffer *mine = TQ_bufferAcquire(b);
                    TQ_BufferIter it;
                    unsigned char head[kSize];
                    TQ_bufferInitIter(mine, &it);
                    if (TQ_bufferCopyFrom(head, &it, kSize) != 1 || head[0] != 0x5a || head[kSize - 1] != 0x5a)
                        badReads.fetch_add(1);
                    if (TQ_bufferRelease(mine) <= 0)
                        badCounts.fetch_add(1);
                }
                if (TQ_bufferRelease(b) == 0)
                    lastReleases.fetch_add(1);
            });
        }
        if (TQ_bufferRelease(b) == 0)
            lastReleases.fetch_add(1);
        for (std::thread &t : threads)
            t.join();
        EXPECT_EQ(badReads, 0);
        EXPECT_EQ(badCounts, 0) << "a release while others still held it reported 0";
        EXPECT_EQ(lastReleases, 1);
        EXPECT_EQ(g_frees, 1);
    }
    a.destroy(&a);
}

// Threads take and give back blocks of both sizes and small buffers while
// the pools refill; every block a thread holds must be its alone.
TEST(AllocatorMt, PoolsNeverHandOutOneBlockTwice)
{
    TQ_Allocator a;
    ASSERT_EQ(initMallocAllocator(&a), 1);
    constexpr int kThreads = 4, kRounds = 4000;
    struct Held {
        unsigned char *p;
        size_t size; // 256 or 32 for blocks, else a buffer's payload size
    };
    auto giveBack = [&a](const Held &h) {
        if (h.size == 256)
            a.freeBlock256(&a, h.p);
        else if (h.size == 32)
            a.freeBlock32(&a, h.p);
        else
            TQ_bufferFree(reinterpret_cast<TQ_Buffer *>(h.p - offsetof(TQ_Buffer, first.data)));
    };
    std::atomic<int> clashes{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const unsigned char mark = static_cast<unsigned char>(t + 1);
            std::vector<Held> held;
            for (int r = 0; r < kRounds; ++r) {
                Held h{nullptr, r % 3 == 0 ? 256u : r % 3 == 1 ? 32u : 100u};
                h.p = static_cast<unsigned char *>(h.size == 256  ? a.allocBlock256(&a)
                                                   : h.size == 32 ? a.allocBlock32(&a)
                                                                  : a.allocBuffer(&a, 100)->first.data);
                memset(h.p, mark, h.size);
                held.push_back(h);
                if (r % 8 != 7)
                    continue;
                // Give back the older half, checking nobody else wrote there.
                size_t half = held.size() / 2;
                for (size_t i = 0; i < half; ++i) {
                    for (size_t k = 0; k < held[i].size; ++k) {
                        if (held[i].p[k] != mark) {
                            clashes.fetch_add(1);
                            break;
                        }
                    }
                    giveBack(held[i]);
                }
                held.erase(held.begin(), held.begin() + half);
            }
            for (const Held &h : held)
                giveBack(h);
        });
    }
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(clashes, 0);
    a.destroy(&a);
}
