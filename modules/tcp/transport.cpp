/* The tcp protocol's transport: one I/O thread on an epoll set listens,
 * accepts, dials server peers, exchanges hellos and ends and frees links;
 * link.cpp moves the datasets. Every link's state belongs to that thread,
 * except its send queue, which senders on any thread fill under the link's
 * mutex, and the requests (close, destroy, flush, overflow) they post to it.
 *
 * Server links start with a 16-byte hello each way ("TQT1" and the sender's
 * node identifier), so both ends know the peer before the server sees the
 * link. When a second link joins the same pair of servers, the server whose
 * identifier orders first decides alone: it keeps the link it has and closes
 * the newcomer. The other server holds a newcomer unread ("waiting") and
 * hands it to the server only if the kept link ends, so both ends agree and
 * a working link is never replaced. Client links carry datasets from the
 * first byte. */
#include "link.h"
#include "tls.h"
#include "transport.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tcp {

Transport g_transport;

namespace {

thread_local bool t_onLoop = false;

/* The handshake's UUID dataset: its subtype byte, and where its identifier
 * ends. */
constexpr uint8_t kUuidSubtype = 3;
constexpr uint32_t kUuidEnd = 24;

const TQ_InterfaceOps s_ifaceOps = {nullptr, nullptr, [](TQ_Interface *) {}};

bool uuidEqual(const TQ_Uuid &a, const TQ_Uuid &b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

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
    ssize_t ignored = write(g_transport.wakefd, &one, sizeof one);
    (void)ignored;
}

} /* namespace */

void post(Link *link)
{
    if (link->posted.exchange(true))
        return;
    bool wasEmpty;
    {
        std::lock_guard<std::mutex> lock(g_transport.attentionMutex);
        wasEmpty = g_transport.attention.empty();
        g_transport.attention.push_back(link);
    }
    if (wasEmpty && !t_onLoop)
        wakeLoop();
}

namespace {

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

void scheduleConnector(Connector *connector, uint32_t delayMs)
{
    /* Between three quarters and five quarters of the delay, so two servers
     * that dial each other drift apart. */
    uint32_t jittered = delayMs / 4 * 3 + (delayMs >= 2 ? TQ_randUint32() % (delayMs / 2) : 0);
    connector->nextAttempt = now() + jittered;
}

void unparkConnectors(const TQ_Uuid &peer)
{
    for (Connector *connector : g_transport.connectors) {
        if (connector->parked && uuidEqual(connector->peer, peer)) {
            connector->parked = false;
            connector->delayMs = g_transport.settings.reconnectMinMs;
            if (!g_transport.stopping)
                scheduleConnector(connector, g_transport.settings.reconnectMinMs);
        }
    }
}

/* Asks the I/O thread to hand a link waiting for `peer` to the server in
 * place of the link that ended (see handleAttention). True when there is
 * one. */
bool promoteWaiting(const TQ_Uuid &peer)
{
    for (Link *link : g_transport.links) {
        if (link->waiting && link->phase == Phase::Hello && uuidEqual(link->peer, peer)) {
            post(link);
            return true;
        }
    }
    return false;
}

} /* namespace */

void die(Link *link, int level, const char *why, bool parkConnector)
{
    if (link->phase == Phase::Dead)
        return;
    if (why != nullptr)
        TQ_log(g_transport.log, level, "tcp: connection %s closed: %s\n", link->name, why);
    flowEnded(link);
    epoll_ctl(g_transport.epfd, EPOLL_CTL_DEL, link->fd, nullptr);
    tlsFree(link); /* TLS */
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
        } else if (!g_transport.stopping && !connector->self) {
            if (link->added && now() - link->openedAt >= kStableLinkMs)
                connector->delayMs = g_transport.settings.reconnectMinMs;
            scheduleConnector(connector, connector->delayMs);
            tcpMetricsReconnect();
            TQ_log(g_transport.log, TQ_LOG_INFO, "tcp: reconnecting to %s in about %u ms\n", connector->address.c_str(),
                   connector->delayMs);
            connector->delayMs = std::min(connector->delayMs * 2, g_transport.settings.reconnectMaxMs);
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
    tcpMetricsDropped(link, Drop::Error);
    die(link, TQ_LOG_INFO, errorText(error, text, sizeof text));
}

namespace {

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
        g_transport.cb->removeConnection(&link->conn);
        TQ_connectionDestroy(&link->conn);
    }
    g_transport.links.erase(std::find(g_transport.links.begin(), g_transport.links.end(), link));
    tcpMetricsLinkGone(link);
    delete link;
    return true;
}

/* ---- Opening links ---- */

void addToServer(Link *link)
{
    TQ_connectionInit(&link->conn, &g_transport.iface);
    link->conn.ops = &s_connOps;
    link->conn.send = connectionSend;
    link->conn.name = link->name;
    link->conn.isServer = link->forServer ? 1 : 0;
    link->conn.moduleData = link;
    link->added = true;
    link->phase = Phase::Open;
    link->deadline = 0;
    link->openedAt = now();
    g_transport.cb->addConnection(&link->conn);
}

bool sendHello(Link *link)
{
    uint8_t hello[kHelloSize];
    memcpy(hello, kHelloMagic, sizeof kHelloMagic);
    memcpy(hello + sizeof kHelloMagic, &g_transport.own, sizeof g_transport.own);
    if (link->tls != nullptr) { /* TLS */
        iovec whole = {hello, sizeof hello};
        return tlsWritev(link, &whole, 1) == static_cast<ssize_t>(sizeof hello);
    }
    return send(link->fd, hello, sizeof hello, MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(sizeof hello);
}

bool peerLinked(const TQ_Uuid &peer)
{
    for (Link *link : g_transport.links) {
        if (link->inPeerTable && uuidEqual(link->peer, peer))
            return true;
    }
    return false;
}

/* True when the peer has already ended the link kept for it, but its end
 * has not been read yet (it may be later in the same batch, after a
 * stall): a newcomer must then wait for that end rather than be refused. */
bool keptLinkEnding(const TQ_Uuid &peer)
{
    for (Link *link : g_transport.links) {
        if (link->inPeerTable && uuidEqual(link->peer, peer)) {
            pollfd p{link->fd, POLLRDHUP, 0};
            return poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
        }
    }
    return false;
}

/* One link at most waits per peer: an older one gives way to `link`, the
 * peer's latest, so a peer cannot pile up held links. */
void dropOtherWaiting(Link *link)
{
    for (Link *other : g_transport.links) {
        if (other != link && other->waiting && other->phase == Phase::Hello && uuidEqual(other->peer, link->peer))
            die(other, TQ_LOG_INFO, "a newer link of the same server waits in its place");
    }
}

/* Ends a link that is still without a node handshakeTimeout after it was
 * accepted, dialled or promoted, so a peer that says nothing, or stops
 * half-way, cannot hold a descriptor for ever. A waiting link is exempt
 * while its peer's kept link lives. True when it was ended. */
bool handshakeOverdue(Link *link, uint64_t t)
{
    if (link->handshakeFrom == 0 || link->waiting || link->phase == Phase::Closing)
        return false;
    if (link->added && __atomic_load_n(&link->conn.node, __ATOMIC_ACQUIRE) != nullptr) {
        link->handshakeFrom = 0;
        return false;
    }
    if (t - link->handshakeFrom < g_transport.settings.handshakeTimeoutMs)
        return false;
    char why[64];
    snprintf(why, sizeof why, "no handshake within %u ms", g_transport.settings.handshakeTimeoutMs);
    die(link, TQ_LOG_INFO, why);
    return true;
}

/* Out of descriptors, a level-triggered listener would be reported ready
 * again at once: it leaves the epoll set for acceptBackoff, with one line
 * per pause. */
void pauseListener(ListenSocket *listener, int error)
{
    char text[128];
    TQ_log(g_transport.log, TQ_LOG_ERROR, "tcp: accepting failed: %s; pausing for %u ms\n",
           errorText(error, text, sizeof text), g_transport.settings.acceptBackoffMs);
    epoll_ctl(g_transport.epfd, EPOLL_CTL_DEL, listener->fd, nullptr);
    listener->pausedUntil = now() + g_transport.settings.acceptBackoffMs;
}

void resumeListeners(uint64_t t)
{
    for (ListenSocket *listener : g_transport.listeners) {
        if (listener->pausedUntil == 0 || t < listener->pausedUntil)
            continue;
        listener->pausedUntil = 0;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = static_cast<Watched *>(listener);
        epoll_ctl(g_transport.epfd, EPOLL_CTL_ADD, listener->fd, &ev);
    }
}

} /* namespace */

bool helloDone(Link *link, const uint8_t *rest, size_t restCount)
{
    if (memcmp(link->hello, kHelloMagic, sizeof kHelloMagic) != 0) {
        die(link, TQ_LOG_ERROR, "the peer is not a tcp server link");
        return false;
    }
    memcpy(&link->peer, link->hello + sizeof kHelloMagic, sizeof link->peer);
    if (uuidEqual(link->peer, g_transport.own)) {
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
        if (memcmp(&g_transport.own, &link->peer, sizeof(TQ_Uuid)) < 0 && !keptLinkEnding(link->peer)) {
            die(link, TQ_LOG_INFO, "the server is already linked; keeping that link", true);
            return false;
        }
        dropOtherWaiting(link);
        link->waiting = true;
        link->deadline = 0;
        link->early.assign(reinterpret_cast<const char *>(rest), restCount);
        setEvents(link, EPOLLRDHUP);
        TQ_log(g_transport.log, TQ_LOG_INFO, "tcp: connection %s waits: the server is already linked\n", link->name);
        return false;
    }
    link->inPeerTable = true;
    TQ_log(g_transport.log, TQ_LOG_INFO, "tcp: connection %s is open\n", link->name);
    addToServer(link);
    return true;
}

bool identityMatches(Link *link, TQ_Buffer *dataset)
{
    /* A basic dataset (type 2) of subtype 3 carries the sender's identifier
     * at 12; a received dataset is one contiguous block. */
    const uint8_t *data = dataset->first.data;
    if (dataset->size < kUuidEnd || data[4] != TQ_DATASET_BASIC || data[8] != kUuidSubtype ||
        memcmp(data + 12, &link->peer, sizeof link->peer) == 0)
        return true;
    die(link, TQ_LOG_ERROR, "its UUID dataset names another server than its hello");
    return false;
}

namespace {

/* Hands a waiting link to the server once its peer has no other link. */
void promote(Link *link)
{
    if (peerLinked(link->peer))
        return;
    link->waiting = false;
    link->inPeerTable = true;
    link->handshakeFrom = now();
    TQ_log(g_transport.log, TQ_LOG_INFO, "tcp: connection %s is open in place of the link that ended\n", link->name);
    addToServer(link);
    setEvents(link, EPOLLIN);
    std::string early;
    early.swap(link->early);
    consume(link, reinterpret_cast<const uint8_t *>(early.data()), early.size());
    tlsReadLater(link); /* TLS: what the session read behind the early bytes */
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
    link->handshakeFrom = now();
    tcpMetricsLinkMade(link);
    g_transport.links.push_back(link);
    return link;
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
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                pauseListener(listener, errno);
                return;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                char text[128];
                TQ_log(g_transport.log, TQ_LOG_ERROR, "tcp: accepting failed: %s\n",
                       errorText(errno, text, sizeof text));
            }
            return;
        }
        if (g_transport.stopping) {
            close(fd);
            continue;
        }
        Link *link = newLink(fd, false, listener->forServers, address);
        setEvents(link, EPOLLIN, true);
        TQ_log(g_transport.log, TQ_LOG_INFO, "tcp: accepted %s\n", link->name);
        if (listener->tls) { /* TLS: the handshake first; connected() goes on from it */
            link->deadline = now() + g_transport.settings.connectTimeoutMs;
            tlsAttach(link, true, std::string());
            continue;
        }
        if (!listener->forServers) {
            addToServer(link);
        } else if (sendHello(link)) {
            link->phase = Phase::Hello;
            link->deadline = now() + g_transport.settings.connectTimeoutMs;
        } else {
            dieErrno(link, errno);
        }
    }
}

void dial(Connector *connector)
{
    connector->nextAttempt = 0;
    if (connector->knowsPeer) {
        for (Link *link : g_transport.links) {
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
        TQ_log(g_transport.log, TQ_LOG_ERROR, "tcp: cannot dial %s: not an address or no socket\n",
               connector->address.c_str());
        scheduleConnector(connector, g_transport.settings.reconnectMaxMs);
        return;
    }
    Link *link = newLink(fd, true, true, address);
    link->connector = connector;
    connector->link = link;
    if (tlsRequired(AddressKind::Peer, connector->address) && !tlsAttach(link, false, connector->address)) /* TLS */
        return;
    link->deadline = now() + g_transport.settings.connectTimeoutMs;
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
        setEvents(link, EPOLLIN, true);
        dieErrno(link, errno);
        return;
    }
    setEvents(link, EPOLLOUT, true);
}

void connected(Link *link)
{
    int error = TQ_socketGetLastError(link->fd);
    if (error != 0) {
        dieErrno(link, error);
        return;
    }
    if (link->tls != nullptr) { /* TLS: the handshake first, then the link goes on as a plain one */
        if (tlsHandshake(link) != 1)
            return;
        if (!link->outgoing && !link->forServer) {
            setEvents(link, EPOLLIN);
            addToServer(link);
            return;
        }
    }
    if (!sendHello(link)) {
        dieErrno(link, errno);
        return;
    }
    link->phase = Phase::Hello;
    link->deadline = now() + g_transport.settings.connectTimeoutMs;
    setEvents(link, EPOLLIN);
}

/* ---- The I/O thread ---- */

void handleAttention()
{
    {
        std::lock_guard<std::mutex> lock(g_transport.attentionMutex);
        g_transport.batch.swap(g_transport.attention);
    }
    for (Link *link : g_transport.batch) {
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
            TQ_log(g_transport.log, TQ_LOG_ERROR,
                   "tcp: connection %s: the peer does not read and over %llu bytes are queued; disconnecting\n",
                   link->name, static_cast<unsigned long long>(g_transport.settings.sendQueueBytes));
            tcpMetricsDropped(link, Drop::QueueFull);
            die(link, TQ_LOG_INFO, nullptr);
        }
        if (destroyed && !link->destroySeen) {
            link->destroySeen = true;
            link->invalidated = true;
            beginClose(link);
        }
        if (closeRequested)
            beginClose(link);
        if (link->waiting && link->phase == Phase::Hello && !g_transport.stopping)
            promote(link);
        if (flushPending)
            flush(link);
        reap(link);
    }
    g_transport.batch.clear();
}

void tick()
{
    uint64_t t = now();
    for (size_t i = 0; i < g_transport.links.size(); ++i) {
        Link *link = g_transport.links[i];
        if (link->phase == Phase::Dead || handshakeOverdue(link, t))
            continue;
        if (link->deadline != 0 && t >= link->deadline) {
            tcpMetricsDropped(link, Drop::Timeout);
            die(link, TQ_LOG_INFO,
                link->phase == Phase::Closing ? "the queue was not sent in time" : "no answer in time");
            continue;
        }
        bool stalled;
        {
            std::lock_guard<std::mutex> lock(link->mutex);
            stalled = link->ringCount > 0 && t - link->progressAt >= g_transport.settings.sendTimeoutMs;
        }
        if (stalled) {
            tcpMetricsDropped(link, Drop::SendTimeout);
            die(link, TQ_LOG_ERROR, "the peer took nothing for too long");
        } else {
            flowTick(link, t);
        }
    }
    if (g_transport.stopping)
        return;
    resumeListeners(t);
    for (Connector *connector : g_transport.connectors) {
        if (connector->nextAttempt != 0 && t >= connector->nextAttempt && connector->link == nullptr)
            dial(connector);
    }
}

/* The stop request: no more listening or dialling, every link closed. */
void beginStop()
{
    g_transport.stopping = true;
    for (ListenSocket *listener : g_transport.listeners) {
        epoll_ctl(g_transport.epfd, EPOLL_CTL_DEL, listener->fd, nullptr);
        close(listener->fd);
        delete listener;
    }
    g_transport.listeners.clear();
    for (Connector *connector : g_transport.connectors)
        connector->nextAttempt = 0;
    for (size_t i = 0; i < g_transport.links.size(); ++i)
        beginClose(g_transport.links[i]);
}

/* True when every link left waits only for the server's last reference. */
bool stopSettled()
{
    for (Link *link : g_transport.links) {
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
            std::unique_lock<std::mutex> lock(g_transport.controlMutex);
            if (g_transport.quit)
                break;
            if (g_transport.stopRequested && !g_transport.stopping) {
                lock.unlock();
                beginStop();
            }
        }
        handleAttention();
        if (g_transport.stopping) {
            std::lock_guard<std::mutex> lock(g_transport.controlMutex);
            if (!g_transport.stopDone && stopSettled()) {
                g_transport.stopDone = true;
                g_transport.controlCv.notify_all();
            }
        }
        int timeout;
        {
            std::lock_guard<std::mutex> lock(g_transport.attentionMutex);
            timeout = g_transport.attention.empty() ? static_cast<int>(kTickMs) : 0;
        }
        if (tlsReadsWaiting()) /* TLS */
            timeout = 0;
        int ready = epoll_wait(g_transport.epfd, events, 128, timeout);
        for (int i = 0; i < ready; ++i) {
            Watched *watched = static_cast<Watched *>(events[i].data.ptr);
            if (watched->kind == Watched::Wake) {
                uint64_t value;
                ssize_t ignored = read(g_transport.wakefd, &value, sizeof value);
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
        tlsRunReads(); /* TLS */
        if (now() >= g_transport.nextTick) {
            g_transport.nextTick = now() + kTickMs;
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
        TQ_log(g_transport.log, TQ_LOG_ERROR, "tcp: cannot listen on \"%s\": not a host:port address\n", text.c_str());
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
        TQ_log(g_transport.log, TQ_LOG_ERROR, "tcp: cannot listen on %s: %s\n", text.c_str(),
               errorText(errno, errorBuf, sizeof errorBuf));
        if (fd >= 0)
            close(fd);
        return;
    }
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    char ipText[16] = "?";
    TQ_ipToString(ntohl(address.sin_addr.s_addr), ipText, sizeof ipText);
    TQ_log(g_transport.log, TQ_LOG_INFO, "tcp: listening for %s on %s:%u\n", forServers ? "servers" : "clients", ipText,
           static_cast<unsigned>(ntohs(address.sin_port)));
    ListenSocket *listener = new ListenSocket();
    listener->kind = Watched::Listener;
    listener->fd = fd;
    listener->forServers = forServers;
    listener->tls = tlsRequired(forServers ? AddressKind::Listen : AddressKind::ClientListen, text); /* TLS */
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = static_cast<Watched *>(listener);
    epoll_ctl(g_transport.epfd, EPOLL_CTL_ADD, fd, &ev);
    g_transport.listeners.push_back(listener);
}

} /* namespace */

int transportStart(const Settings &settings, TQ_Server_ProtocolCallbacks *callbacks, TQ_Server_Protocol *protocol)
{
    if (g_transport.started)
        return -1;
    g_transport.settings = settings;
    g_transport.cb = callbacks;
    g_transport.log = callbacks->log;
    g_transport.own = *TQ_Server_getUuid();
    g_transport.epfd = epoll_create1(EPOLL_CLOEXEC);
    g_transport.wakefd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (g_transport.epfd < 0 || g_transport.wakefd < 0) {
        TQ_log(g_transport.log, TQ_LOG_ERROR, "tcp: cannot create the epoll set\n");
        if (g_transport.epfd >= 0)
            close(g_transport.epfd);
        if (g_transport.wakefd >= 0)
            close(g_transport.wakefd);
        g_transport.epfd = g_transport.wakefd = -1;
        return -1;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &g_transport.wake;
    epoll_ctl(g_transport.epfd, EPOLL_CTL_ADD, g_transport.wakefd, &ev);

    for (const std::string &address : settings.listen)
        openListener(address, true);
    for (const std::string &address : settings.clientListen)
        openListener(address, false);
    size_t addresses = settings.listen.size() + settings.clientListen.size();
    if (addresses > 0 && g_transport.listeners.empty()) {
        /* A server that listens nowhere it was told to would look healthy
         * and serve nothing: the server stops instead. */
        TQ_log(g_transport.log, TQ_LOG_ERROR,
               "tcp: none of the %u listen addresses could be used; stopping the server\n",
               static_cast<unsigned>(addresses));
        close(g_transport.epfd);
        close(g_transport.wakefd);
        g_transport.epfd = g_transport.wakefd = -1;
        TQ_Server_stop();
        return -1;
    }
    if (addresses == 0 && settings.peers.empty())
        TQ_log(g_transport.log, TQ_LOG_WARN,
               "tcp: no listen, clientListen or peers address is set; nothing can link to this server\n");
    g_transport.readBuffer = new uint8_t[kReadBufferSize];
    g_transport.writeStage = new uint8_t[kWriteStageSize];
    tcpMetricsStart();

    g_transport.iface.ops = &s_ifaceOps;
    g_transport.iface.protocol = protocol;
    g_transport.iface.name = "tcp";
    callbacks->addInterface(&g_transport.iface);

    for (const std::string &address : settings.peers) {
        Connector *connector = new Connector();
        connector->address = address;
        connector->delayMs = settings.reconnectMinMs;
        connector->nextAttempt = 1; /* at the first tick */
        g_transport.connectors.push_back(connector);
    }
    g_transport.started = true;
    g_transport.thread = std::thread(loop);
    return 1;
}

void transportStop()
{
    if (!g_transport.started)
        return;
    std::unique_lock<std::mutex> lock(g_transport.controlMutex);
    g_transport.stopRequested = true;
    wakeLoop();
    g_transport.controlCv.wait_for(lock, std::chrono::milliseconds(g_transport.settings.closeTimeoutMs + 1000),
                                   [] { return g_transport.stopDone; });
}

void transportDestroy()
{
    if (!g_transport.started)
        return;
    {
        std::lock_guard<std::mutex> lock(g_transport.controlMutex);
        g_transport.stopRequested = true;
        g_transport.quit = true;
    }
    wakeLoop();
    g_transport.thread.join();
    /* The I/O thread has ended; what is left is handled here. */
    if (!g_transport.stopping)
        beginStop();
    for (size_t i = 0; i < g_transport.links.size(); ++i)
        die(g_transport.links[i], TQ_LOG_INFO, nullptr);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(g_transport.attentionMutex);
            if (g_transport.attention.empty())
                break;
        }
        handleAttention();
    }
    for (Link *link : std::vector<Link *>(g_transport.links)) {
        if (!reap(link))
            TQ_log(g_transport.log, TQ_LOG_WARN, "tcp: connection %s is still referenced at shutdown; left in place\n",
                   link->name);
    }
    g_transport.links.clear();
    g_transport.cb->removeInterface(&g_transport.iface);
    for (Connector *connector : g_transport.connectors)
        delete connector;
    g_transport.connectors.clear();
    close(g_transport.epfd);
    close(g_transport.wakefd);
    g_transport.epfd = g_transport.wakefd = -1;
    delete[] g_transport.readBuffer;
    g_transport.readBuffer = nullptr;
    delete[] g_transport.writeStage;
    g_transport.writeStage = nullptr;
    tcpMetricsStop();
    g_transport.started = false;
}

} /* namespace tcp */
