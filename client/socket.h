/* The client library's socket calls: the only file of the client library
 * that talks to the operating system is socket.cpp. */
#ifndef TESSARC_CLIENT_SOCKET_H
#define TESSARC_CLIENT_SOCKET_H

#include <stddef.h>
#include <stdint.h>

#include <tessarc/client.h>

namespace tq_client {

/* Monotonic milliseconds. */
uint64_t nowMs();

/* Time limits: the deadline `timeoutMs` from now (negative: none), and the
 * milliseconds left until one (0 once passed, -1 for none), as poll takes
 * them. */
const uint64_t c_noDeadline = UINT64_MAX;
uint64_t deadlineAfter(int timeoutMs);
int msUntil(uint64_t deadline);

/* Resolves "host:port" and connects a TCP stream socket within `timeoutMs`.
 * The descriptor, or -1 with `error` filled in. */
int connectTo(const char *address, int timeoutMs, TQ_ClientError *error);

/* Waits until `fd` is readable: 1 readable (or at its end), 0 time-out,
 * -1 error (errno set). Negative timeoutMs waits without limit. */
int waitReadable(int fd, int timeoutMs);

/* One read of at most `size` bytes: the count, 0 at the end of the stream,
 * -1 on error (errno set). */
long readSome(int fd, void *buffer, size_t size);

/* Writes all `size` bytes, waiting for as long as the peer does not read
 * (also on a non-blocking descriptor): 0, or -1 on error (errno set). Never
 * raises SIGPIPE. */
int writeAll(int fd, const void *bytes, size_t size);

/* Ends the sending direction: 0, or -1 (errno set). */
int shutdownWrite(int fd);

void closeFd(int fd);

/* The system's text for an errno value. */
const char *errnoText(int number, char *buffer, size_t size);

} /* namespace tq_client */

#endif /* TESSARC_CLIENT_SOCKET_H */
