/* tcp.protocol's metrics: datasets and bytes in and out, queued bytes,
 * stalls, stalled time and datasets shed, per server link (labelled with the
 * link's name) and in total over client links (link="clients"); open links
 * dropped, by kind and reason; reconnects. Internal to the module. */
#ifndef TESSARC_MODULES_TCP_METRICS_H
#define TESSARC_MODULES_TCP_METRICS_H

#include <tessarc/metrics.h>

#include <cstdint>

namespace tcp {

struct Link;

/* The cells a link counts into, with TQ_metricAdd and no lock: a server
 * link's own series, or the client totals every client link shares. Never
 * null once tcpMetricsLinkMade has run. */
struct LinkCounters {
    TQ_MetricCell *datasetsIn = nullptr, *datasetsOut = nullptr, *bytesIn = nullptr, *bytesOut = nullptr;
    TQ_MetricCell *stalls = nullptr, *stalledMs = nullptr, *shed = nullptr;
};

/* Why an open link was dropped. */
enum class Drop { PeerClosed, Error, Timeout, SendTimeout, QueueFull, Malformed, Count };

/* Registers the module's metrics; at transport start, before any link. */
void tcpMetricsStart();
/* Unregisters them; at transport destroy, after the I/O thread has ended. */
void tcpMetricsStop();
/* Gives a new link its counters (link->forServer and link->name set) and
 * lists it for the queued-bytes gauge. I/O thread. */
void tcpMetricsLinkMade(Link *link);
/* Unlists the link and removes a server link's series; right before the
 * record is freed. I/O thread. */
void tcpMetricsLinkGone(Link *link);
/* Counts an open link (one the server was given) dropped for `why`. */
void tcpMetricsDropped(Link *link, Drop why);
/* Counts a redial of a server peer after its link ended. */
void tcpMetricsReconnect();

/* For the send-queue flow control: the link's queue stalled (once per
 * stall), how long a stall lasted when it ends, and datasets shed instead of
 * queued. Any thread, the link's mutex held or not (an atomic add). */
void tcpMetricsStall(Link *link);
void tcpMetricsStalledTime(Link *link, uint64_t ms);
void tcpMetricsShed(Link *link, uint64_t datasets);

} /* namespace tcp */

#endif /* TESSARC_MODULES_TCP_METRICS_H */
