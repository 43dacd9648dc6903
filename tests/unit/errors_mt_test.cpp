// The last-error slot is per thread: values set concurrently never leak into another thread, and a thread that set
// nothing reads 0. A system code keeps the module part and gives only its low 16 bits.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tessarc/runtime.h"

TEST(ErrorsMt, EachThreadSeesOnlyItsOwnLastError)
{
    TQ_setLastError(0x11000000);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (uint32_t t = 1; t <= 4; ++t) {
        threads.emplace_back([t, &mismatches] {
            if (TQ_getLastError() != 0)
                ++mismatches;
            for (uint32_t i = 0; i < 20000; ++i) {
                TQ_setLastErrorSys((t << 24) | 5, i | 0x30000); // the system code's low 16 bits replace the 5
                if (TQ_getLastError() != ((t << 24) | i))
                    ++mismatches;
            }
        });
    }
    for (std::thread &th : threads)
        th.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(TQ_getLastError(), 0x11000000u);
}
