/* Socket calls of the client library: resolving and connecting with a time
 * limit, waiting for input, reading and writing. */
#include "socket.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace tq_client {

uint64_t nowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
}

uint64_t deadlineAfter(int timeoutMs)
{
    return timeoutMs < 0 ? c_noDeadline : nowMs() + (uint64_t)timeoutMs;
}

int msUntil(uint64_t deadline)
{
    if (deadline == c_noDeadline)
        return -1;
    uint64_t now = nowMs();
    return now >= deadline ? 0 : (int)(deadline - now);
}

const char *errnoText(int number, char *buffer, size_t size)
{
    /* GNU strerror_r may return a static text instead of filling buffer. */
    return strerror_r(number, buffer, size);
}

static void fail(TQ_ClientError *error, int code, const std::string &text)
{
    if (error) {
        error->code = code;
        snprintf(error->message, sizeof error->message, "%s", text.c_str());
    }
}

/* Connects `fd` to `addr` within the time left until `deadline`: 0 or -1 with
 * errno set (ETIMEDOUT when the time ran out). */
static int connectWithin(int fd, const struct sockaddr *addr, socklen_t length, uint64_t deadline)
{
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return -1;
    int result = connect(fd, addr, length);
    if (result < 0 && errno == EINPROGRESS) {
        for (;;) {
            int wait = msUntil(deadline);
            if (wait == 0) {
                errno = ETIMEDOUT;
                return -1;
            }
            struct pollfd waiting = {fd, POLLOUT, 0};
            int ready = poll(&waiting, 1, wait);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0)
                return -1;
            if (ready == 0)
                continue;
            int soError = 0;
            socklen_t soLength = sizeof soError;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &soLength) < 0)
                return -1;
            if (soError != 0) {
                errno = soError;
                return -1;
            }
            result = 0;
            break;
        }
    }
    if (result < 0)
        return -1;
    return fcntl(fd, F_SETFL, flags);
}

int connectTo(const char *address, int timeoutMs, TQ_ClientError *error)
{
    std::string text = address ? address : "";
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
        fail(error, TQ_CLIENT_BAD_ARGUMENT, "\"" + text + "\": expected host:port");
        return -1;
    }
    std::string host = text.substr(0, colon), port = text.substr(colon + 1);
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *found = NULL;
    int resolved = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (resolved != 0) {
        fail(error, TQ_CLIENT_BAD_ARGUMENT, "\"" + text + "\": " + gai_strerror(resolved));
        return -1;
    }
    uint64_t deadline = deadlineAfter(timeoutMs);
    int lastErrno = ECONNREFUSED;
    int fd = -1;
    for (struct addrinfo *at = found; at; at = at->ai_next) {
        fd = socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
        if (fd < 0) {
            lastErrno = errno;
            continue;
        }
        if (connectWithin(fd, at->ai_addr, at->ai_addrlen, deadline) == 0)
            break;
        lastErrno = errno;
        close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    if (fd < 0) {
        char buffer[128];
        fail(error, lastErrno == ETIMEDOUT ? TQ_CLIENT_TIMEOUT : TQ_CLIENT_CONNECT,
             "cannot connect to " + text + ": " + errnoText(lastErrno, buffer, sizeof buffer));
        return -1;
    }
    /* Small datasets go out at once; the library batches by itself. */
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

int waitReadable(int fd, int timeoutMs)
{
    uint64_t deadline = deadlineAfter(timeoutMs);
    for (;;) {
        struct pollfd waiting = {fd, POLLIN, 0};
        int ready = poll(&waiting, 1, msUntil(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return -1;
        return ready > 0 ? 1 : 0;
    }
}

long readSome(int fd, void *buffer, size_t size)
{
    for (;;) {
        ssize_t got = recv(fd, buffer, size, 0);
        if (got < 0 && errno == EINTR)
            continue;
        return (long)got;
    }
}

int writeAll(int fd, const void *bytes, size_t size)
{
    const char *at = (const char *)bytes;
    while (size > 0) {
        ssize_t sent = send(fd, at, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            /* A descriptor handed over non-blocking: wait as a blocking
             * socket would while the server is not reading. */
            struct pollfd writable = {fd, POLLOUT, 0};
            if (poll(&writable, 1, -1) < 0 && errno != EINTR)
                return -1;
            continue;
        }
        if (sent < 0)
            return -1;
        at += sent;
        size -= (size_t)sent;
    }
    return 0;
}

int shutdownWrite(int fd)
{
    return shutdown(fd, SHUT_WR);
}

void closeFd(int fd)
{
    if (fd >= 0)
        close(fd);
}

} /* namespace tq_client */
