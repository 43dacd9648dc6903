#include <gtest/gtest.h>

#include <chrono>

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

