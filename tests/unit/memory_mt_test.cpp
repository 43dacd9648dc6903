// Buffer reference counts and the block pools under many threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "tessarc/runtime.h"

namespace {

std::atomic<int> g_frees{0};
void (*g_realFreeBuffer)(TQ_Allocator *, TQ_Buffer *);

void run(int threads, const std::function<void(int)> &body)
{
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back(body, t);
    for (std::thread &t : pool)
        t.join();
}

} // namespace

// Every thread reads the payload while it holds a reference. The release that brings the count to 0, wherever it
// happens, gives the buffer back exactly once, ordered after every holder's last read (ThreadSanitizer reports a
// give-back that is not). Also: concurrent takers of pool blocks and small buffers never share a block.
TEST(BufferMt, ConcurrentHoldersFreeOnceAfterTheLastUseAndPoolsNeverShareABlock)
{
    TQ_Allocator a;
    ASSERT_EQ(initMallocAllocator(&a), 1);
    g_realFreeBuffer = a.freeBuffer;
    a.freeBuffer = [](TQ_Allocator *al, TQ_Buffer *b) {
        g_frees.fetch_add(1);
        g_realFreeBuffer(al, b);
    };
    constexpr int kThreads = 6;
    for (uint32_t payload : {64u, 1000u}) { // a pool buffer and a heap one
        g_frees = 0;
        TQ_Buffer *b = TQ_bufferAcquire(a.allocBuffer(&a, payload)); // the creator's
        memset(b->first.data, 0x5a, payload);
        for (int t = 0; t < kThreads; ++t)
            TQ_bufferAcquire(b); // one handed to each thread
        std::atomic<int> zeros{0}, faults{0};
        std::thread creator([&] { zeros += TQ_bufferRelease(b) == 0; });
        run(kThreads, [&](int) {
            for (int r = 0; r < 20000; ++r) {
                TQ_BufferIter it;
                unsigned char bytes[64];
                TQ_bufferInitIter(TQ_bufferAcquire(b), &it);
                faults += TQ_bufferCopyFrom(bytes, &it, 64) != 1 || bytes[63] != 0x5a;
                faults += TQ_bufferRelease(b) <= 0;
            }
            zeros += TQ_bufferRelease(b) == 0;
        });
        creator.join();
        EXPECT_EQ(faults, 0);
        EXPECT_EQ(zeros, 1);
        EXPECT_EQ(g_frees, 1);
    }

    std::atomic<int> clashes{0};
    run(4, [&](int t) {
        std::vector<unsigned char *> held;
        for (int r = 0; r < 24 * 150; ++r) {
            held.push_back(static_cast<unsigned char *>(r % 3 == 0   ? a.allocBlock256(&a)
                                                        : r % 3 == 1 ? a.allocBlock32(&a)
                                                                     : a.allocBuffer(&a, 100)->first.data));
            memset(held.back(), t + 1, 32);
            if (r % 24 != 23) // a batch starts with r % 3 == 0
                continue;
            for (size_t i = 0; i < held.size(); ++i) {
                clashes += held[i][0] != t + 1 || held[i][31] != t + 1;
                if (i % 3 == 0)
                    a.freeBlock256(&a, held[i]);
                else if (i % 3 == 1)
                    a.freeBlock32(&a, held[i]);
                else
                    TQ_bufferFree(reinterpret_cast<TQ_Buffer *>(held[i] - offsetof(TQ_Buffer, first.data)));
            }
            held.clear();
        }
    });
    EXPECT_EQ(clashes, 0);
    a.destroy(&a);
}
