/* Moving datasets over one link of the tcp protocol: the send queue that
 * senders on any thread fill, writing it with few system calls, and cutting
 * what is read into datasets that are delivered one at a time, in order. */
#include "link.h"
#include "tls.h"
#include "transport.h"

#include <errno.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>

namespace tcp {

namespace {

uint32_t datasetLength(const TQ_Buffer *dataset)
{
    uint32_t length;
    memcpy(&length, dataset->first.data, sizeof length);
    return length;
}

/* A length outside 8 to sizeLimit means the stream cannot be framed any
 * more: logs why and closes the link after what is queued for it has been
 * sent. Always false. Out of line, away from the framing loop. */
__attribute__((noinline)) bool refuseLength(Link *link, uint32_t length)
{
    if (length < sizeof(TQ_DatasetHeader))
        TQ_log(g_transport.log, TQ_LOG_ERROR,
               "tcp: connection %s: dataset length %u is shorter than the 8-byte header; closing\n", link->name,
               length);
    else
        TQ_log(g_transport.log, TQ_LOG_ERROR,
               "tcp: connection %s: dataset length %u is over the limit of %lu bytes; closing\n", link->name, length,
               static_cast<unsigned long>(g_transport.cb->sizeLimit));
    tcpMetricsDropped(link, Drop::Malformed);
    beginClose(link);
    return false;
}

/* True for a length the link can frame; otherwise the link is closing. */
inline bool lengthAcceptable(Link *link, uint32_t length)
{
    if (__builtin_expect(length >= sizeof(TQ_DatasetHeader) && length <= g_transport.cb->sizeLimit, true))
        return true;
    return refuseLength(link, length);
}

TQ_Buffer *allocate(Link *link, uint32_t length)
{
    TQ_Buffer *dataset = g_transport.cb->allocator->allocBuffer(g_transport.cb->allocator, length);
    if (dataset == nullptr)
        die(link, TQ_LOG_ERROR, "no memory for a received dataset");
    return dataset;
}

/* The link being read on this thread while its datasets are delivered:
 * the sends they cause are charged to it. Set on the I/O thread only. */
thread_local Link *t_reading = nullptr;

/* Only service datasets without the reliable flag may be shed; handshake,
 * neighbour, group and reliable datasets must arrive or end the link. */
inline bool sheddable(const TQ_Buffer *dataset)
{
    return dataset->first.data[4] > TQ_DATASET_GROUPS && (dataset->first.data[5] & TQ_FLAG_RELIABLE) == 0;
}

/* The epoll interest the link's state asks for. */
uint32_t interest(const Link *link)
{
    return (link->readPaused ? 0u : static_cast<uint32_t>(EPOLLIN)) |
           (link->epollOut ? static_cast<uint32_t>(EPOLLOUT) : 0u);
}

void resumeReading(Link *link)
{
    link->readPaused = false;
    link->blockers.clear();
    if (link->fd >= 0)
        setEvents(link, interest(link));
    tlsReadLater(link); /* TLS: records read ahead wait in the session */
}

/* `congested` has drained, sheds or ends: every link waiting on it alone
 * reads again. Links are few and this runs once per congestion, so a scan
 * of them all is cheaper than keeping waiter lists alive across link ends. */
void releaseWaiters(Link *congested)
{
    for (Link *other : g_transport.links) {
        auto at = std::find(other->blockers.begin(), other->blockers.end(), congested);
        if (at == other->blockers.end())
            continue;
        other->blockers.erase(at);
        if (other->blockers.empty() && other->readPaused)
            resumeReading(other);
    }
}

void reportShed(Link *link, uint64_t total, uint64_t t)
{
    TQ_log(g_transport.log, TQ_LOG_WARN, "tcp: link %s: shed %llu datasets (total %llu) while congested\n", link->name,
           static_cast<unsigned long long>(total - link->shedReported), static_cast<unsigned long long>(total));
    link->shedReported = total;
    link->shedReportedAt = t;
}

void deliver(Link *link, TQ_Buffer *dataset)
{
    TQ_metricAdd(link->counters.datasetsIn, 1);
    TQ_bufferAcquire(dataset);
    if (!link->closing.load(std::memory_order_relaxed) && (!link->forServer || identityMatches(link, dataset)))
        g_transport.cb->receive(&link->conn, dataset);
    TQ_bufferRelease(dataset);
}

/* Counts the time a stall lasted, from the last progress before it to `t`,
 * once: when the queue drains below its low watermark or the link ends.
 * Called with the link's mutex held. */
void endStall(Link *link, uint64_t t)
{
    if (link->stalledFrom == 0)
        return;
    tcpMetricsStalledTime(link, t > link->stalledFrom ? t - link->stalledFrom : 0);
    link->stalledFrom = 0;
}

} /* namespace */

/* ---- Send queue ---- */

void connectionSend(TQ_Connection *connection, TQ_Buffer *dataset)
{
    Link *link = linkOf(connection);
    uint32_t length = dataset->first.length >= sizeof(TQ_DatasetHeader) ? datasetLength(dataset) : 0;
    if (length < sizeof(TQ_DatasetHeader) || length > dataset->size || length > dataset->first.length) {
        TQ_log(g_transport.log, TQ_LOG_ERROR,
               "tcp: connection %s: not sending a dataset of length %u in a buffer of %u bytes\n", link->name, length,
               dataset->size);
        return;
    }
    const Settings &settings = g_transport.settings;
    bool wake = false, blocks = false;
    {
        std::lock_guard<std::mutex> lock(link->mutex);
        if (link->sendClosed || link->overflow)
            return;
        bool overCap = link->queuedBytes + length > settings.sendQueueBytes || link->ringCount >= kMaxQueuedDatasets;
        if ((overCap || link->shedding) && sheddable(dataset)) {
            ++link->shedTotal;
            tcpMetricsShed(link, 1);
            return;
        }
        if (overCap) {
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
            if (link->queuedBytes >= settings.highWater)
                link->congested = true;
            blocks = link->congested && !link->shedding;
            if (!link->flushPending) {
                link->flushPending = true;
                wake = true;
            }
        }
    }
    /* Only the I/O thread reads links, so t_reading is set only there and
     * the reader's blockers are touched by that thread alone. A link never
     * waits on itself: two peers flooding each other would stop both. */
    Link *reader = t_reading;
    if (blocks && reader != nullptr && reader != link &&
        std::find(reader->blockers.begin(), reader->blockers.end(), link) == reader->blockers.end())
        reader->blockers.push_back(link);
    if (wake)
        post(link);
}

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

/* ---- Epoll interest ---- */

void setEvents(Link *link, uint32_t events, bool add)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = static_cast<Watched *>(link);
    epoll_ctl(g_transport.epfd, add ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, link->fd, &ev);
}

/* ---- Closing and writing ---- */

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
    link->deadline = now() + g_transport.settings.closeTimeoutMs;
    if (link->readPaused)
        resumeReading(link); /* a closing link reads to see the peer's end */
    bool empty;
    {
        std::lock_guard<std::mutex> lock(link->mutex);
        empty = link->ringCount == 0;
    }
    if (empty && tlsSent(link)) {
        tlsShutdown(link); /* TLS */
        shutdown(link->fd, SHUT_WR);
        link->shut = true;
        std::lock_guard<std::mutex> lock(link->mutex);
        link->sendClosed = true;
    }
}

/* ---- Writing ---- */

void flush(Link *link)
{
    if (link->phase != Phase::Open && link->phase != Phase::Closing)
        return;
    bool drained = false;
    for (;;) {
        iovec iov[kMaxIov];
        /* The datasets written out are let go together once the link's
         * mutex is given back: one hold of the allocator's lock for all. */
        TQ_Buffer *sentOut[kMaxIov];
        int count = 0;
        size_t total = 0, staged = 0;
        bool lastStaged = false; /* iov[count - 1] ends at stage + staged */
        /* TLS writes take the datasets in place. */
        uint8_t *stage = link->tls == nullptr ? g_transport.writeStage : nullptr;
        {
            std::lock_guard<std::mutex> lock(link->mutex);
            size_t mask = link->ring.size() - 1;
            for (size_t i = 0; i < link->ringCount && i < static_cast<size_t>(kMaxIov); ++i) {
                TQ_Buffer *dataset = link->ring[(link->ringHead + i) & mask];
                uint32_t skip = i == 0 ? link->headOffset : 0;
                uint8_t *from = dataset->first.data + skip;
                size_t length = datasetLength(dataset) - skip;
                total += length;
                /* Small datasets are copied one after another into the
                 * stage and go to the kernel as one stretch: it copies a
                 * long stretch much faster than as many short ones. */
                bool stageIt = stage != nullptr && length <= kStagedMax && staged + length <= kWriteStageSize;
                if (stageIt) {
                    memcpy(stage + staged, from, length);
                    from = stage + staged;
                    staged += length;
                    if (lastStaged) {
                        iov[count - 1].iov_len += length;
                        continue;
                    }
                }
                lastStaged = stageIt;
                iov[count].iov_base = from;
                iov[count].iov_len = length;
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
        ssize_t written = link->tls != nullptr ? tlsWritev(link, iov, count) /* TLS */
                                               : sendmsg(link->fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            dieErrno(link, errno);
            return;
        }
        int64_t sent = 0;
        {
            std::lock_guard<std::mutex> lock(link->mutex);
            size_t left = static_cast<size_t>(written);
            size_t mask = link->ring.size() - 1;
            link->queuedBytes -= left;
            link->progressAt = now();
            if (link->congested && link->queuedBytes < g_transport.settings.lowWater) {
                endStall(link, link->progressAt);
                link->congested = link->shedding = false;
                drained = true;
            }
            TQ_metricAdd(link->counters.bytesOut, written);
            while (left > 0) {
                TQ_Buffer *dataset = link->ring[link->ringHead];
                size_t rest = datasetLength(dataset) - link->headOffset;
                if (left < rest) {
                    link->headOffset += static_cast<uint32_t>(left);
                    break;
                }
                left -= rest;
                link->headOffset = 0;
                sentOut[sent] = dataset;
                link->ringHead = (link->ringHead + 1) & mask;
                --link->ringCount;
                ++sent;
            }
            TQ_metricAdd(link->counters.datasetsOut, sent);
        }
        TQ_bufferReleaseAll(sentOut, static_cast<size_t>(sent));
        if (static_cast<size_t>(written) < total)
            break;
    }
    bool empty;
    {
        std::lock_guard<std::mutex> lock(link->mutex);
        empty = link->ringCount == 0;
    }
    empty = empty && tlsSent(link); /* TLS: records still waiting for the socket */
    if (drained)
        releaseWaiters(link);
    if (empty == link->epollOut) {
        link->epollOut = !empty;
        setEvents(link, interest(link));
    }
    if (empty && link->phase == Phase::Closing && !link->shut) {
        tlsShutdown(link); /* TLS */
        shutdown(link->fd, SHUT_WR);
        link->shut = true;
        std::lock_guard<std::mutex> lock(link->mutex);
        link->sendClosed = true;
    }
}

/* ---- Reading ---- */

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

namespace {

void readRounds(Link *link)
{
    for (int round = 0; round < kReadRounds; ++round) {
        if (link->phase != Phase::Open && link->phase != Phase::Closing && link->phase != Phase::Hello)
            return;
        uint8_t *target = g_transport.readBuffer;
        size_t room = kReadBufferSize;
        bool direct = link->phase == Phase::Open && link->partial != nullptr &&
                      link->partial->size - link->partialGot >= kDirectReadMin;
        if (direct) {
            target = link->partial->first.data + link->partialGot;
            room = link->partial->size - link->partialGot;
        }
        ssize_t got = link->tls != nullptr ? tlsRead(link, target, room) /* TLS */
                                           : recv(link->fd, target, room, MSG_DONTWAIT);
        if (got == 0) {
            if (link->phase != Phase::Closing)
                tcpMetricsDropped(link, Drop::PeerClosed);
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
        TQ_metricAdd(link->counters.bytesIn, got);
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
        if (!link->blockers.empty())
            return; /* what was read went to a congested link: wait for it */
        if (static_cast<size_t>(got) < room)
            return; /* drained: the next readiness brings more */
    }
    tlsReadLater(link); /* TLS */
}

} /* namespace */

void readable(Link *link)
{
    t_reading = link;
    readRounds(link);
    t_reading = nullptr;
    if (!link->blockers.empty() && !link->readPaused) {
        if (link->phase != Phase::Open) {
            link->blockers.clear();
            return;
        }
        link->readPaused = true;
        ++link->pauses;
        setEvents(link, interest(link));
    }
}

/* ---- Flow control ---- */

void flowTick(Link *link, uint64_t t)
{
    const Settings &settings = g_transport.settings;
    bool stalled = false, disconnect = false;
    uint64_t shed;
    {
        std::lock_guard<std::mutex> lock(link->mutex);
        if (link->congested && !link->shedding && t - link->progressAt >= settings.stallLimitMs) {
            stalled = true;
            disconnect = !link->forServer && settings.slowClientDisconnect;
            link->shedding = !disconnect;
            link->stalledFrom = link->progressAt;
        }
        shed = link->shedTotal;
    }
    if (disconnect) {
        TQ_log(g_transport.log, TQ_LOG_ERROR,
               "tcp: connection %s: the peer does not read and over %llu bytes are queued; disconnecting\n", link->name,
               static_cast<unsigned long long>(settings.highWater));
        die(link, TQ_LOG_INFO, nullptr);
        return;
    }
    if (stalled) {
        ++link->stalls;
        tcpMetricsStall(link);
        TQ_log(g_transport.log, TQ_LOG_WARN,
               "tcp: link %s: the peer took nothing for %u ms; shedding what may be shed until it catches up\n",
               link->name, settings.stallLimitMs);
        releaseWaiters(link);
    }
    if (shed > link->shedReported && t - link->shedReportedAt >= kShedReportMs)
        reportShed(link, shed, t);
}

void flowEnded(Link *link)
{
    uint64_t shed;
    {
        std::lock_guard<std::mutex> lock(link->mutex);
        shed = link->shedTotal;
        endStall(link, now());
    }
    if (shed > link->shedReported)
        reportShed(link, shed, now());
    link->readPaused = false;
    link->blockers.clear();
    releaseWaiters(link);
}

} /* namespace tcp */
