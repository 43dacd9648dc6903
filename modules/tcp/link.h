/* The tcp protocol's link record and data path: one TCP connection as the
 * I/O thread and senders share it, and the functions of link.cpp that move
 * datasets over it (the send queue, writing, framing and reading). Internal
 * to the module. */
#ifndef TESSARC_MODULES_TCP_LINK_H
#define TESSARC_MODULES_TCP_LINK_H

#include "metrics.h"
#include "tcp.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace tcp {

const uint32_t kHelloSize = 16;
/* The rest of a dataset at least this long is read straight into its buffer. */
const uint32_t kDirectReadMin = 16 * 1024;
/* Datasets written per system call at most: the system's limit of 1024
 * (IOV_MAX). Each call pushes its bytes through the loopback or network
 * stack and may wake the reader, so a queue of small datasets written in
 * fewer, larger calls costs the I/O thread much less per dataset. */
const int kMaxIov = 1024;
/* Datasets up to this long are staged for writing (see flush), in a stage
 * of this size. */
const size_t kStagedMax = 512;
const size_t kWriteStageSize = 64 * 1024;
const int kReadRounds = 8;
const uint32_t kMaxQueuedDatasets = 1u << 20;
/* Shed datasets are reported at most this often per link. */
const uint64_t kShedReportMs = 1000;

enum class Phase { Connecting, Hello, Open, Closing, Dead };

struct Connector;
struct TlsSession;

/* What an epoll entry points to. */
struct Watched {
    enum Kind { Wake, Listener, LinkKind } kind;
};

/* One TCP connection. */
struct Link : Watched {
    TQ_Connection conn;
    char name[96];
    int fd = -1;
    bool outgoing = false;
    bool forServer = false;
    Connector *connector = nullptr;
    TlsSession *tls = nullptr; /* the TLS session of a link that requires TLS (tls.h) */
    LinkCounters counters;     /* set when the link is made */

    /* I/O thread only. */
    Phase phase = Phase::Connecting;
    bool added = false;       /* given to addConnection */
    bool invalidated = false; /* invalidated by the transport */
    bool destroySeen = false;
    bool shut = false; /* write side shut after the last flush */
    bool epollOut = false;
    bool inPeerTable = false;
    bool waiting = false;  /* hello done; held unread while the peer is linked */
    std::string early;     /* bytes read behind the hello of a waiting link */
    uint64_t deadline = 0; /* connect, hello or close limit; 0 none */
    uint64_t openedAt = 0;
    uint64_t handshakeFrom = 0; /* accepted, dialled or promoted; 0 once the server has a node */
    TQ_Uuid peer{};
    uint8_t hello[kHelloSize];
    uint32_t helloGot = 0;
    uint8_t head[sizeof(TQ_DatasetHeader)];
    uint32_t headGot = 0;
    TQ_Buffer *partial = nullptr; /* a dataset being read */
    uint32_t partialGot = 0;
    /* Flow control: a link whose datasets were sent to a congested link
     * during a read stops reading (readPaused) until every congested link
     * it waits on (blockers) has drained or sheds. */
    bool readPaused = false;
    std::vector<Link *> blockers;
    uint64_t pauses = 0;       /* times its reading was paused */
    uint64_t stalls = 0;       /* times it began to shed */
    uint64_t shedReported = 0; /* part of shedTotal already logged */
    uint64_t shedReportedAt = 0;

    /* Shared with senders, under mutex. */
    std::mutex mutex;
    std::vector<TQ_Buffer *> ring; /* queued datasets, a power-of-two ring */
    size_t ringHead = 0, ringCount = 0;
    uint32_t headOffset = 0; /* bytes of the first one already written */
    uint64_t queuedBytes = 0;
    uint64_t progressAt = 0; /* data waiting or last written */
    bool sendClosed = false, flushPending = false, overflow = false;
    bool closeRequested = false, destroyed = false;
    bool congested = false;   /* queue reached highWater and has not fallen under lowWater */
    bool shedding = false;    /* congested without progress for stallLimit: sheds what it may */
    uint64_t shedTotal = 0;   /* datasets shed over the link's life */
    uint64_t stalledFrom = 0; /* last progress before the stall it sheds in; 0 when not stalled */

    std::atomic<bool> closing{false}; /* close or destroy asked: deliver no more */
    std::atomic<bool> posted{false};  /* in the attention list */
};

/* Monotonic milliseconds. */
inline uint64_t now()
{
    return TQ_getTimeMs();
}

/* The link behind a connection the module made. */
inline Link *linkOf(TQ_Connection *connection)
{
    return static_cast<Link *>(connection->moduleData);
}

/* ---- link.cpp: datasets over one link ---- */

/* The connection's send: queues the dataset with one reference taken. A
 * service dataset without the reliable flag is shed (counted) instead while
 * the link sheds or when it would pass the cap; any other dataset that
 * would pass the cap marks the link for disconnection. Sent during the read
 * of another link on the I/O thread to a congested link, it makes the
 * reader wait. Never waits on the network. Any thread. */
void connectionSend(TQ_Connection *connection, TQ_Buffer *dataset);
/* Releases every queued dataset and refuses later sends. Any thread. */
void dropQueue(Link *link);
/* Changes the link's epoll interest; `add` registers a link that is not
 * watched yet. I/O thread. */
void setEvents(Link *link, uint32_t events, bool add = false);
/* Starts an orderly close: nothing more is delivered, what is queued is
 * written, then the write side is shut; the link ends at the peer's end of
 * stream or after closeTimeoutMs. A link not yet open ends at once. I/O
 * thread. */
void beginClose(Link *link);
/* Writes as much of the queue as the socket takes, many datasets per
 * system call, and keeps the epoll interest in writing up to date. I/O
 * thread. */
void flush(Link *link);
/* Cuts `count` received bytes into the hello and datasets, delivering each
 * complete dataset. False when the link no longer reads. I/O thread. */
bool consume(Link *link, const uint8_t *data, size_t count);
/* Reads what the socket holds (a bounded number of rounds) and consumes it;
 * stops, with reading paused, after a round whose datasets went to a
 * congested link. I/O thread. */
void readable(Link *link);
/* The link's periodic flow check at time `t`: a congested link without
 * write progress for stallLimit starts to shed and lets its waiters read
 * (a client under slowClient "disconnect" is closed), and shed datasets are
 * reported. May end the link. I/O thread. */
void flowTick(Link *link, uint64_t t);
/* The link is ending: its waiters read again and what it shed unreported
 * is logged. I/O thread. */
void flowEnded(Link *link);

} /* namespace tcp */

#endif /* TESSARC_MODULES_TCP_LINK_H */
