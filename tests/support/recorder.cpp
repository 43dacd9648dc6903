/* Observers for dataset delivery: see recorder.h. */
#include "recorder.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>

namespace tqtest {

std::function<void(const Delivery &)> g_onDelivery;

namespace {

std::mutex g_lock;
std::vector<Delivery> g_deliveries;  /* guarded by g_lock */
std::vector<std::string> g_messages; /* guarded by g_lock */
std::list<TQ_Server_Service> g_services;

void record(TQ_Server_Node *node, TQ_Buffer *dataset, TQ_TreeSet *groups, bool alt)
{
    Delivery d{node, bytesOf(dataset), alt, groups ? (int)TQ_treeSetSize(groups) : -1, groups};
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_deliveries.push_back(d);
    }
    if (g_onDelivery)
        g_onDelivery(d);
}
void onDataset(TQ_Server_Node *node, TQ_Buffer *dataset, TQ_TreeSet *groups)
{
    record(node, dataset, groups, false);
}
void onRepeat(TQ_Server_Node *node, TQ_Buffer *dataset, TQ_TreeSet *groups)
{
    record(node, dataset, groups, true);
}
void nodeEvent(TQ_Server_Node *) {}

int capture(void *, int level, const char *format, va_list args)
{
    char text[512];
    vsnprintf(text, sizeof text, format, args);
    /* The logger writes its header and the message in separate calls; a message is complete at its newline. */
    static std::string pending;
    std::lock_guard<std::mutex> guard(g_lock);
    pending += text;
    if (!pending.empty() && pending.back() == '\n') {
        g_messages.push_back(std::to_string(level) + " " + pending);
        pending.clear();
    }
    return 0;
}

} // namespace

void addRecordingService(uint8_t type, bool withAlt)
{
    for (const TQ_Server_Service &service : g_services)
        if (service.datasetType == type)
            return;
    g_services.push_back(TQ_Server_Service{[](TQ_Server_ServiceApi *) { return 1; }, [] {}, nodeEvent, nodeEvent,
                                           onDataset, withAlt ? onRepeat : nullptr, [] {}, [] {}, "recorder", nullptr,
                                           0, type});
    ASSERT_EQ(1, TQ_Server_addService(&g_services.back()));
}

std::vector<Delivery> takeDeliveries()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return std::move(g_deliveries);
}

Delivery takeOne()
{
    std::vector<Delivery> got = takeDeliveries();
    EXPECT_EQ(1u, got.size());
    return got.size() == 1 ? got[0] : Delivery{};
}

LogCapture::LogCapture()
{
    take();
    TQ_logSetOutput(&g_TQ_serverLog, capture);
}

LogCapture::~LogCapture()
{
    TQ_logSetOutput(&g_TQ_serverLog, TQ_LOGOUTPUT_PRINTF_func);
}

int LogCapture::count(int level, const std::string &text) const
{
    std::lock_guard<std::mutex> guard(g_lock);
    int n = 0;
    for (const std::string &m : g_messages)
        n += m.compare(0, 2, std::to_string(level) + " ") == 0 && m.find(text) != std::string::npos;
    return n;
}

std::vector<std::string> LogCapture::take()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return std::move(g_messages);
}

Bytes broadcastDataset(uint8_t type, uint16_t ttl, const TQ_Uuid &origin, uint32_t sequence, uint8_t flags,
                       uint32_t payload)
{
    TQ_BroadcastHeader h{};
    h.header.length = (uint32_t)(sizeof h + 4 + payload);
    h.header.type = type;
    h.header.flags = flags;
    h.subtype = 0x01020304;
    h.ttl = ttl;
    h.groupInfoLength = 4;
    h.groupInfoOffset = sizeof h;
    h.origin = origin;
    h.sequence = sequence;
    Bytes b((const uint8_t *)&h, (const uint8_t *)&h + sizeof h);
    b.insert(b.end(), 4, 0xAA);
    for (uint32_t i = 0; i < payload; i++)
        b.push_back((uint8_t)(0x11 + i));
    return b;
}

TQ_BroadcastHeader headerOf(const Bytes &bytes)
{
    TQ_BroadcastHeader h{};
    std::memcpy(&h, bytes.data(), std::min(bytes.size(), sizeof h));
    return h;
}

} // namespace tqtest
