#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <vector>

#include "tessarc/runtime.h"

// A binary semaphore: signals collapse, a zero time-out only takes a pending
// signal, and a bounded wait that fails really waited.
TEST(Semaphore, SignalsCollapseAndWaitsTimeOut)
{
    intptr_t sem = TQ_semCreate();
    ASSERT_NE(sem, -1);
    EXPECT_EQ(TQ_semWait(sem, 0), -1);
    TQ_semSignal(sem);
    TQ_semSignal(sem);
    EXPECT_EQ(TQ_semWait(sem, 0), 1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(TQ_semWait(sem, 120), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(120));
    EXPECT_NE(TQ_semDelete(sem), 0);
}

TEST(Time, ClocksAndLocalTime)
{
    EXPECT_EQ(TQ_getTimeMs(), 0u); // the only test that starts the clock
    TQ_initTime();
    uint64_t last = TQ_getTimeMs();
    TQ_msleep(30);
    TQ_usleep(20999);
    EXPECT_GE(TQ_getTimeMs() - last, 50u);

    time_t wall = time(nullptr);
    uint64_t sys = TQ_getSystemTime();
    EXPECT_LE(static_cast<uint64_t>(wall) * 1000, sys);
    EXPECT_LT(sys, (static_cast<uint64_t>(wall) + 2) * 1000);

    TQ_LocalTime lt;
    TQ_getLocalTime(&lt);
    struct tm ref;
    localtime_r(&wall, &ref);
    EXPECT_EQ(std::vector<int>({lt.year, lt.mon, lt.mday, lt.wday, lt.yday}),
              std::vector<int>({ref.tm_year, ref.tm_mon, ref.tm_mday, ref.tm_wday, ref.tm_yday}));
}
