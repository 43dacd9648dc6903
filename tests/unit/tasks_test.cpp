#include <gtest/gtest.h>

#include "tessarc/runtime.h"

// A binary semaphore: signals collapse, and a wait takes only a pending signal.
TEST(Semaphore, SignalsCollapseAndWaitsTimeOut)
{
    intptr_t sem = TQ_semCreate();
    ASSERT_NE(sem, -1);
    EXPECT_EQ(TQ_semWait(sem, 0), -1);
    TQ_semSignal(sem);
    TQ_semSignal(sem);
    EXPECT_EQ(TQ_semWait(sem, 0), 1);
    EXPECT_EQ(TQ_semWait(sem, 20), -1);
    EXPECT_NE(TQ_semDelete(sem), 0);
}
