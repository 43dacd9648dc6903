/* TLS on the tcp protocol's links: TLS 1.3 only, both ends authenticated on
 * server links. The settings say which listen addresses and peers require
 * it; transport.cpp and link.cpp call in here only where a link is accepted,
 * dialled or closed and where bytes cross the socket, so a link without TLS
 * takes exactly the plain path. Everything here runs on the I/O thread,
 * except readTlsSettings and tlsStart (start-up thread). Internal to the
 * module. */
#ifndef TESSARC_MODULES_TCP_TLS_H
#define TESSARC_MODULES_TCP_TLS_H

#include "tcp.h"

#include <sys/types.h>
#include <sys/uio.h>

namespace tcp {

struct Link;

/* Which address list an address comes from. */
enum class AddressKind { Listen, ClientListen, Peer };

/* Reads the TLS settings of `group`: the group's default `tls`, the per
 * address `tls` (and a peer's `serverName`) of address entries written as
 * groups, the certificate chain, key, CA file, pins and whether clients must
 * present a certificate. Throws std::runtime_error naming the setting on a
 * wrong type or value. Start-up thread only. */
void readTlsSettings(const libconfig::Setting &group);
/* Loads the certificate chain and key (once; the key file must not be
 * readable by group or others) and the trust settings, when any address
 * requires TLS. 1, or -1 with the reason logged. Start-up thread only. */
int tlsStart(TQ_Logger *log);
/* Frees the contexts tlsStart made. Call after every link is gone. */
void tlsStop();
/* True when `address` of that list requires TLS. */
bool tlsRequired(AddressKind kind, const std::string &address);

/* Gives `link` (its socket made, not yet linked) a TLS session: the accepting
 * side when `accepting`, else the dialling side towards `address`. The
 * handshake is then stepped by tlsHandshake. False (the link dead) when no
 * session can be made. */
bool tlsAttach(Link *link, bool accepting, const std::string &address);
/* One non-blocking step of the handshake: 1 done, 0 waiting for the socket
 * (the link's epoll interest set for it), -1 failed (the link closed with a
 * line naming it and the library's reason). */
int tlsHandshake(Link *link);
/* As recv into `buffer`: the count, 0 at the peer's end, -1 with errno
 * (EAGAIN when nothing is there). The session reads its socket ahead, so
 * bytes may wait in it with the socket empty: tlsReadLater finds them. A
 * TLS failure closes the link first, with its reason. */
ssize_t tlsRead(Link *link, void *buffer, size_t size);
/* As sendmsg of `iov`: the bytes taken, fewer than offered once the socket
 * is full, -1 with errno. Small pieces are gathered into large records; a
 * call that took nothing is repeated with the same leading bytes. Records
 * the socket did not take yet wait in the session (see tlsSent) and leave
 * before any others. A TLS failure closes the link first, with its reason. */
ssize_t tlsWritev(Link *link, const iovec *iov, int count);
/* True when no records of the link wait for its socket; those waiting are
 * written first, as far as the socket takes them. True without TLS. */
bool tlsSent(Link *link);
/* Sends the end-of-session alert ahead of the socket's write shutdown. */
void tlsShutdown(Link *link);
/* Frees the link's session, if any. */
void tlsFree(Link *link);
/* After readable stopped at its round limit, a pause ended or the
 * handshake finished: a link whose bytes wait in the session (no socket
 * readiness would report them) is read again before the I/O thread sleeps. */
void tlsReadLater(Link *link);
/* True while links wait to be read again; the I/O thread then does not sleep. */
bool tlsReadsWaiting();
/* Reads the links that wait to be read again. */
void tlsRunReads();

} /* namespace tcp */

#endif /* TESSARC_MODULES_TCP_TLS_H */
