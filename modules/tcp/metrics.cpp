/* tcp.protocol's metrics (see metrics.h). Counters are cells of the
 * server's metrics registry that links add to from the I/O thread; queued
 * bytes are read from the live links when the metrics are scraped. */
#include "metrics.h"
#include "link.h"

#include <string.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace tcp {

namespace {

const struct {
    const char *name, *help;
    TQ_MetricCell *LinkCounters::*member;
} kCounters[] = {
    {"tessarc_tcp_datasets_received_total", "Datasets received.", &LinkCounters::datasetsIn},
    {"tessarc_tcp_datasets_sent_total", "Datasets written to the socket.", &LinkCounters::datasetsOut},
    {"tessarc_tcp_bytes_received_total", "Bytes received.", &LinkCounters::bytesIn},
    {"tessarc_tcp_bytes_sent_total", "Bytes written to the socket.", &LinkCounters::bytesOut},
    {"tessarc_tcp_stalls_total", "Times the send queue stalled.", &LinkCounters::stalls},
    {"tessarc_tcp_stalled_milliseconds_total", "Time the send queue spent stalled.", &LinkCounters::stalledMs},
    {"tessarc_tcp_datasets_shed_total", "Datasets shed instead of queued.", &LinkCounters::shed},
};
constexpr size_t kCounterCount = sizeof kCounters / sizeof kCounters[0];
const char *const kDropReasons[] = {"peer_closed", "error", "timeout", "send_timeout", "queue_full", "malformed"};
static_assert(sizeof kDropReasons / sizeof kDropReasons[0] == (size_t)Drop::Count, "a label per reason");
const char kClients[] = "clients";

TQ_Metric *s_counters[kCounterCount];
TQ_Metric *s_queued, *s_dropped, *s_reconnects;
/* Counted into when a cell could not be had; never exposed. */
TQ_MetricCell s_spare[kCounterCount];
TQ_MetricCell s_spareOne;
LinkCounters s_clients;
TQ_MetricCell *s_dropCells[2][(size_t)Drop::Count]; /* [forServer][reason] */
TQ_MetricCell *s_reconnectCell = &s_spareOne;

/* Links made and not yet freed, for the queued-bytes gauge. */
std::mutex s_liveMutex;
std::vector<Link *> s_live;

TQ_MetricCell *cellOr(TQ_MetricCell *cell, TQ_MetricCell *spare)
{
    return cell ? cell : spare;
}

void fill(LinkCounters &counters, const char *label)
{
    const char *values[] = {label};
    for (size_t i = 0; i < kCounterCount; i++)
        counters.*kCounters[i].member = cellOr(TQ_metricCell(s_counters[i], values), &s_spare[i]);
}

/* Queued bytes per server link name (a redialled link may briefly share
 * its name with the one that ended) and over client links. */
void collectQueued(void *, TQ_MetricWriter *writer)
{
    std::vector<std::pair<std::string, uint64_t>> byLink;
    uint64_t clients = 0;
    {
        std::lock_guard<std::mutex> live(s_liveMutex);
        for (Link *link : s_live) {
            uint64_t queued;
            {
                std::lock_guard<std::mutex> lock(link->mutex);
                queued = link->queuedBytes;
            }
            if (!link->forServer) {
                clients += queued;
                continue;
            }
            auto it =
                std::find_if(byLink.begin(), byLink.end(), [link](const auto &e) { return e.first == link->name; });
            if (it == byLink.end())
                byLink.emplace_back(link->name, queued);
            else
                it->second += queued;
        }
    }
    for (const auto &entry : byLink) {
        const char *values[] = {entry.first.c_str()};
        TQ_metricWriteSample(writer, values, (double)entry.second);
    }
    const char *values[] = {kClients};
    TQ_metricWriteSample(writer, values, (double)clients);
}

} /* namespace */

void tcpMetricsStart()
{
    for (size_t i = 0; i < kCounterCount; i++)
        s_counters[i] = TQ_metricRegister(kCounters[i].name, kCounters[i].help, TQ_METRIC_COUNTER, "link");
    fill(s_clients, kClients);
    s_queued = TQ_metricRegisterCollector("tessarc_tcp_queued_bytes", "Bytes queued to send.", TQ_METRIC_GAUGE, "link",
                                          collectQueued, nullptr);
    s_dropped = TQ_metricRegister("tessarc_tcp_links_dropped_total", "Open links dropped, by kind and reason.",
                                  TQ_METRIC_COUNTER, "kind,reason");
    for (int server = 0; server < 2; server++) {
        for (size_t why = 0; why < (size_t)Drop::Count; why++) {
            const char *values[] = {server ? "server" : "client", kDropReasons[why]};
            s_dropCells[server][why] = cellOr(TQ_metricCell(s_dropped, values), &s_spareOne);
        }
    }
    s_reconnects = TQ_metricRegister("tessarc_tcp_reconnects_total", "Redials of server peers after a link ended.",
                                     TQ_METRIC_COUNTER, nullptr);
    s_reconnectCell = cellOr(TQ_metricCell(s_reconnects, nullptr), &s_spareOne);
}

void tcpMetricsStop()
{
    TQ_metricUnregister(s_queued);
    s_queued = nullptr;
    {
        std::lock_guard<std::mutex> live(s_liveMutex);
        s_live.clear();
    }
    for (TQ_Metric *&metric : s_counters) {
        TQ_metricUnregister(metric);
        metric = nullptr;
    }
    TQ_metricUnregister(s_dropped);
    TQ_metricUnregister(s_reconnects);
    s_dropped = s_reconnects = nullptr;
    s_reconnectCell = &s_spareOne;
    for (auto &cells : s_dropCells)
        std::fill(std::begin(cells), std::end(cells), &s_spareOne);
}

void tcpMetricsLinkMade(Link *link)
{
    if (link->forServer)
        fill(link->counters, link->name);
    else
        link->counters = s_clients;
    std::lock_guard<std::mutex> live(s_liveMutex);
    s_live.push_back(link);
}

void tcpMetricsLinkGone(Link *link)
{
    bool shared = false;
    {
        std::lock_guard<std::mutex> live(s_liveMutex);
        s_live.erase(std::remove(s_live.begin(), s_live.end(), link), s_live.end());
        for (Link *other : s_live)
            shared = shared || (other->forServer && strcmp(other->name, link->name) == 0);
    }
    /* The series outlive a link only while another link of the same name
     * still counts into them. */
    if (!link->forServer || shared)
        return;
    for (size_t i = 0; i < kCounterCount; i++)
        TQ_metricRemoveCell(s_counters[i], link->counters.*kCounters[i].member);
}

void tcpMetricsDropped(Link *link, Drop why)
{
    if (link->added)
        TQ_metricAdd(s_dropCells[link->forServer ? 1 : 0][(size_t)why], 1);
}

void tcpMetricsReconnect()
{
    TQ_metricAdd(s_reconnectCell, 1);
}

void tcpMetricsStall(Link *link)
{
    TQ_metricAdd(link->counters.stalls, 1);
}

void tcpMetricsStalledTime(Link *link, uint64_t ms)
{
    TQ_metricAdd(link->counters.stalledMs, (int64_t)ms);
}

void tcpMetricsShed(Link *link, uint64_t datasets)
{
    TQ_metricAdd(link->counters.shed, (int64_t)datasets);
}

} /* namespace tcp */
