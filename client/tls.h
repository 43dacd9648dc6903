/* TLS 1.3 under the client library's stream: the handshake, and reading,
 * writing and waiting through the session. Each call takes the session
 * (null: the plain socket calls of socket.h are used as they are) and the
 * socket. The sending side and the receiving side may call at the same time:
 * the session is used under its own lock, and waits for the socket happen
 * outside it. */
#ifndef TESSARC_CLIENT_TLS_H
#define TESSARC_CLIENT_TLS_H

#include <stddef.h>
#include <stdint.h>

#include <tessarc/client.h>

namespace tq_client {

struct Tls;

/* True when `options` ask for TLS (a CA file or a pin is set). */
bool tlsWanted(const TQ_ClientOptions *options);

/* Runs the handshake on the connected socket `fd` before `deadline`: the
 * server's certificate must chain to options->tlsCaFile or match
 * options->tlsPin, and carry options->tlsServerName when set. The session,
 * or null with `error` filled in (the socket stays the caller's). The socket
 * is non-blocking from then on. */
Tls *tlsConnect(int fd, const TQ_ClientOptions *options, uint64_t deadline, TQ_ClientError *error);

/* As waitReadable; decrypted bytes held by the session count as readable. */
int tlsWaitReadable(Tls *tls, int fd, int timeoutMs);
/* As readSome: at least one byte once a whole record is in, 0 at the end,
 * -1 with errno (ETIMEDOUT when a record begun is not complete within 10 s). */
long tlsReadSome(Tls *tls, int fd, void *buffer, size_t size);
/* As writeAll. */
int tlsWriteAll(Tls *tls, int fd, const void *bytes, size_t size);
/* As shutdownWrite, with the end-of-session alert first. */
int tlsShutdownWrite(Tls *tls, int fd);
/* Frees the session; null is ignored. */
void tlsFree(Tls *tls);

} /* namespace tq_client */

#endif /* TESSARC_CLIENT_TLS_H */
