/* Signals, the single-instance lock, service-manager notification and the
 * journal: the only host file that talks to the operating system for these. */
#include "platform.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <systemd/sd-daemon.h>
#include <tessarc/runtime.h>
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

/* ---- Journal ---- */

namespace {

/* Whether the next byte written through journalOutput begins a line. A
 * message's header and body are separate calls, so the prefix goes where a
 * line begins, not where a call begins. Guarded by the lock of stdout. */
bool s_atLineStart = true;

const char *journalPriority(int level)
{
    switch (level) {
    case TQ_LOG_FATAL:
        return SD_CRIT;
    case TQ_LOG_ERROR:
        return SD_ERR;
    case TQ_LOG_WARN:
        return SD_WARNING;
    case TQ_LOG_INFO:
        return SD_INFO;
    default:
        /* Print and any level below it are always written; anything above
         * info is detail. */
        return level > TQ_LOG_INFO ? SD_DEBUG : SD_NOTICE;
    }
}

} /* namespace */

bool standardOutputIsJournal()
{
    const char *stream = getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    char extra = 0;
    struct stat out;
    return stream != nullptr && sscanf(stream, "%llu:%llu%c", &device, &inode, &extra) == 2 &&
           fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == device && out.st_ino == inode;
}

int journalOutput(void *, int level, const char *format, va_list args)
{
    char small[512];
    std::vector<char> large;
    va_list copy;
    va_copy(copy, args);
    int length = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (length < 0)
        return length;
    const char *text = small;
    if (static_cast<size_t>(length) >= sizeof small) {
        large.resize(static_cast<size_t>(length) + 1);
        vsnprintf(large.data(), large.size(), format, args);
        text = large.data();
    }

    const char *priority = journalPriority(level);
    flockfile(stdout);
    for (const char *end = text + length; text < end;) {
        if (s_atLineStart) {
            /* A hex dump puts a carriage return after each line feed; in the
             * journal it would only make the line unreadable. */
            if (*text == '\r') {
                ++text;
                continue;
            }
            fputs_unlocked(priority, stdout);
            s_atLineStart = false;
        }
        const char *lineEnd = static_cast<const char *>(memchr(text, '\n', static_cast<size_t>(end - text)));
        const char *next = lineEnd != nullptr ? lineEnd + 1 : end;
        fwrite_unlocked(text, 1, static_cast<size_t>(next - text), stdout);
        s_atLineStart = lineEnd != nullptr;
        text = next;
    }
    funlockfile(stdout);
    return length;
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
