/* The tcp protocol's transport: one I/O thread on an epoll set listens,
 * accepts, dials server peers, frames datasets in both directions and closes
 * links. Every link's state belongs to that thread, except its send queue,
 * which senders on any thread fill under the link's mutex, and the requests
 * (close, destroy, flush, overflow) they post to the thread.
 *
 * Server links start with a 16-byte hello each way ("TQT1" and the sender's
 * node identifier), so both ends know the peer before the server sees the
 * link. When a second link joins the same pair of servers, the server whose
 * identifier orders first decides alone: it keeps the link it has and closes
 * the newcomer. The other server holds a newcomer unread ("waiting") and
 * hands it to the server only if the kept link ends, so both ends agree and
 * a working link is never replaced. Client links carry datasets from the
 * first byte. */
#include "tcp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tcp {

namespace {

const uint32_t kHelloSize = 16;
const uint8_t kHelloMagic[4] = {'T', 'Q', 'T', '1'};
const size_t kReadBufferSize = 256 * 1024;
/* The rest of a dataset at least this long is read straight into its buffer. */
const uint32_t kDirectReadMin = 16 * 1024;
const int kMaxIov = 64;
const int kReadRounds = 8;
const uint32_t kTickMs = 100;
/* A dialled link that lasted this long resets its connector's delay. */
const uint64_t kStableLinkMs = 5000;
const uint32_t kMaxQueuedDatasets = 1u << 20;

enum class Phase { Connecting, Hello, Open, Closing, Dead };

struct Connector;

/* What an epoll entry points to. */
struct Watched {
    enum Kind { Wake, Listener, LinkKind } kind;
};

struct ListenSocket : Watched {
    int fd;
    bool forServers;
};

/* One TCP connection. */
struct Link : Watched {
    TQ_Connection conn;
    char name[96];
    int fd = -1;
    bool outgoing = false;
    bool forServer = false;
    Connector *connector = nullptr;

    /* I/O thread only. */
    Phase phase = Phase::Connecting;
    bool added = false;       /* given to addConnection */
    bool invalidated = false; /* invalidated by the transport */
    bool destroySeen = false;
    bool shut = false;        /* write side shut after the last flush */
    bool epollOut = false;
    bool inPeerTable = false;
    bool waiting = false;     /* hello done; held unread while the peer is linked */
    std::string early;        /* bytes read behind the hello of a waiting link */
    uint64_t deadline = 0;    /* connect, hello or close limit; 0 none */
    uint64_t openedAt = 0;
    TQ_Uuid peer{};
    uint8_t hello[kHelloSize];
    uint32_t helloGot = 0;
    uint8_t head[sizeof(TQ_DatasetHeader)];
    uint32_t headGot = 0;
    TQ_Buffer *partial = nullptr; /* a dataset being read */
    uint32_t partialGot = 0;

    /* Shared with senders, under mutex. */
    std::mutex mutex;
    std::vector<TQ_Buffer *> ring; /* queued datasets, a power-of-two ring */
    size_t ringHead = 0, ringCount = 0;
    uint32_t headOffset = 0;       /* bytes of the first one already written */
    uint64_t queuedBytes = 0;
    uint64_t progressAt = 0;       /* data waiting or last written */
    bool sendClosed = false, flushPending = false, overflow = false;
    bool closeRequested = false, destroyed = false;

    std::atomic<bool> closing{false}; /* close or destroy asked: deliver no more */
    std::atomic<bool> posted{false};  /* in the attention list */
};

/* A server peer to dial and keep linked. */
struct Connector {
    std::string address;
    Link *link = nullptr;
    uint64_t nextAttempt = 0; /* 0: not scheduled */
    uint32_t delayMs = 0;
    bool knowsPeer = false;   /* the peer's identifier, learnt from its hello */
    TQ_Uuid peer{};
    bool parked = false;      /* linked to that peer through another link */
    bool self = false;        /* the address leads to this server */
};

struct Transport {
    Settings settings;
    TQ_Server_ProtocolCallbacks *cb = nullptr;
    TQ_Logger *log = nullptr;
    TQ_Interface iface{};
    TQ_Uuid own{};
    int epfd = -1;
    int wakefd = -1;
    Watched wake{Watched::Wake};
    std::thread thread;
    bool started = false;

    /* I/O thread only (and destroy, after the thread has ended). */
    std::vector<ListenSocket *> listeners;
    std::vector<Connector *> connectors;
    std::vector<Link *> links;
    std::vector<Link *> batch;
    uint8_t *readBuffer = nullptr;
    uint64_t nextTick = 0;
    bool stopping = false;

    /* Posted links, under attentionMutex. */
    std::mutex attentionMutex;
    std::vector<Link *> attention;

    /* Stop and quit requests, under controlMutex. */
    std::mutex controlMutex;
    std::condition_variable controlCv;
    bool stopRequested = false, stopDone = false, quit = false;
};

Transport s_t;
thread_local bool t_onLoop = false;

const TQ_InterfaceOps s_ifaceOps = {nullptr, nullptr, [](TQ_Interface *) {}};

uint64_t now() { return TQ_getTimeMs(); }

bool uuidEqual(const TQ_Uuid &a, const TQ_Uuid &b) { return memcmp(&a, &b, sizeof a) == 0; }

const char *errorText(int error, char *buf, size_t size)
{
    if (TQ_systemErrorToString(error, buf, size) == 0)
        snprintf(buf, size, "error %d", error);
    return buf;
}

/* ---- Requests to the I/O thread ---- */

void wakeLoop()
{
    uint64_t one = 1;
    ssize_t ignored = write(s_t.wakefd, &one, sizeof one);
    (void)ignored;
}

/* Puts the link in the attention list once; the I/O thread handles its
 * flags before it waits again. */
void post(Link *link)
{
    if (link->posted.exchange(true))
        return;
    bool wasEmpty;
    {
        std::lock_guard<std::mutex> lock(s_t.attentionMutex);
        wasEmpty = s_t.attention.empty();
        s_t.attention.push_back(link);
    }
    if (wasEmpty && !t_onLoop)
        wakeLoop();
}

Link *linkOf(TQ_Connection *connection) { return static_cast<Link *>(connection->moduleData); }

void connectionClose(TQ_Connection *connection)
{
    Link *link = linkOf(connection);
    {
        std::lock_guard<std::mutex> lock(link->mutex);
        link->closeRequested = true;
    }
    link->closing.store(true);
    post(link);
}

void connectionDestroy(TQ_Connection *connection)
{
    Link *link = linkOf(connection);
    {
        std::lock_guard<std::mutex> lock(link->mutex);
        link->destroyed = true;
    }
    link->closing.store(true);
    post(link);
}

const TQ_ConnectionOps s_connOps = {nullptr, nullptr, connectionClose, connectionDestroy};

/* ---- Send queue ---- */

uint32_t datasetLength(const TQ_Buffer *dataset)
{
    uint32_t length;
    memcpy(&length, dataset->first.data, sizeof length);
    return length;
}

/* Queues the dataset (one reference taken) for the I/O thread to write.
 * Never blocks on the network: a queue over its bound marks the link for
 * disconnection instead. Any thread. */
void connectionSend(TQ_Connection *connection, TQ_Buffer *dataset)
{
    Link *link = linkOf(connection);
    uint32_t length = dataset->first.length >= sizeof(TQ_DatasetHeader) ? datasetLength(dataset) : 0;
    if (length < sizeof(TQ_DatasetHeader) || length > dataset->size || length > dataset->first.length) {
        TQ_log(s_t.log, TQ_LOG_ERROR, "tcp: connection %s: not sending a dataset of length %u in a buffer of %u bytes\n",
               link->name, length, dataset->size);
        return;
    }
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(link->mutex);
        if (link->sendClosed || link->overflow)
            return;
        if (link->queuedBytes + length > s_t.settings.sendQueueBytes || link->ringCount >= kMaxQueuedDatasets) {
            link->overflow = true;
            wake = true;
        } else {
            if (link->ringCount == link->ring.size()) {
                std::vector<TQ_Buffer *> grown(std::max<size_t>(16, link->ring.size() * 2));
                for (size_t i = 0; i < link->ringCount; ++i)
                    grown[i] = link->ring[(link->ringHead + i) & (link->ring.size() - 1)];
                link->ring.swap(grown);
                link->ringHead = 0;
            }
            if (link->ringCount == 0)
                link->progressAt = now();
            link->ring[(link->ringHead + link->ringCount) & (link->ring.size() - 1)] = TQ_bufferAcquire(dataset);
            ++link->ringCount;
            link->queuedBytes += length;
            if (!link->flushPending) {
                link->flushPending = true;
                wake = true;
            }
        }
    }
    if (wake)
        post(link);
}

/* Releases every queued dataset and refuses later sends. */
void dropQueue(Link *link)
{
    std::lock_guard<std::mutex> lock(link->mutex);
    link->sendClosed = true;
    while (link->ringCount > 0) {
        TQ_bufferRelease(link->ring[link->ringHead]);
        link->ringHead = (link->ringHead + 1) & (link->ring.size() - 1);
        --link->ringCount;
    }
    link->queuedBytes = 0;
    link->headOffset = 0;
}

/* ---- Link teardown ---- */

void setEvents(Link *link, uint32_t events)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = static_cast<Watched *>(link);
    epoll_ctl(s_t.epfd, EPOLL_CTL_MOD, link->fd, &ev);
}

void scheduleConnector(Connector *connector, uint32_t delayMs)
{
    /* Between three quarters and five quarters of the delay, so two servers
     * that dial each other drift apart. */
    uint32_t jittered = delayMs / 4 * 3 + (delayMs >= 2 ? TQ_randUint32() % (delayMs / 2) : 0);
    connector->nextAttempt = now() + jittered;
}

void unparkConnectors(const TQ_Uuid &peer)
{
    for (Connector *connector : s_t.connectors) {
        if (connector->parked && uuidEqual(connector->peer, peer)) {
            connector->parked = false;
            connector->delayMs = s_t.settings.reconnectMinMs;
            if (!s_t.stopping)
                scheduleConnector(connector, s_t.settings.reconnectMinMs);
        }
    }
}

/* Asks the I/O thread to hand a link waiting for `peer` to the server in
 * place of the link that ended (see handleAttention). True when there is
 * one. */
bool promoteWaiting(const TQ_Uuid &peer)
{
    for (Link *link : s_t.links) {
        if (link->waiting && link->phase == Phase::Hello && uuidEqual(link->peer, peer)) {
            post(link);
            return true;
        }
    }
    return false;
}

/* Ends the socket side of the link: no more reads or writes, queued
 * datasets released, the connection invalidated if the server has it. The
 * record is freed later, by the attention step (reap). `parkConnector`:
 * the link gave way to another link to the same server. */
void die(Link *link, int level, const char *why, bool parkConnector = false)
{
    if (link->phase == Phase::Dead)
        return;
    if (why != nullptr)
        TQ_log(s_t.log, level, "tcp: connection %s closed: %s\n", link->name, why);
    epoll_ctl(s_t.epfd, EPOLL_CTL_DEL, link->fd, nullptr);
    close(link->fd);
    link->fd = -1;
    link->phase = Phase::Dead;
    dropQueue(link);
    if (link->partial != nullptr) {
        TQ_bufferFree(link->partial);
        link->partial = nullptr;
    }
    if (link->inPeerTable) {
        link->inPeerTable = false;
        if (!promoteWaiting(link->peer))
            unparkConnectors(link->peer);
    }
    if (Connector *connector = link->connector) {
        link->connector = nullptr;
        connector->link = nullptr;
        if (parkConnector || link->waiting) {
            connector->parked = true;
        } else if (!s_t.stopping && !connector->self) {
            if (link->added && now() - link->openedAt >= kStableLinkMs)
                connector->delayMs = s_t.settings.reconnectMinMs;
            scheduleConnector(connector, connector->delayMs);
            TQ_log(s_t.log, TQ_LOG_INFO, "tcp: reconnecting to %s in about %u ms\n", connector->address.c_str(),
                   connector->delayMs);
            connector->delayMs = std::min(connector->delayMs * 2, s_t.settings.reconnectMaxMs);
        }
    }
    if (link->added && !link->invalidated) {
        link->invalidated = true;
        TQ_connectionInvalidate(&link->conn);
    }
    post(link);
}

void dieErrno(Link *link, int error)
{
    char text[128];
    die(link, TQ_LOG_INFO, errorText(error, text, sizeof text));
}

/* Frees a dead link that the server no longer holds: removeConnection
 * first for one it was given. True when freed. */
bool reap(Link *link)
{
    if (link->phase != Phase::Dead || link->posted.load())
        return false;
    if (link->added) {
        bool destroyed;
        {
            std::lock_guard<std::mutex> lock(link->mutex);
            destroyed = link->destroyed;
        }
        if (!destroyed)
            return false;
        s_t.cb->removeConnection(&link->conn);
        TQ_connectionDestroy(&link->conn);
    }
    s_t.links.erase(std::find(s_t.links.begin(), s_t.links.end(), link));
    delete link;
    return true;
}

/* Starts an orderly close: nothing more is delivered, what is queued is
 * written, then the write side is shut and the link ends at the peer's end
 * of stream or after closeTimeoutMs. */
void beginClose(Link *link)
{
    if (link->phase == Phase::Connecting || link->phase == Phase::Hello) {
        die(link, TQ_LOG_INFO, "closed before it opened");
        return;
    }
    if (link->phase != Phase::Open)
        return;
    link->phase = Phase::Closing;
    link->closing.store(true);
    link->deadline = now() + s_t.settings.closeTimeoutMs;
    bool empty;
    {
        std::lock_guard<std::mutex> lock(link->mutex);
        empty = link->ringCount == 0;
    }
    if (empty) {
        shutdown(link->fd, SHUT_WR);
        link->shut = true;
        std::lock_guard<std::mutex> lock(link->mutex);
        link->sendClosed = true;
    }
}

/* ---- Writing ---- */

/* Writes as much of the queue as the socket takes, many datasets per
 * system call. */
void flush(Link *link)
{
    if (link->phase != Phase::Open && link->phase != Phase::Closing)
        return;
    for (;;) {
        iovec iov[kMaxIov];
        int count = 0;
        size_t total = 0;
        {
            std::lock_guard<std::mutex> lock(link->mutex);
            size_t mask = link->ring.size() - 1;
            for (size_t i = 0; i < link->ringCount && count < kMaxIov; ++i) {
                TQ_Buffer *dataset = link->ring[(link->ringHead + i) & mask];
                uint32_t skip = i == 0 ? link->headOffset : 0;
                iov[count].iov_base = dataset->first.data + skip;
                iov[count].iov_len = datasetLength(dataset) - skip;
                total += iov[count].iov_len;
                ++count;
            }
            if (count == 0)
                link->flushPending = false;
        }
        if (count == 0)
            break;
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = count;
        ssize_t written = sendmsg(link->fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            dieErrno(link, errno);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(link->mutex);
            size_t left = static_cast<size_t>(written);
            size_t mask = link->ring.size() - 1;
            link->queuedBytes -= left;
            link->progressAt = now();
            while (left > 0) {
                TQ_Buffer *dataset = link->ring[link->ringHead];
                size_t rest = datasetLength(dataset) - link->headOffset;
                if (left < rest) {
                    link->headOffset += static_cast<uint32_t>(left);
                    break;
                }
                left -= rest;
                link->headOffset = 0;
                TQ_bufferRelease(dataset);
                link->ringHead = (link->ringHead + 1) & mask;
                --link->ringCount;
            }
        }
        if (static_cast<size_t>(written) < total)
            break;
    }
    bool empty;
    {
        std::lock_guard<std::mutex> lock(link->mutex);
        empty = link->ringCount == 0;
    }
    if (empty == link->epollOut) {
        link->epollOut = !empty;
        setEvents(link, EPOLLIN | (empty ? 0u : static_cast<uint32_t>(EPOLLOUT)));
    }
    if (empty && link->phase == Phase::Closing && !link->shut) {
        shutdown(link->fd, SHUT_WR);
        link->shut = true;
        std::lock_guard<std::mutex> lock(link->mutex);
        link->sendClosed = true;
    }
}

/* ---- Opening links ---- */

void addToServer(Link *link)
{
    TQ_connectionInit(&link->conn, &s_t.iface);
    link->conn.ops = &s_connOps;
    link->conn.send = connectionSend;
    link->conn.name = link->name;
    link->conn.isServer = link->forServer ? 1 : 0;
    link->conn.moduleData = link;
    link->added = true;
    link->phase = Phase::Open;
    link->deadline = 0;
    link->openedAt = now();
    s_t.cb->addConnection(&link->conn);
}

bool sendHello(Link *link)
{
    uint8_t hello[kHelloSize];
    memcpy(hello, kHelloMagic, sizeof kHelloMagic);
    memcpy(hello + sizeof kHelloMagic, &s_t.own, sizeof s_t.own);
    return send(link->fd, hello, sizeof hello, MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(sizeof hello);
}

bool consume(Link *link, const uint8_t *data, size_t count);

bool peerLinked(const TQ_Uuid &peer)
{
    for (Link *link : s_t.links) {
        if (link->inPeerTable && uuidEqual(link->peer, peer))
            return true;
    }
    return false;
}

/* The peer's hello is complete: refuse a wrong one or a link to this very
 * server, settle a second link to the same server, then open the link.
 * `rest`: bytes read behind the hello, kept for a link that waits. False
 * when the link is not opened. */
bool helloDone(Link *link, const uint8_t *rest, size_t restCount)
{
    if (memcmp(link->hello, kHelloMagic, sizeof kHelloMagic) != 0) {
        die(link, TQ_LOG_ERROR, "the peer is not a tcp server link");
        return false;
    }
    memcpy(&link->peer, link->hello + sizeof kHelloMagic, sizeof link->peer);
    if (uuidEqual(link->peer, s_t.own)) {
        if (link->connector != nullptr)
            link->connector->self = true;
        die(link, TQ_LOG_WARN, "it leads to this server itself; not dialling it again");
        return false;
    }
    if (link->connector != nullptr) {
        link->connector->knowsPeer = true;
        link->connector->peer = link->peer;
    }
    if (peerLinked(link->peer)) {
        if (memcmp(&s_t.own, &link->peer, sizeof(TQ_Uuid)) < 0) {
            die(link, TQ_LOG_INFO, "the server is already linked; keeping that link", true);
            return false;
        }
        link->waiting = true;
        link->deadline = 0;
        link->early.assign(reinterpret_cast<const char *>(rest), restCount);
        setEvents(link, EPOLLRDHUP);
        TQ_log(s_t.log, TQ_LOG_INFO, "tcp: connection %s waits: the server is already linked\n", link->name);
        return false;
    }
    link->inPeerTable = true;
    TQ_log(s_t.log, TQ_LOG_INFO, "tcp: connection %s is open\n", link->name);
    addToServer(link);
    return true;
}

/* Hands a waiting link to the server once its peer has no other link. */
void promote(Link *link)
{
    if (peerLinked(link->peer))
        return;
    link->waiting = false;
    link->inPeerTable = true;
    TQ_log(s_t.log, TQ_LOG_INFO, "tcp: connection %s is open in place of the link that ended\n", link->name);
    addToServer(link);
    setEvents(link, EPOLLIN);
    std::string early;
    early.swap(link->early);
    consume(link, reinterpret_cast<const uint8_t *>(early.data()), early.size());
}

Link *newLink(int fd, bool outgoing, bool forServer, const sockaddr_in &address)
{
    Link *link = new Link();
    link->kind = Watched::LinkKind;
    link->fd = fd;
    link->outgoing = outgoing;
    link->forServer = forServer;
    char ip[16] = "?";
    TQ_ipToString(ntohl(address.sin_addr.s_addr), ip, sizeof ip);
    snprintf(link->name, sizeof link->name, "%s %s:%u%s", forServer ? "server" : "client", ip,
             static_cast<unsigned>(ntohs(address.sin_port)), outgoing ? " (dialled)" : "");
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (forServer) {
        /* A server link whose peer vanished without a word is found within
         * about 25 s, so a waiting link does not wait on it forever. */
        int idle = 10, interval = 5, count = 3;
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    }
    s_t.links.push_back(link);
    return link;
}

void watch(Link *link, uint32_t events)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = static_cast<Watched *>(link);
    epoll_ctl(s_t.epfd, EPOLL_CTL_ADD, link->fd, &ev);
}

void acceptAll(ListenSocket *listener)
{
    for (;;) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        int fd = accept4(listener->fd, reinterpret_cast<sockaddr *>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                char text[128];
                TQ_log(s_t.log, TQ_LOG_ERROR, "tcp: accepting failed: %s\n", errorText(errno, text, sizeof text));
            }
            return;
        }
        if (s_t.stopping) {
            close(fd);
            continue;
        }
        Link *link = newLink(fd, false, listener->forServers, address);
        watch(link, EPOLLIN);
        TQ_log(s_t.log, TQ_LOG_INFO, "tcp: accepted %s\n", link->name);
        if (!listener->forServers) {
            addToServer(link);
        } else if (sendHello(link)) {
            link->phase = Phase::Hello;
            link->deadline = now() + s_t.settings.connectTimeoutMs;
        } else {
            dieErrno(link, errno);
        }
    }
}

void dial(Connector *connector)
{
    connector->nextAttempt = 0;
    if (connector->knowsPeer) {
        for (Link *link : s_t.links) {
            if (link->inPeerTable && uuidEqual(link->peer, connector->peer)) {
                connector->parked = true;
                return;
            }
        }
    }
    uint32_t ip = 0;
    uint16_t port = 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    int fd = -1;
    if (TQ_parseAddrAndPort(connector->address.c_str(), &ip, &port) == 1 && port != 0)
        fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    address.sin_addr.s_addr = htonl(ip);
    address.sin_port = htons(port);
    if (fd < 0) {
        TQ_log(s_t.log, TQ_LOG_ERROR, "tcp: cannot dial %s: not an address or no socket\n", connector->address.c_str());
        scheduleConnector(connector, s_t.settings.reconnectMaxMs);
        return;
    }
    Link *link = newLink(fd, true, true, address);
    link->connector = connector;
    connector->link = link;
    link->deadline = now() + s_t.settings.connectTimeoutMs;
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
        watch(link, EPOLLIN);
        dieErrno(link, errno);
        return;
    }
    watch(link, EPOLLOUT);
}

void connected(Link *link)
{
    int error = TQ_socketGetLastError(link->fd);
    if (error != 0) {
        dieErrno(link, error);
        return;
    }
    if (!sendHello(link)) {
        dieErrno(link, errno);
        return;
    }
    link->phase = Phase::Hello;
    link->deadline = now() + s_t.settings.connectTimeoutMs;
    setEvents(link, EPOLLIN);
}

/* ---- Reading ---- */

/* A length outside 8 to sizeLimit means the stream cannot be framed any
 * more: the link is closed after what is queued for it has been sent. */
bool lengthAcceptable(Link *link, uint32_t length)
{
    if (length < sizeof(TQ_DatasetHeader)) {
        TQ_log(s_t.log, TQ_LOG_ERROR,
               "tcp: connection %s: dataset length %u is shorter than the 8-byte header; closing\n", link->name,
               length);
        beginClose(link);
        return false;
    }
    if (length > s_t.cb->sizeLimit) {
        TQ_log(s_t.log, TQ_LOG_ERROR, "tcp: connection %s: dataset length %u is over the limit of %lu bytes; closing\n",
               link->name, length, static_cast<unsigned long>(s_t.cb->sizeLimit));
        beginClose(link);
        return false;
    }
    return true;
}

TQ_Buffer *allocate(Link *link, uint32_t length)
{
    TQ_Buffer *dataset = s_t.cb->allocator->allocBuffer(s_t.cb->allocator, length);
    if (dataset == nullptr)
        die(link, TQ_LOG_ERROR, "no memory for a received dataset");
    return dataset;
}

void deliver(Link *link, TQ_Buffer *dataset)
{
    TQ_bufferAcquire(dataset);
    if (!link->closing.load(std::memory_order_relaxed))
        s_t.cb->receive(&link->conn, dataset);
    TQ_bufferRelease(dataset);
}

/* Frames `count` received bytes into datasets and delivers each complete
 * one; a dataset that is not complete yet is kept in the link. False when
 * the link is no longer open for reading. */
bool consume(Link *link, const uint8_t *data, size_t count)
{
    const size_t headSize = sizeof(TQ_DatasetHeader);
    while (count > 0) {
        if (link->phase == Phase::Hello) {
            size_t take = std::min<size_t>(kHelloSize - link->helloGot, count);
            memcpy(link->hello + link->helloGot, data, take);
            link->helloGot += static_cast<uint32_t>(take);
            data += take;
            count -= take;
            if (link->helloGot == kHelloSize && !helloDone(link, data, count))
                return false;
            continue;
        }
        if (link->phase == Phase::Closing)
            return true; /* read and dropped until the peer's end */
        if (link->phase != Phase::Open)
            return false;
        if (link->partial != nullptr) {
            uint32_t length = link->partial->size;
            size_t take = std::min<size_t>(length - link->partialGot, count);
            memcpy(link->partial->first.data + link->partialGot, data, take);
            link->partialGot += static_cast<uint32_t>(take);
            data += take;
            count -= take;
            if (link->partialGot == length) {
                TQ_Buffer *dataset = link->partial;
                link->partial = nullptr;
                deliver(link, dataset);
            }
            continue;
        }
        if (link->headGot > 0 || count < headSize) {
            size_t take = std::min<size_t>(headSize - link->headGot, count);
            memcpy(link->head + link->headGot, data, take);
            link->headGot += static_cast<uint32_t>(take);
            data += take;
            count -= take;
            if (link->headGot < headSize)
                return true;
            link->headGot = 0;
            uint32_t length;
            memcpy(&length, link->head, sizeof length);
            if (!lengthAcceptable(link, length))
                return false;
            TQ_Buffer *dataset = allocate(link, length);
            if (dataset == nullptr)
                return false;
            memcpy(dataset->first.data, link->head, headSize);
            link->partial = dataset;
            link->partialGot = headSize;
            if (length == headSize) {
                link->partial = nullptr;
                deliver(link, dataset);
            }
            continue;
        }
        uint32_t length;
        memcpy(&length, data, sizeof length);
        if (!lengthAcceptable(link, length))
            return false;
        TQ_Buffer *dataset = allocate(link, length);
        if (dataset == nullptr)
            return false;
        size_t take = std::min<size_t>(length, count);
        memcpy(dataset->first.data, data, take);
        data += take;
        count -= take;
        if (take == length) {
            deliver(link, dataset);
        } else {
            link->partial = dataset;
            link->partialGot = static_cast<uint32_t>(take);
        }
    }
    return true;
}

void readable(Link *link)
{
    for (int round = 0; round < kReadRounds; ++round) {
        if (link->phase != Phase::Open && link->phase != Phase::Closing && link->phase != Phase::Hello)
            return;
        uint8_t *target = s_t.readBuffer;
        size_t room = kReadBufferSize;
        bool direct = link->phase == Phase::Open && link->partial != nullptr &&
                      link->partial->size - link->partialGot >= kDirectReadMin;
        if (direct) {
            target = link->partial->first.data + link->partialGot;
            room = link->partial->size - link->partialGot;
        }
        ssize_t got = recv(link->fd, target, room, MSG_DONTWAIT);
        if (got == 0) {
            die(link, TQ_LOG_INFO, link->phase == Phase::Closing ? nullptr : "the peer closed it");
            return;
        }
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                dieErrno(link, errno);
            return;
        }
        if (direct) {
            link->partialGot += static_cast<uint32_t>(got);
            if (link->partialGot == link->partial->size) {
                TQ_Buffer *dataset = link->partial;
                link->partial = nullptr;
                deliver(link, dataset);
            }
        } else if (!consume(link, target, static_cast<size_t>(got))) {
            return;
        }
        if (static_cast<size_t>(got) < room)
            return; /* drained: the next readiness brings more */
    }
}

/* ---- The I/O thread ---- */

void handleAttention()
{
    {
        std::lock_guard<std::mutex> lock(s_t.attentionMutex);
        s_t.batch.swap(s_t.attention);
    }
    for (Link *link : s_t.batch) {
        link->posted.store(false);
        bool overflow, closeRequested, destroyed, flushPending;
        {
            std::lock_guard<std::mutex> lock(link->mutex);
            overflow = link->overflow;
            closeRequested = link->closeRequested;
            destroyed = link->destroyed;
            flushPending = link->flushPending;
        }
        if (overflow && link->phase != Phase::Dead) {
            TQ_log(s_t.log, TQ_LOG_ERROR,
                   "tcp: connection %s: the peer does not read and over %llu bytes are queued; disconnecting\n",
                   link->name, static_cast<unsigned long long>(s_t.settings.sendQueueBytes));
            die(link, TQ_LOG_INFO, nullptr);
        }
        if (destroyed && !link->destroySeen) {
            link->destroySeen = true;
            link->invalidated = true;
            beginClose(link);
        }
        if (closeRequested)
            beginClose(link);
        if (link->waiting && link->phase == Phase::Hello && !s_t.stopping)
            promote(link);
        if (flushPending)
            flush(link);
        reap(link);
    }
    s_t.batch.clear();
}

void tick()
{
    uint64_t t = now();
    for (size_t i = 0; i < s_t.links.size(); ++i) {
        Link *link = s_t.links[i];
        if (link->phase == Phase::Dead)
            continue;
        if (link->deadline != 0 && t >= link->deadline) {
            die(link, TQ_LOG_INFO,
                link->phase == Phase::Closing ? "the queue was not sent in time" : "no answer in time");
            continue;
        }
        bool stalled;
        {
            std::lock_guard<std::mutex> lock(link->mutex);
            stalled = link->ringCount > 0 && t - link->progressAt >= s_t.settings.sendTimeoutMs;
        }
        if (stalled)
            die(link, TQ_LOG_ERROR, "the peer took nothing for too long");
    }
    if (s_t.stopping)
        return;
    for (Connector *connector : s_t.connectors) {
        if (connector->nextAttempt != 0 && t >= connector->nextAttempt && connector->link == nullptr)
            dial(connector);
    }
}

/* The stop request: no more listening or dialling, every link closed. */
void beginStop()
{
    s_t.stopping = true;
    for (ListenSocket *listener : s_t.listeners) {
        epoll_ctl(s_t.epfd, EPOLL_CTL_DEL, listener->fd, nullptr);
        close(listener->fd);
        delete listener;
    }
    s_t.listeners.clear();
    for (Connector *connector : s_t.connectors)
        connector->nextAttempt = 0;
    for (size_t i = 0; i < s_t.links.size(); ++i)
        beginClose(s_t.links[i]);
}

/* True when every link left waits only for the server's last reference. */
bool stopSettled()
{
    for (Link *link : s_t.links) {
        if (link->phase != Phase::Dead || link->posted.load())
            return false;
    }
    return true;
}

void loop()
{
    t_onLoop = true;
    epoll_event events[128];
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(s_t.controlMutex);
            if (s_t.quit)
                break;
            if (s_t.stopRequested && !s_t.stopping) {
                lock.unlock();
                beginStop();
            }
        }
        handleAttention();
        if (s_t.stopping) {
            std::lock_guard<std::mutex> lock(s_t.controlMutex);
            if (!s_t.stopDone && stopSettled()) {
                s_t.stopDone = true;
                s_t.controlCv.notify_all();
            }
        }
        int timeout;
        {
            std::lock_guard<std::mutex> lock(s_t.attentionMutex);
            timeout = s_t.attention.empty() ? static_cast<int>(kTickMs) : 0;
        }
        int ready = epoll_wait(s_t.epfd, events, 128, timeout);
        for (int i = 0; i < ready; ++i) {
            Watched *watched = static_cast<Watched *>(events[i].data.ptr);
            if (watched->kind == Watched::Wake) {
                uint64_t value;
                ssize_t ignored = read(s_t.wakefd, &value, sizeof value);
                (void)ignored;
            } else if (watched->kind == Watched::Listener) {
                acceptAll(static_cast<ListenSocket *>(watched));
            } else {
                Link *link = static_cast<Link *>(watched);
                if (link->phase == Phase::Connecting) {
                    connected(link);
                    continue;
                }
                if (link->waiting) {
                    die(link, TQ_LOG_INFO, "the peer closed the waiting link");
                    continue;
                }
                if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))
                    readable(link);
                if ((events[i].events & EPOLLOUT) && link->phase != Phase::Dead)
                    flush(link);
            }
        }
        if (now() >= s_t.nextTick) {
            s_t.nextTick = now() + kTickMs;
            tick();
        }
    }
    t_onLoop = false;
}

/* ---- Start-up ---- */

void openListener(const std::string &text, bool forServers)
{
    uint32_t ip = 0;
    uint16_t port = 0;
    std::string host = text.substr(0, text.rfind(':'));
    bool any = host == "*" || host == "0.0.0.0";
    bool parsed = any ? (port = static_cast<uint16_t>(atoi(text.c_str() + host.size() + 1)), true)
                      : TQ_parseAddrAndPort(text.c_str(), &ip, &port) == 1;
    if (!parsed || text.find(':') == std::string::npos) {
        TQ_log(s_t.log, TQ_LOG_ERROR, "tcp: cannot listen on \"%s\": not a host:port address\n", text.c_str());
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(ip);
    address.sin_port = htons(port);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd >= 0)
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(fd, 128) != 0) {
        char errorBuf[128];
        TQ_log(s_t.log, TQ_LOG_ERROR, "tcp: cannot listen on %s: %s\n", text.c_str(),
               errorText(errno, errorBuf, sizeof errorBuf));
        if (fd >= 0)
            close(fd);
        return;
    }
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    char ipText[16] = "?";
    TQ_ipToString(ntohl(address.sin_addr.s_addr), ipText, sizeof ipText);
    TQ_log(s_t.log, TQ_LOG_INFO, "tcp: listening for %s on %s:%u\n", forServers ? "servers" : "clients", ipText,
           static_cast<unsigned>(ntohs(address.sin_port)));
    ListenSocket *listener = new ListenSocket();
    listener->kind = Watched::Listener;
    listener->fd = fd;
    listener->forServers = forServers;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = static_cast<Watched *>(listener);
    epoll_ctl(s_t.epfd, EPOLL_CTL_ADD, fd, &ev);
    s_t.listeners.push_back(listener);
}

} /* namespace */

int transportStart(const Settings &settings, TQ_Server_ProtocolCallbacks *callbacks, TQ_Server_Protocol *protocol)
{
    if (s_t.started)
        return -1;
    s_t.settings = settings;
    s_t.cb = callbacks;
    s_t.log = callbacks->log;
    s_t.own = *TQ_Server_getUuid();
    s_t.epfd = epoll_create1(EPOLL_CLOEXEC);
    s_t.wakefd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (s_t.epfd < 0 || s_t.wakefd < 0) {
        TQ_log(s_t.log, TQ_LOG_ERROR, "tcp: cannot create the epoll set\n");
        if (s_t.epfd >= 0)
            close(s_t.epfd);
        if (s_t.wakefd >= 0)
            close(s_t.wakefd);
        s_t.epfd = s_t.wakefd = -1;
        return -1;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &s_t.wake;
    epoll_ctl(s_t.epfd, EPOLL_CTL_ADD, s_t.wakefd, &ev);
    s_t.readBuffer = new uint8_t[kReadBufferSize];

    s_t.iface.ops = &s_ifaceOps;
    s_t.iface.protocol = protocol;
    s_t.iface.name = "tcp";
    callbacks->addInterface(&s_t.iface);

    for (const std::string &address : settings.listen)
        openListener(address, true);
    for (const std::string &address : settings.clientListen)
        openListener(address, false);
    for (const std::string &address : settings.peers) {
        Connector *connector = new Connector();
        connector->address = address;
        connector->delayMs = settings.reconnectMinMs;
        connector->nextAttempt = 1; /* at the first tick */
        s_t.connectors.push_back(connector);
    }
    s_t.started = true;
    s_t.thread = std::thread(loop);
    return 1;
}

void transportStop()
{
    if (!s_t.started)
        return;
    std::unique_lock<std::mutex> lock(s_t.controlMutex);
    s_t.stopRequested = true;
    wakeLoop();
    s_t.controlCv.wait_for(lock, std::chrono::milliseconds(s_t.settings.closeTimeoutMs + 1000),
                           [] { return s_t.stopDone; });
}

void transportDestroy()
{
    if (!s_t.started)
        return;
    {
        std::lock_guard<std::mutex> lock(s_t.controlMutex);
        s_t.stopRequested = true;
        s_t.quit = true;
    }
    wakeLoop();
    s_t.thread.join();
    /* The I/O thread has ended; what is left is handled here. */
    if (!s_t.stopping)
        beginStop();
    for (size_t i = 0; i < s_t.links.size(); ++i)
        die(s_t.links[i], TQ_LOG_INFO, nullptr);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(s_t.attentionMutex);
            if (s_t.attention.empty())
                break;
        }
        handleAttention();
    }
    for (Link *link : std::vector<Link *>(s_t.links)) {
        if (!reap(link))
            TQ_log(s_t.log, TQ_LOG_WARN, "tcp: connection %s is still referenced at shutdown; left in place\n",
                   link->name);
    }
    s_t.links.clear();
    s_t.cb->removeInterface(&s_t.iface);
    for (Connector *connector : s_t.connectors)
        delete connector;
    s_t.connectors.clear();
    close(s_t.epfd);
    close(s_t.wakefd);
    s_t.epfd = s_t.wakefd = -1;
    delete[] s_t.readBuffer;
    s_t.readBuffer = nullptr;
    s_t.started = false;
}

} /* namespace tcp */
