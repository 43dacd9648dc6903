/* Tasks, threads, locks and time: the runtime's execution model on pthreads
 * and the system clocks. This is the one runtime file that creates threads,
 * reads clocks and ends the process. */
#include "tessarc/runtime.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <new>

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#if defined(TQ_SANITIZE_ADDRESS)
#include <sanitizer/lsan_interface.h>
#endif

int32_t g_TQ__numTasks = 0;

const char *const c_TQ_TimeWeekDays[8] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat", nullptr};
const char *const c_TQ_TimeMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

namespace {

/* g_TQ__numTasks is a plain int32_t for C callers; every change and read here
 * is atomic. */
int32_t incrementTasks()
{
    return __atomic_add_fetch(&g_TQ__numTasks, 1, __ATOMIC_SEQ_CST);
}
int32_t decrementTasks()
{
    return __atomic_sub_fetch(&g_TQ__numTasks, 1, __ATOMIC_SEQ_CST);
}

/* The smallest stack a task or thread gets. glibc carves a thread's static TLS
 * out of its stack, and the sanitizers' per-thread state and instrumented
 * frames are large, so sanitizer builds get more. */
#if defined(TQ_SANITIZE_ADDRESS) || defined(TQ_SANITIZE_THREAD)
constexpr size_t kMinStackBytes = 1024 * 1024;
#else
constexpr size_t kMinStackBytes = 256 * 1024;
#endif

/* ---- Auto-reset events ---- */

/* A mutex, a condition variable on the monotonic clock and a flag: signalling
 * sets the flag and releases one waiter, and the waiter that sees the flag
 * clears it. Semaphores and the threads' wake events are events. */
struct Event {
    pthread_mutex_t lock;
    pthread_cond_t cond;
    bool signalled;
};

bool eventInit(Event *e)
{
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0)
        return false;
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    int rc = pthread_cond_init(&e->cond, &attr);
    pthread_condattr_destroy(&attr);
    if (rc != 0)
        return false;
    if (pthread_mutex_init(&e->lock, nullptr) != 0) {
        pthread_cond_destroy(&e->cond);
        return false;
    }
    e->signalled = false;
    return true;
}

void eventDestroy(Event *e)
{
    pthread_cond_destroy(&e->cond);
    pthread_mutex_destroy(&e->lock);
}

void eventSet(Event *e)
{
    pthread_mutex_lock(&e->lock);
    e->signalled = true;
    pthread_cond_signal(&e->cond);
    pthread_mutex_unlock(&e->lock);
}

void eventReset(Event *e)
{
    pthread_mutex_lock(&e->lock);
    e->signalled = false;
    pthread_mutex_unlock(&e->lock);
}

timespec deadlineAfter(uint32_t ms)
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec += 1;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

/* Waits for the event and consumes it. Returns true when it was signalled,
 * false when `ms` passed first (TQ_WAIT_FOREVER: no limit). */
bool eventWait(Event *e, uint32_t ms)
{
    timespec deadline{};
    if (ms != TQ_WAIT_FOREVER && ms != 0)
        deadline = deadlineAfter(ms);
    pthread_mutex_lock(&e->lock);
    while (!e->signalled) {
        if (ms == 0)
            break;
        if (ms == TQ_WAIT_FOREVER) {
            pthread_cond_wait(&e->cond, &e->lock);
        } else if (pthread_cond_timedwait(&e->cond, &e->lock, &deadline) == ETIMEDOUT) {
            break;
        }
    }
    bool got = e->signalled;
    e->signalled = false;
    pthread_mutex_unlock(&e->lock);
    return got;
}

/* Makes `m` a recursive mutex; false if it could not be made. */
bool initRecursiveMutex(pthread_mutex_t *m)
{
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0)
        return false;
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    int rc = pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc == 0;
}

/* ---- Thread creation ---- */

/* The nice value of the process when the library was loaded; priorities are
 * applied relative to it. */
int readBaseNice()
{
    errno = 0;
    int n = getpriority(PRIO_PROCESS, 0);
    return errno != 0 ? 0 : n;
}
const int s_baseNice = readBaseNice();

/* Priority 2 is normal; each step up lowers the calling thread's nice value
 * by one. Raising it needs privileges, so a failure is ignored. */
void applyPriority(int priority)
{
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), s_baseNice + (2 - priority));
}

/* Starts a pthread with a stack of `stackWords` pointer-sized words, at least
 * kMinStackBytes. Returns false if it could not be started. */
bool spawn(pthread_t *out, void *(*entry)(void *), void *arg, uint32_t stackWords, bool detached)
{
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
        return false;
    size_t bytes = static_cast<size_t>(stackWords) * sizeof(void *);
    if (bytes < kMinStackBytes)
        bytes = kMinStackBytes;
    int rc = pthread_attr_setstacksize(&attr, bytes);
    if (rc == 0 && detached)
        rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (rc == 0)
        rc = pthread_create(out, &attr, entry, arg);
    pthread_attr_destroy(&attr);
    return rc == 0;
}

/* ---- Tasks ---- */

/* The start gate: tasks wait on it until TQ_startScheduler opens it, and it
 * stays open. */
pthread_mutex_t s_startLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t s_startCond = PTHREAD_COND_INITIALIZER;
bool s_started = false;

/* Made by TQ_startTask, freed by the task once it runs. Tasks run detached:
 * nobody joins them, so no handle is kept. */
struct TaskStart {
    TQ_TaskFunction function;
    void *argument;
    int priority;
};

void *taskEntry(void *arg)
{
    TaskStart *start = static_cast<TaskStart *>(arg);
    TQ_TaskFunction function = start->function;
    void *argument = start->argument;
    applyPriority(start->priority);
    delete start;

    pthread_mutex_lock(&s_startLock);
    while (!s_started)
        pthread_cond_wait(&s_startCond, &s_startLock);
    pthread_mutex_unlock(&s_startLock);

    function(argument);
    TQ_endCurrentTask();
}

/* ---- Threads ---- */

/* A thread's record; its address is the thread's handle. */
struct ThreadRecord {
    TQ_ThreadFunction function;
    void *argument;
    std::atomic<int32_t> cancelRequested;
    pthread_t handle;
    Event wake;
    int priority;
};

ThreadRecord *record(intptr_t thread)
{
    return reinterpret_cast<ThreadRecord *>(thread);
}

void *threadEntry(void *arg)
{
    ThreadRecord *t = static_cast<ThreadRecord *>(arg);
    applyPriority(t->priority);
    t->function(reinterpret_cast<intptr_t>(t), t->argument);
    /* A thread's end never ends the process, even when the count reaches 0. */
    decrementTasks();
    return nullptr;
}

/* ---- Process-wide critical section ---- */

std::atomic<int32_t> s_csInitCount{0};
std::atomic<int32_t> s_csReady{0};
pthread_mutex_t s_critical;

} // namespace

/* ---- Process end ---- */

extern "C" void TQ_exitProcess(int code)
{
    fflush(nullptr);
#if defined(TQ_SANITIZE_ADDRESS)
    /* _exit skips the exit-time leak check; run it here. A leak ends the
     * process with the sanitizer's own exit code. */
    __lsan_do_leak_check();
#endif
    _exit(code);
}

/* ---- Tasks ---- */

extern "C" TQ_TaskFunction TQ_startTask(TQ_TaskFunction function, void *argument, uint32_t stackWords, int priority,
                                        const char *name)
{
    (void)name;
    TaskStart *start = new (std::nothrow) TaskStart{function, argument, priority};
    if (start == nullptr)
        return nullptr;
    incrementTasks();
    pthread_t handle;
    if (!spawn(&handle, taskEntry, start, stackWords, true)) {
        decrementTasks();
        delete start;
        return nullptr;
    }
    return function;
}

extern "C" void TQ_endCurrentTask(void)
{
    if (decrementTasks() == 0)
        TQ_exitProcess(0);
    /* Tasks are detached: nothing is left to close. */
    pthread_exit(nullptr);
}

extern "C" void TQ_startScheduler(void)
{
    /* The calling thread stays, parked: on Linux a process whose first
     * thread has ended shows as a zombie without resident memory, and
     * profilers and debuggers cannot read its maps. With every signal
     * blocked here, signals go to the threads that take them. Tasks made
     * before this keep the mask they were made with. */
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);

    pthread_mutex_lock(&s_startLock);
    s_started = true;
    pthread_cond_broadcast(&s_startCond);
    pthread_mutex_unlock(&s_startLock);
    for (;;)
        pause();
}

/* ---- Threads ---- */

extern "C" intptr_t TQ_threadCreate(TQ_ThreadFunction function, void *argument, uint32_t stackWords, int priority)
{
    ThreadRecord *t = new (std::nothrow) ThreadRecord;
    if (t == nullptr)
        return -1;
    t->function = function;
    t->argument = argument;
    t->cancelRequested.store(0);
    t->priority = priority;
    if (!eventInit(&t->wake)) {
        delete t;
        return -1;
    }
    incrementTasks();
    if (!spawn(&t->handle, threadEntry, t, stackWords, false)) {
        decrementTasks();
        eventDestroy(&t->wake);
        delete t;
        return -1;
    }
    return reinterpret_cast<intptr_t>(t);
}

extern "C" void TQ_threadCancel(intptr_t thread)
{
    record(thread)->cancelRequested.store(1);
}

extern "C" int TQ_threadTestCancel(intptr_t thread)
{
    return record(thread)->cancelRequested.load() > 0 ? 1 : 0;
}

extern "C" void TQ_threadDelete(intptr_t thread)
{
    ThreadRecord *t = record(thread);
    pthread_join(t->handle, nullptr);
    eventDestroy(&t->wake);
    delete t;
}

extern "C" void TQ_threadWakeFromSleep(intptr_t thread)
{
    eventSet(&record(thread)->wake);
}

extern "C" void TQ_threadMsleep(intptr_t thread, uint32_t ms)
{
    if (ms == 0)
        return;
    if (ms == TQ_WAIT_FOREVER)
        ms = TQ_WAIT_FOREVER - 1;
    ThreadRecord *t = record(thread);
    /* A wake given before the sleep began is dropped here. */
    eventReset(&t->wake);
    eventWait(&t->wake, ms);
}

extern "C" uint32_t TQ_getCurrentThreadId(void)
{
    return static_cast<uint32_t>(gettid());
}

/* ---- Mutexes ---- */

extern "C" intptr_t TQ_mutexCreate(void)
{
    pthread_mutex_t *m = new (std::nothrow) pthread_mutex_t;
    if (m == nullptr)
        return -1;
    if (!initRecursiveMutex(m)) {
        delete m;
        return -1;
    }
    return reinterpret_cast<intptr_t>(m);
}

extern "C" void TQ_mutexDelete(intptr_t mutex)
{
    pthread_mutex_t *m = reinterpret_cast<pthread_mutex_t *>(mutex);
    pthread_mutex_destroy(m);
    delete m;
}

extern "C" void TQ_mutexLock(intptr_t mutex)
{
    pthread_mutex_lock(reinterpret_cast<pthread_mutex_t *>(mutex));
}

extern "C" void TQ_mutexUnlock(intptr_t mutex)
{
    pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t *>(mutex));
}

/* ---- Semaphores ---- */

extern "C" intptr_t TQ_semCreate(void)
{
    Event *e = new (std::nothrow) Event;
    if (e == nullptr)
        return -1;
    if (!eventInit(e)) {
        delete e;
        return -1;
    }
    return reinterpret_cast<intptr_t>(e);
}

extern "C" int TQ_semDelete(intptr_t sem)
{
    Event *e = reinterpret_cast<Event *>(sem);
    eventDestroy(e);
    delete e;
    return 1;
}

extern "C" int TQ_semWait(intptr_t sem, uint32_t timeoutMs)
{
    return eventWait(reinterpret_cast<Event *>(sem), timeoutMs) ? 1 : -1;
}

extern "C" int TQ_semSignal(intptr_t sem)
{
    eventSet(reinterpret_cast<Event *>(sem));
    return 1;
}

/* ---- Process-wide critical section ---- */

extern "C" void TQ_enterCriticalSection(void)
{
    if (s_csReady.load() == 0) {
        /* The first caller makes the lock; everyone waits until it exists. */
        if (s_csInitCount.fetch_add(1) + 1 == 1) {
            initRecursiveMutex(&s_critical);
            s_csReady.fetch_add(1);
        }
        while (s_csReady.load() == 0)
            sched_yield();
    }
    pthread_mutex_lock(&s_critical);
}

extern "C" void TQ_leaveCriticalSection(void)
{
    pthread_mutex_unlock(&s_critical);
}

/* ---- Time ---- */

namespace {
std::atomic<int32_t> s_timeInitCount{0};
std::atomic<bool> s_timeReady{false};
} // namespace

extern "C" void TQ_sleep(uint32_t seconds)
{
    for (uint32_t i = 0; i < seconds; ++i)
        TQ_msleep(1000);
}

extern "C" void TQ_msleep(uint32_t ms)
{
    if (ms == 0) {
        sched_yield();
        return;
    }
    /* An absolute deadline, so a signal that interrupts the sleep does not
     * shorten or lengthen it. */
    timespec deadline = deadlineAfter(ms);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

extern "C" void TQ_usleep(uint32_t us)
{
    TQ_msleep(us / 1000);
}

extern "C" void TQ_initTime(void)
{
    if (s_timeInitCount.fetch_add(1) + 1 != 1)
        return;
    s_timeReady.store(true);
}

extern "C" uint64_t TQ_getTimeMs(void)
{
    if (!s_timeReady.load(std::memory_order_relaxed))
        return 0;
    timespec t;
    if (clock_gettime(CLOCK_MONOTONIC, &t) != 0)
        return TQ_getSystemTime();
    return static_cast<uint64_t>(t.tv_sec) * 1000u + static_cast<uint64_t>(t.tv_nsec) / 1000000u;
}

extern "C" uint64_t TQ_getSystemTime(void)
{
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000u + static_cast<uint64_t>(t.tv_nsec) / 1000000u;
}

extern "C" void TQ_getLocalTime(TQ_LocalTime *time)
{
    time_t now = ::time(nullptr);
    /* A time localtime_r cannot convert leaves the record zeroed rather than
     * filled from uninitialised storage. */
    struct tm local {};
    if (localtime_r(&now, &local) == nullptr)
        local = tm{};
    time->sec = local.tm_sec;
    time->min = local.tm_min;
    time->hour = local.tm_hour;
    time->mday = local.tm_mday;
    time->mon = local.tm_mon;
    time->year = local.tm_year;
    time->wday = local.tm_wday;
    time->yday = local.tm_yday;
}
