/* Signals, the single-instance lock and service-manager notification: the
 * only host file that talks to the operating system for these. */
#include "platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

/* ---- Stop signals ---- */

namespace {

/* The self-pipe between the signal handler and the signal thread: the
 * handler writes one byte per signal, the thread reads them. */
int s_wakeRead = -1;
int s_wakeWrite = -1;

void onSignal(int signo) {
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(signo);
    /* A full pipe already holds more pending stops than anyone needs. */
    ssize_t ignored = write(s_wakeWrite, &byte, 1);
    (void)ignored;
    errno = saved;
}

void signalThread(TQ_StopRequestFunction onStop) {
    for (;;) {
        unsigned char byte;
        ssize_t n = read(s_wakeRead, &byte, 1);
        if (n == 1) {
            onStop();
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return;
        }
    }
}

} /* namespace */

bool installSignalHandlers() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    s_wakeRead = fds[0];
    s_wakeWrite = fds[1];
    /* The handler must never block, even with many signals pending. */
    fcntl(s_wakeWrite, F_SETFL, fcntl(s_wakeWrite, F_GETFL) | O_NONBLOCK);

    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);

    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    return true;
}

bool startSignalThread(TQ_StopRequestFunction onStop) {
    if (s_wakeRead < 0)
        return false;
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

bool acquireLock(const std::string &root) {
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

void releaseLock() {
    int fd = s_lockFd.exchange(-1);
    if (fd >= 0)
        close(fd);
}

/* ---- Service manager ---- */

bool isServiceMode() {
    const char *socket = getenv("NOTIFY_SOCKET");
    return socket != nullptr && socket[0] != '\0';
}

void notifyServiceManager(const std::string &state) {
    if (isServiceMode())
        sd_notify(0, state.c_str());
}
