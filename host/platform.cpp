/* Signals, the single-instance lock and service-manager notification: the
 * only host file that talks to the operating system for these. */
#include "platform.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

/* ---- Stop signals ---- */

namespace {

/* The stop signals are blocked in every thread of the process (threads
 * inherit the mask of the thread that creates them, and the mask is set
 * before any other thread exists) and taken with sigwait by the signal
 * thread alone, so no handler ever runs in an arbitrary thread. */
sigset_t stopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

/* A child process (a module may start programs) begins with the stop
 * signals deliverable again. */
void unblockInChild()
{
    sigset_t set = stopSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void signalThread(TQ_StopRequestFunction onStop)
{
    sigset_t set = stopSignals();
    for (;;) {
        int signo = 0;
        if (sigwait(&set, &signo) == 0)
            onStop();
    }
}

} /* namespace */

bool blockStopSignals()
{
    sigset_t set = stopSignals();
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0)
        return false;
    pthread_atfork(nullptr, nullptr, unblockInChild);

    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    return true;
}

bool startSignalThread(TQ_StopRequestFunction onStop)
{
    try {
        /* Detached: it lives until the process ends. */
        std::thread(signalThread, onStop).detach();
    } catch (const std::exception &) {
        return false;
    }
    return true;
}

/* ---- Single-instance lock ---- */

namespace {

/* The open install root directory while this process holds its lock. */
std::atomic<int> s_lockFd{-1};

} /* namespace */

bool acquireLock(const std::string &root)
{
    int fd = open(root.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY);
    if (fd < 0)
        return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    s_lockFd.store(fd);
    return true;
}

void releaseLock()
{
    int fd = s_lockFd.exchange(-1);
    if (fd >= 0)
        close(fd);
}

/* ---- Service manager ---- */

bool isServiceMode()
{
    const char *socket = getenv("NOTIFY_SOCKET");
    return socket != nullptr && socket[0] != '\0';
}

void notifyServiceManager(const std::string &state)
{
    if (isServiceMode())
        sd_notify(0, state.c_str());
}

/* ---- Descriptor limit ---- */

unsigned long long raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur;
}
