// The server core with its threads: the work queue and the name under concurrent callers, and the whole start and stop
// sequence run for real in a child process that ends through the host-style postdestroy callback.
#include <gtest/gtest.h>

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <tessarc/server.h>

namespace {

TQ_Server_ProtocolCallbacks *g_callbacks;

struct Work {
    const TQ_Server_WorkOps *ops;
    int producer;
    int sequence;
};
std::vector<std::pair<int, int>> g_ran; // touched by the worker thread only
void runWork(void *record)
{
    Work *w = static_cast<Work *>(record);
    g_ran.emplace_back(w->producer, w->sequence);
}
const TQ_Server_WorkOps g_workOps = {nullptr, nullptr, nullptr, nullptr, runWork};

TEST(ServerThreads, QueuedWorkRunsInOrderAndIsDrainedAtTeardown)
{
    TQ_Allocator allocator;
    ASSERT_EQ(initMallocAllocator(&allocator), 1);
    TQ_Server_init(&allocator);
    TQ_Server_Protocol protocol{nullptr,  nullptr, [](TQ_Server_ProtocolCallbacks *cb) { return g_callbacks = cb, 1; },
                                [] {},    [] {},   nullptr,
                                nullptr,  nullptr, nullptr,
                                "capture"};
    TQ_Server_addProtocol(&protocol);
    TQ_Server_startCommunication();
    ASSERT_NE(g_callbacks, nullptr);

    // Producers queue work and, between records, replace and read the name: every copy handed out is one whole name.
    const char *names[2] = {"short", "a name of more than thirty-one characters"};
    const int kProducers = 4, kEach = 300;
    std::vector<Work> works(kProducers * kEach);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) {
                works[p * kEach + i] = Work{&g_workOps, p, i};
                g_callbacks->queueWork(&works[p * kEach + i]);
                TQ_Server_setName(names[p % 2]);
                char *copy = TQ_Server_getName();
                EXPECT_TRUE(strcmp(copy, names[0]) == 0 || strcmp(copy, names[1]) == 0);
                TQ_freeStringWithAllocator(g_TQ_serverAllocator, copy);
            }
        });
    }
    for (std::thread &t : producers)
        t.join();
    TQ_Server_stopCommunication();
    TQ_Server_destroyCommunication(); // joins the worker after its last drain
    TQ_Server_destroy();
    allocator.destroy(&allocator);

    ASSERT_EQ(g_ran.size(), works.size());
    std::vector<int> next(kProducers, 0);
    for (const auto &r : g_ran)
        EXPECT_EQ(r.second, next[r.first]++) << "producer " << r.first;
}

// Child side: every observation is a line on stdout, which is the pipe to the parent; the server log writes to the same
// stream.
void say(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
}

TQ_Allocator g_allocator;
bool g_encryptionAccepts;
bool g_stopInHook; // a service's postinit hook asks for the stop

TQ_Server_ProtocolCallbacks *g_cb;
TQ_Interface g_iface;
const TQ_InterfaceOps g_ifaceOps = {nullptr, nullptr, [](TQ_Interface *i) { say("open %s", i->name); }};

void sayWork(void *record)
{
    Work *w = static_cast<Work *>(record);
    if (w->sequence == 4)
        TQ_msleep(50); // the worker is busy when the teardown signal comes
    say("work %d", w->sequence);
}
const TQ_Server_WorkOps g_sayOps = {nullptr, nullptr, nullptr, nullptr, sayWork};
Work g_works[7];

int loopRun(TQ_Server_ProtocolCallbacks *cb)
{
    g_cb = cb;
    say("run loop %d", cb->allocator == &g_allocator && cb->log == TQ_Server_getLog());
    g_iface = TQ_Interface{&g_ifaceOps, TQ_Server_getProtocol("loop"), "if0"};
    cb->addInterface(&g_iface);
    for (int i = 1; i <= 3; ++i)
        cb->queueWork(&g_works[i]);
    return 1;
}
void loopStop()
{
    say("stop loop");
    g_cb->removeInterface(&g_iface);
}
void loopDestroy()
{
    say("destroy loop");
    for (int i = 4; i <= 6; ++i)
        g_cb->queueWork(&g_works[i]);
}

int encInit(TQ_Server_EncryptionContext *context)
{
    say("enc init %d", context->allocator == &g_allocator);
    return g_encryptionAccepts ? 1 : -1;
}
TQ_Server_Encryption g_encryption = {encInit, [] { say("enc stop"); }, nullptr, nullptr, nullptr, nullptr, nullptr};

int32_t mainPreinit(TQ_Server_ServiceApi *api)
{
    say("preinit main");
    api->setEncryption(&g_encryption);
    return 1;
}
void mainPostinit()
{
    char host[64];
    TQ_getHostname(host, sizeof host);
    char *name = TQ_Server_getName();
    char *net = TQ_Server_getNetworkId();
    say("postinit main name=%d net=%s", strcmp(name, host) == 0, net);
    TQ_freeStringWithAllocator(g_TQ_serverAllocator, name);
    TQ_freeStringWithAllocator(g_TQ_serverAllocator, net);
    if (g_stopInHook) {
        // The stop sequence must not start before the start sequence ends.
        TQ_Server_stop();
        TQ_msleep(50);
        say("postinit main done");
    }
}

void postinitCallback()
{
    say("postinit callback");
    if (!g_stopInHook) {
        TQ_Server_run(); // already running: only logs
        TQ_Server_stop();
    }
    TQ_Server_stop(); // already stopping: only logs
}
void postdestroyCallback()
{
    say("postdestroy callback");
    TQ_Server_destroy();
    g_allocator.destroy(&g_allocator);
    TQ_exitProcess(0);
}

void *serverChild(void *)
{
    for (int i = 0; i < 7; ++i)
        g_works[i] = Work{&g_sayOps, 0, i};
    static TQ_Server_Protocol loop{nullptr, nullptr, loopRun, loopStop, loopDestroy,
                                   nullptr, nullptr, nullptr, nullptr,  "loop"},
        fail{};
    fail.run = [](TQ_Server_ProtocolCallbacks *) { return -1; };
    fail.stop = [] { say("stop fail"); };
    fail.destroy = [] { say("destroy fail"); };
    fail.name = "fail";
    static TQ_Server_Service mainService{};
    mainService.preinit = mainPreinit;
    mainService.postinit = mainPostinit;
    mainService.addNode = mainService.removeNode = [](TQ_Server_Node *) { say("node hook"); };
    mainService.handleDataset = [](TQ_Server_Node *, TQ_Buffer *, TQ_TreeSet *) {};
    mainService.predestroy = [] { say("predestroy main"); };
    mainService.postdestroy = [] { say("postdestroy main"); };
    mainService.name = "main";
    mainService.order = 5;
    mainService.datasetType = 10;

    initMallocAllocator(&g_allocator);
    TQ_Server_stop(); // before the server runs: only logs
    TQ_Server_init(&g_allocator);
    TQ_Server_addProtocol(&loop);
    TQ_Server_addProtocol(&fail);
    TQ_Server_addService(&mainService);
    TQ_Server_setNetworkId("custom");
    TQ_Server_setPostinitCallback(postinitCallback);
    TQ_Server_setPredestroyCallback([] { say("predestroy callback"); });
    TQ_Server_setPostdestroyCallback(postdestroyCallback);
    TQ_Server_run();
    say("run returned");
    return nullptr;
}

// Runs the server in a child; its exit status and everything it wrote.
std::pair<int, std::string> runChild(bool encryptionAccepts)
{
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 1);
        close(fds[1]);
        setvbuf(stdout, nullptr, _IOLBF, 0);
        alarm(20); // a hang ends the child instead of the test run
        // TQ_Server_run ends its calling thread by unwinding it, which must not pass through the test framework's
        // frames: run it on a thread of its own and park this one.
        g_encryptionAccepts = encryptionAccepts;
        g_stopInHook = !encryptionAccepts;
        pthread_t thread;
        pthread_create(&thread, nullptr, serverChild, nullptr);
        pthread_detach(thread);
        for (;;)
            pause();
    }
    close(fds[1]);
    std::pair<int, std::string> result{};
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        result.second.append(buf, n);
    close(fds[0]);
    waitpid(pid, &result.first, 0);
    return result;
}

TEST(ServerThreads, StartAndStopSequenceRunsInOrderAndEndsTheProcess)
{
    for (int variant = 0; variant < 2; ++variant) {
        bool accepts = variant == 0;
        auto [status, L] = runChild(accepts);
        SCOPED_TRACE(L);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        // Where `text` first appears at or after `from` (npos as -1); how often.
        auto find = [&L = L](const std::string &text, long from = 0) { return (long)L.find(text, (size_t)from); };
        auto count = [&](const std::string &text) {
            int n = 0;
            for (long at = find(text); at >= 0; at = find(text, at + 1))
                ++n;
            return n;
        };

        std::vector<std::string> sequence = {
            "Server is already stopping",
            "preinit main",
            "enc init 1",
            "run loop 1",
            "CM: adding new interface, protocol = loop, name = if0",
            "open if0",
            "CM: failed to run protocol fail",
            "postinit main name=1 net=custom",
            accepts ? "postinit callback" : "postinit main done",
            accepts ? "Server is already starting" : "predestroy callback",
            "predestroy callback",
            "predestroy main",
            "stop loop",
            "CM: removing interface, protocol = loop, name = if0",
            "stop fail",
            "postdestroy main",
            "destroy loop",
            "destroy fail",
            "postdestroy callback",
        };
        long at = -1;
        if (!accepts)
            sequence.erase(sequence.begin() + 10);
        for (const std::string &step : sequence) {
            long found = find(step, at + 1);
            EXPECT_GT(found, at) << "missing or out of order: " << step;
            if (found > at)
                at = found;
        }
        // Once before the run; once for the second stop from the postinit callback, which races with the stop task it
        // started.
        EXPECT_EQ(count("Server is already stopping"), 2);
        EXPECT_GT(find("Server is already stopping", find("postinit callback")), 0);
        EXPECT_EQ(count("enc stop"), accepts ? 1 : 0);
        EXPECT_TRUE(!accepts || find("stop fail") < find("enc stop"));
        for (const char *never : {"node hook", "run returned"})
            EXPECT_EQ(count(never), 0) << never;
        // Queued work ran in queue order, what was queued during teardown included, before the process ended.
        long work = find("run loop");
        for (int i = 1; i <= 6; ++i) {
            long found = find("work " + std::to_string(i), work + 1);
            EXPECT_GT(found, work) << "work " << i;
            work = found;
        }
        EXPECT_GT(find("work 4"), find("destroy loop"));
        EXPECT_LT(find("work 6"), find("postdestroy callback"));
    }
}

} // namespace
