#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "tessarc/runtime.h"

namespace {

int32_t numTasks()
{
    return __atomic_load_n(&g_TQ__numTasks, __ATOMIC_SEQ_CST);
}

/* Scenarios that end the process, each run in a fresh copy of this program. */

std::atomic<int> g_gateOpen{0};
intptr_t g_sem = -1;

void secondTask(void *)
{
    TQ_semSignal(g_sem);
    // The first task ends meanwhile; that must end only its own thread.
    for (int i = 0; i < 10000 && numTasks() != 1; ++i)
        TQ_msleep(1);
    // A thread's end does not end the process.
    TQ_threadDelete(TQ_threadCreate([](intptr_t, void *) { TQ_msleep(20); }, nullptr, 512, 2));
    printf("second ends last, tasks=%d\n", numTasks());
}

void firstTask(void *)
{
    printf("first runs, gate open=%d, tasks=%d\n", g_gateOpen.load(), numTasks());
    TQ_startTask(secondTask, nullptr, 512, 3, "Second");
    printf("second runs at once=%d\n", TQ_semWait(g_sem, 10000));
}

// Output goes to a pipe, fully buffered: it reaches the parent only if the process end flushes stdio.
int scenario(const std::string &name)
{
    if (name == "scheduler") {
        g_sem = TQ_semCreate();
        TQ_startTask(firstTask, nullptr, 1024, 2, "First");
        printf("main: tasks=%d\n", numTasks());
        TQ_msleep(50);
        g_gateOpen = 1;
        TQ_startScheduler(); // parks the main thread; the last task ends the process
        printf("scheduler returned\n");
    } else if (name == "critical") {
        // First use of the critical section from eight threads at once.
        static std::atomic<bool> go{false};
        static long counter = 0;
        std::vector<intptr_t> threads;
        for (int i = 0; i < 8; ++i)
            threads.push_back(TQ_threadCreate(
                [](intptr_t, void *) {
                    while (!go.load()) {
                    }
                    for (int k = 0; k < 5000; ++k) {
                        TQ_enterCriticalSection();
                        TQ_enterCriticalSection();
                        ++counter;
                        TQ_leaveCriticalSection();
                        TQ_leaveCriticalSection();
                    }
                },
                nullptr, 0, 2));
        go = true;
        for (intptr_t t : threads)
            TQ_threadDelete(t);
        printf("counter=%ld tasks=%d", counter, numTasks());
        TQ_exitProcess(7);
    }
    return 3;
}

// Runs a scenario; returns its exit code and everything it wrote.
std::pair<int, std::string> runScenario(const char *name)
{
    char self[PATH_MAX] = {};
    EXPECT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    FILE *p = popen((std::string(self) + " --tasks-scenario=" + name + " 2>&1").c_str(), "r");
    std::string out;
    char buf[512];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    int st = pclose(p);
    return {WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), out};
}

TEST(Process, LastTaskEndsItAndExitFlushes)
{
    EXPECT_EQ(runScenario("scheduler"),
              std::make_pair(0, std::string("main: tasks=1\nfirst runs, gate open=1, tasks=1\n"
                                            "second runs at once=1\nsecond ends last, tasks=1\n")));
    EXPECT_EQ(runScenario("critical"), std::make_pair(7, std::string("counter=40000 tasks=0")));
}

} // namespace

// Runs a scenario when asked to, else the tests.
int main(int argc, char **argv)
{
    const char *flag = "--tasks-scenario=";
    if (argc == 2 && strncmp(argv[1], flag, strlen(flag)) == 0)
        return scenario(argv[1] + strlen(flag));
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
