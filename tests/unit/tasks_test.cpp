#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

#include "tessarc/runtime.h"

// Binary semaphore on one thread: signals collapse, a zero time-out only takes
// a pending signal, and a bounded wait that fails really waited.
TEST(Semaphore, SignalsCollapseAndWaitsTimeOut) {
    intptr_t sem = TQ_semCreate();
    ASSERT_NE(sem, -1);
    EXPECT_EQ(TQ_semWait(sem, 0), -1);
    EXPECT_NE(TQ_semSignal(sem), 0);
    EXPECT_NE(TQ_semSignal(sem), 0);
    EXPECT_EQ(TQ_semWait(sem, 0), 1);
    EXPECT_EQ(TQ_semWait(sem, 0), -1);

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(TQ_semWait(sem, 120), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(120));
    EXPECT_NE(TQ_semDelete(sem), 0);
}

TEST(Time, ClocksAndLocalTime) {
    // This is the only test that starts the clock.
    EXPECT_EQ(TQ_getTimeMs(), 0u);
    TQ_initTime();
    TQ_initTime();
    uint64_t last = TQ_getTimeMs();
    EXPECT_GT(last, 0u);
    for (int i = 0; i < 100000; ++i) {
        uint64_t now = TQ_getTimeMs();
        ASSERT_GE(now, last);
        last = now;
    }
    uint64_t before = TQ_getTimeMs();
    TQ_msleep(30);
    TQ_usleep(20000);
    EXPECT_GE(TQ_getTimeMs() - before, 50u);

    time_t wall = time(nullptr);
    uint64_t sys = TQ_getSystemTime();
    EXPECT_LE(static_cast<uint64_t>(wall) * 1000, sys);
    EXPECT_LT(sys, (static_cast<uint64_t>(wall) + 2) * 1000);

    TQ_LocalTime lt;
    TQ_getLocalTime(&lt);
    time_t now = time(nullptr);
    struct tm ref;
    localtime_r(&now, &ref);
    EXPECT_EQ(lt.year, ref.tm_year);
    EXPECT_EQ(lt.yday, ref.tm_yday);
    EXPECT_EQ(lt.mon, ref.tm_mon);
    EXPECT_EQ(lt.mday, ref.tm_mday);
    EXPECT_EQ(lt.wday, ref.tm_wday);
    EXPECT_STREQ(c_TQ_TimeWeekDays[3], "Wed");
    EXPECT_EQ(c_TQ_TimeWeekDays[7], nullptr);
    EXPECT_STREQ(c_TQ_TimeMonths[11], "Dec");
}
