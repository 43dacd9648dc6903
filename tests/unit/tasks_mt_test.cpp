#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tessarc/runtime.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int32_t numTasks() { return __atomic_load_n(&g_TQ__numTasks, __ATOMIC_SEQ_CST); }

/* ---- Scenarios that end the process, each run in a fresh copy of this program ---- */

std::atomic<int> g_gateOpen{0};
intptr_t g_sem = -1;

void secondTask(void *) {
    TQ_semSignal(g_sem);
    // The first task ends meanwhile; that must end only its own thread.
    for (int i = 0; i < 10000 && numTasks() != 1; ++i) TQ_msleep(1);
    // A thread counts while it lives, and its end does not end the process.
    TQ_threadDelete(TQ_threadCreate([](intptr_t, void *) { TQ_msleep(20); }, nullptr, 512, 2));
    printf("second ends last, tasks=%d\n", numTasks());
}

void firstTask(void *) {
    printf("first runs, gate open=%d, tasks=%d\n", g_gateOpen.load(), numTasks());
    TQ_startTask(secondTask, nullptr, 512, 3, "Second");
    printf("second runs at once=%d\n", TQ_semWait(g_sem, 10000));
}

// Output goes to a pipe, fully buffered: it reaches the parent only if the
// process end flushes stdio.
int scenario(const std::string &name) {
    if (name == "scheduler") {
        g_sem = TQ_semCreate();
        TQ_startTask(firstTask, nullptr, 1024, 2, "First");
        printf("main: tasks=%d\n", numTasks());
        TQ_msleep(50);
        g_gateOpen = 1;
        TQ_startScheduler();  // ends the main thread; the tasks end the process
        printf("scheduler returned\n");
    } else if (name == "exit") {
        printf("buffered");
        TQ_exitProcess(7);
    } else if (name == "leak") {
        // The only pointers to these blocks lived on a stack that is gone.
        TQ_threadDelete(TQ_threadCreate([](intptr_t, void *) {
            for (int i = 0; i < 8; ++i) { void *volatile p = malloc(100); (void)p; }
        }, nullptr, 0, 2));
        TQ_exitProcess(0);
    } else if (name == "critical") {
        // First use of the critical section from eight threads at once.
        static std::atomic<bool> go{false};
        static long counter = 0;
        std::vector<intptr_t> threads;
        for (int i = 0; i < 8; ++i)
            threads.push_back(TQ_threadCreate([](intptr_t, void *) {
                while (!go.load()) {}
                for (int k = 0; k < 5000; ++k) {
                    TQ_enterCriticalSection();
                    TQ_enterCriticalSection();
                    ++counter;
                    TQ_leaveCriticalSection();
                    TQ_leaveCriticalSection();
                }
            }, nullptr, 0, 2));
        go = true;
        for (intptr_t t : threads) TQ_threadDelete(t);
        printf("counter=%ld", counter);
        TQ_exitProcess(0);
    }
    return 3;
}

struct Outcome {
    int status;
    std::string output;
};

Outcome runScenario(const char *name) {
    char self[PATH_MAX] = {};
    EXPECT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    std::string cmd = std::string(self) + " --tasks-scenario=" + name + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[512];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    int st = pclose(p);
    return {WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), out};
}

TEST(Process, LastTaskEndsItAndExitFlushes) {
    Outcome o = runScenario("scheduler");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.output,
              "main: tasks=1\nfirst runs, gate open=1, tasks=1\nsecond runs at once=1\n"
              "second ends last, tasks=1\n");
    o = runScenario("exit");
    EXPECT_EQ(o.status, 7);
    EXPECT_EQ(o.output, "buffered");
    o = runScenario("critical");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.output, "counter=40000");
    o = runScenario("leak");
#if defined(TQ_SANITIZE_ADDRESS)
    EXPECT_NE(o.status, 0);
    EXPECT_NE(o.output.find("LeakSanitizer"), std::string::npos) << o.output;
#else
    EXPECT_EQ(o.status, 0);
#endif
}

/* ---- Threads, semaphores and mutexes in this process ---- */

struct Queue {
    intptr_t lock = TQ_mutexCreate();
    intptr_t sem = TQ_semCreate();
    std::vector<int> items;
    long processed = 0;
    std::atomic<bool> go{false};
};

// The worker pattern: one wake drains the whole queue; cancel, wake, join.
TEST(Threads, WorkerDrainsQueueUntilCancelled) {
    int32_t base = numTasks();
    Queue q;
    intptr_t worker = TQ_threadCreate([](intptr_t self, void *arg) {
        Queue *q = static_cast<Queue *>(arg);
        for (;;) {
            TQ_semWait(q->sem, 0xFFFFFFFFu);
            TQ_mutexLock(q->lock);
            while (!q->items.empty()) {
                int item = q->items.back();
                q->items.pop_back();
                TQ_mutexUnlock(q->lock);
                q->processed += item;
                TQ_mutexLock(q->lock);
            }
            TQ_mutexUnlock(q->lock);
            if (TQ_threadTestCancel(self)) return;
        }
    }, &q, 1024, 2);
    ASSERT_NE(worker, -1);
    std::vector<intptr_t> producers;
    for (int i = 0; i < 3; ++i)
        producers.push_back(TQ_threadCreate([](intptr_t, void *arg) {
            Queue *q = static_cast<Queue *>(arg);
            while (!q->go) TQ_msleep(1);
            for (int k = 1; k <= 2000; ++k) {
                TQ_mutexLock(q->lock);
                q->items.push_back(k);
                TQ_mutexUnlock(q->lock);
                TQ_semSignal(q->sem);
            }
        }, &q, 0, 2));
    EXPECT_EQ(numTasks(), base + 4);
    q.go = true;
    for (intptr_t p : producers) TQ_threadDelete(p);
    EXPECT_EQ(TQ_threadTestCancel(worker), 0);
    TQ_threadCancel(worker);
    EXPECT_EQ(TQ_threadTestCancel(worker), 1);
    TQ_semSignal(q.sem);
    TQ_threadDelete(worker);
    EXPECT_EQ(numTasks(), base);
    long left = 0;
    for (int item : q.items) left += item;
    EXPECT_EQ(q.processed + left, 3L * 2000 * 2001 / 2);
    TQ_semDelete(q.sem);
    TQ_mutexDelete(q.lock);
}

// Every signal given to a waiting thread releases it: no wake is lost.
TEST(Threads, SemaphorePingPong) {
    static intptr_t ping = TQ_semCreate(), pong = TQ_semCreate();
    static std::atomic<int> failures{0};
    intptr_t t = TQ_threadCreate([](intptr_t, void *) {
        for (int i = 0; i < 20000; ++i) {
            if (TQ_semWait(ping, 10000) != 1) ++failures;
            TQ_semSignal(pong);
        }
    }, nullptr, 0, 2);
    for (int i = 0; i < 20000; ++i) {
        TQ_semSignal(ping);
        if (TQ_semWait(pong, 10000) != 1) ++failures;
    }
    TQ_threadDelete(t);
    EXPECT_EQ(failures.load(), 0);
    TQ_semDelete(ping);
    TQ_semDelete(pong);
}

struct SleepProbe {
    intptr_t go = TQ_semCreate(), ready = TQ_semCreate();
    std::atomic<bool> woke{false};
    Clock::duration preWoken{}, woken{};
    int nice = 0;
};

TEST(Threads, SleepWakeStackAndPriority) {
    SleepProbe s;
    intptr_t t = TQ_threadCreate([](intptr_t self, void *arg) {
        SleepProbe *s = static_cast<SleepProbe *>(arg);
        volatile char big[128 * 1024];  // far beyond 512 words
        memset(const_cast<char *>(big), 1, sizeof big);
        s->nice = getpriority(PRIO_PROCESS, 0);
        TQ_semWait(s->go, 0xFFFFFFFFu);
        auto start = Clock::now();
        TQ_threadMsleep(self, 200);  // the wake given before this is lost
        s->preWoken = Clock::now() - start;
        TQ_threadMsleep(self, 0);
        TQ_semSignal(s->ready);
        start = Clock::now();
        TQ_threadMsleep(self, 0xFFFFFFFFu);
        s->woken = Clock::now() - start;
        s->woke = true;
    }, &s, 512, 0);
    ASSERT_NE(t, -1);
    TQ_threadWakeFromSleep(t);
    TQ_semSignal(s.go);
    ASSERT_EQ(TQ_semWait(s.ready, 10000), 1);
    for (int i = 0; i < 200 && !s.woke; ++i) {
        TQ_msleep(50);
        TQ_threadWakeFromSleep(t);
    }
    TQ_threadDelete(t);
    EXPECT_GE(s.preWoken, milliseconds(200));
    EXPECT_LT(s.woken, milliseconds(5000));
    EXPECT_EQ(s.nice, std::min(getpriority(PRIO_PROCESS, 0) + 2, 19));
    TQ_semDelete(s.go);
    TQ_semDelete(s.ready);
}

TEST(Mutex, RecursiveAndExclusive) {
    static intptr_t m = TQ_mutexCreate();
    static std::atomic<int> taken{0};
    static long counter = 0;
    TQ_mutexLock(m);
    TQ_mutexLock(m);
    intptr_t t = TQ_threadCreate([](intptr_t, void *) {
        TQ_mutexLock(m);
        taken = 1;
        TQ_mutexUnlock(m);
    }, nullptr, 0, 2);
    TQ_msleep(50);
    TQ_mutexUnlock(m);
    TQ_msleep(50);
    EXPECT_EQ(taken.load(), 0);  // still held once
    TQ_mutexUnlock(m);
    TQ_threadDelete(t);
    EXPECT_EQ(taken.load(), 1);

    std::vector<intptr_t> threads;
    for (int i = 0; i < 4; ++i)
        threads.push_back(TQ_threadCreate([](intptr_t, void *) {
            for (int k = 0; k < 20000; ++k) {
                TQ_mutexLock(m);
                TQ_mutexLock(m);
                ++counter;
                TQ_mutexUnlock(m);
                TQ_mutexUnlock(m);
            }
        }, nullptr, 0, 2));
    for (intptr_t th : threads) TQ_threadDelete(th);
    EXPECT_EQ(counter, 80000);
    TQ_mutexDelete(m);
}

}  // namespace

int main(int argc, char **argv) {
    const char *flag = "--tasks-scenario=";
    if (argc == 2 && strncmp(argv[1], flag, strlen(flag)) == 0) return scenario(argv[1] + strlen(flag));
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
