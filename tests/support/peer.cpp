/* The scripted peer and its observers: see peer.h. */
#include "peer.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <list>
#include <set>

namespace tqtest {

std::function<void(const Delivery &)> g_onDelivery;

namespace {

TQ_Allocator g_allocator;
TQ_Server_ProtocolCallbacks *g_callbacks;
std::mutex g_linksLock;
std::set<Link *> g_links; /* guarded by g_linksLock */
NodeEvents g_nodeEvents;

int peerRun(TQ_Server_ProtocolCallbacks *callbacks)
{
    g_callbacks = callbacks;
    return 1;
}
/* Teardown removes what is still linked, as a protocol does in destroy. */
void peerDestroy()
{
    std::set<Link *> left;
    {
        std::lock_guard<std::mutex> guard(g_linksLock);
        left = g_links;
    }
    for (Link *link : left)
        remove(link);
}
TQ_Server_Protocol g_protocol = {
    nullptr, nullptr, peerRun, [] {}, peerDestroy, nullptr, nullptr, nullptr, [](TQ_Connection *, TQ_Buffer *) {},
    "peer"};
const TQ_InterfaceOps g_interfaceOps = {nullptr, nullptr, [](TQ_Interface *) {}};
TQ_Interface g_interface = {&g_interfaceOps, &g_protocol, "loop"};

Link *linkOf(TQ_Connection *connection)
{
    return static_cast<Link *>(connection->moduleData);
}
void record(TQ_Connection *connection, Event::Kind kind, Bytes bytes = {})
{
    Link *link = linkOf(connection);
    if (kind != Event::Send)
        (kind == Event::Close ? link->closes : link->destroys)++;
    std::lock_guard<std::mutex> guard(link->lock);
    link->events.push_back(Event{kind, std::move(bytes)});
}
void linkSend(TQ_Connection *connection, TQ_Buffer *dataset)
{
    record(connection, Event::Send, bytesOf(dataset));
    if (linkOf(connection)->dying)
        TQ_connectionInvalidate(connection);
}
void linkDestroy(TQ_Connection *connection)
{
    record(connection, Event::Destroy);
    if (linkOf(connection)->dying)
        remove(linkOf(connection));
}
const TQ_ConnectionOps g_connectionOps = {nullptr, nullptr, [](TQ_Connection *c) { record(c, Event::Close); },
                                          linkDestroy};

/* The recording service: node events into g_nodeEvents. */
void serviceAddNode(TQ_Server_Node *node)
{
    std::lock_guard<std::mutex> guard(g_nodeEvents.lock);
    g_nodeEvents.added.push_back(node);
    if (g_nodeEvents.holdServers && node->isServer) {
        EXPECT_EQ(node, node->acquire(node));
        g_nodeEvents.held.push_back(node);
    }
}
void serviceRemoveNode(TQ_Server_Node *node)
{
    std::lock_guard<std::mutex> guard(g_nodeEvents.lock);
    g_nodeEvents.removed.push_back(node);
}
int32_t preinitAccepts(TQ_Server_ServiceApi *)
{
    return 1;
}
void noDataset(TQ_Server_Node *, TQ_Buffer *, TQ_TreeSet *) {}
TQ_Server_Service g_service = {preinitAccepts, [] {}, serviceAddNode,  serviceRemoveNode, noDataset, nullptr,
                               [] {},          [] {}, "peer-recorder", nullptr,           -100,      0};

/* A basic dataset: `fixed` zeroed bytes with header and subtype, then `text`. */
Bytes basic(uint8_t subtype, size_t fixed, const std::string *text = nullptr, uint8_t extraFlags = 0)
{
    Bytes b(fixed + (text ? text->size() + 1 : 0), 0);
    TQ_wirePutHeader(b.data(), (uint32_t)b.size(), TQ_DATASET_BASIC, (uint8_t)(TQ_FLAG_RELIABLE | extraFlags));
    b[TQ_BASIC_SUBTYPE_OFFSET] = subtype;
    if (text)
        std::memcpy(&b[fixed], text->c_str(), text->size() + 1);
    return b;
}

std::mutex g_lock;
std::vector<Delivery> g_deliveries;  /* guarded by g_lock */
std::vector<std::string> g_messages; /* guarded by g_lock */
std::list<TQ_Server_Service> g_services;

void deliver(TQ_Server_Node *node, TQ_Buffer *dataset, TQ_TreeSet *groups, bool alt)
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
    deliver(node, dataset, groups, false);
}
void onRepeat(TQ_Server_Node *node, TQ_Buffer *dataset, TQ_TreeSet *groups)
{
    deliver(node, dataset, groups, true);
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

std::vector<Bytes> Link::takeSent()
{
    std::vector<Bytes> sent;
    for (Event &e : takeEvents())
        if (e.kind == Event::Send)
            sent.push_back(std::move(e.bytes));
    return sent;
}

std::vector<Event> Link::takeEvents()
{
    std::lock_guard<std::mutex> guard(lock);
    return std::move(events);
}

Link *connect(const std::string &name, bool isServer)
{
    Link *link = new Link;
    link->name = name;
    TQ_connectionInit(&link->conn, &g_interface);
    link->conn.ops = &g_connectionOps;
    link->conn.send = linkSend;
    link->conn.name = link->name.c_str();
    link->conn.isServer = isServer;
    link->conn.moduleData = link;
    {
        std::lock_guard<std::mutex> guard(g_linksLock);
        g_links.insert(link);
    }
    g_callbacks->addConnection(&link->conn);
    return link;
}

void feed(Link *link, const Bytes &bytes)
{
    TQ_Buffer *dataset = toBuffer(bytes);
    g_callbacks->receive(&link->conn, dataset);
    TQ_bufferRelease(dataset);
}

void feedAll(Link *link, const std::vector<Bytes> &datasets)
{
    for (const Bytes &dataset : datasets)
        feed(link, dataset);
}

TQ_Buffer *toBuffer(const Bytes &bytes)
{
    TQ_Buffer *buffer = TQ_bufferAcquire(g_allocator.allocBuffer(&g_allocator, (uint32_t)bytes.size()));
    TQ_BufferIter it;
    TQ_bufferInitIter(buffer, &it);
    TQ_bufferCopyTo(&it, bytes.data(), (uint32_t)bytes.size());
    return buffer;
}

Bytes bytesOf(TQ_Buffer *buffer)
{
    Bytes bytes(TQ_bufferSize(buffer));
    TQ_BufferIter it;
    TQ_bufferInitIter(buffer, &it);
    TQ_bufferCopyFrom(bytes.data(), &it, (uint32_t)bytes.size());
    return bytes;
}

void remove(Link *link)
{
    {
        std::lock_guard<std::mutex> guard(g_linksLock);
        if (!g_links.erase(link))
            return;
    }
    TQ_connectionInvalidate(&link->conn);
    g_callbacks->removeConnection(&link->conn);
    TQ_connectionDestroy(&link->conn);
    delete link;
}

TQ_Server_Node *nodeOf(Link *link)
{
    return __atomic_load_n(&link->conn.node, __ATOMIC_ACQUIRE);
}

Bytes netIdDataset(uint16_t major, uint16_t minor, const std::string &networkId)
{
    Bytes b = basic(TQ_BASIC_NETWORK_ID, TQ_NETID_TEXT_OFFSET, &networkId);
    b[TQ_NETID_MARKER_OFFSET] = 1;
    TQ_wirePutU16(&b[TQ_NETID_MAJOR_OFFSET], major);
    TQ_wirePutU16(&b[TQ_NETID_MINOR_OFFSET], minor);
    return b;
}

Bytes verdictDataset(uint8_t verdict)
{
    Bytes b = basic(TQ_BASIC_ACCEPT, TQ_ACCEPT_SIZE);
    b[TQ_ACCEPT_VERDICT_OFFSET] = verdict;
    return b;
}

Bytes nodeNameDataset(const std::string &name)
{
    return basic(TQ_BASIC_NODE_NAME, TQ_NODE_NAME_TEXT_OFFSET, &name);
}

Bytes uuidDataset(const TQ_Uuid &uuid, const std::string &name, uint8_t extraFlags)
{
    Bytes b = basic(TQ_BASIC_UUID, TQ_UUID_DATASET_NAME_OFFSET, &name, extraFlags);
    std::memcpy(&b[TQ_UUID_DATASET_ID_OFFSET], &uuid, TQ_WIRE_UUID_SIZE);
    return b;
}

Bytes neighbourDataset(uint8_t subtype, const std::vector<Neighbour> &entries)
{
    Bytes b = basic(subtype, TQ_NEIGHBOURS_FIXED_SIZE + TQ_NEIGHBOUR_ENTRY_SIZE * entries.size());
    TQ_wirePutU16(&b[TQ_NEIGHBOURS_COUNT_OFFSET], (uint16_t)entries.size());
    for (size_t i = 0; i < entries.size(); i++) {
        uint8_t *at = &b[TQ_NEIGHBOURS_FIXED_SIZE + TQ_NEIGHBOUR_ENTRY_SIZE * i];
        std::memcpy(at, &entries[i].uuid, TQ_WIRE_UUID_SIZE);
        TQ_wirePutU32(at + TQ_NEIGHBOUR_AGE_OFFSET, entries[i].age);
    }
    return b;
}

TQ_Uuid makeUuid(uint8_t seed)
{
    TQ_Uuid uuid;
    for (int i = 0; i < 12; i++)
        reinterpret_cast<uint8_t *>(&uuid)[i] = (uint8_t)(seed + i);
    return uuid;
}

TQ_Server_Node *shakeAsServer(Link *link, const TQ_Uuid &uuid, const std::string &name)
{
    feedAll(link, {netIdDataset(TQ_WIRE_VERSION_MAJOR, TQ_WIRE_VERSION_MINOR, "Tessarc"), verdictDataset(1),
                   uuidDataset(uuid, name)});
    return nodeOf(link);
}
TQ_Server_Node *shakeAsClient(Link *link, const std::string &name)
{
    feedAll(link, {netIdDataset(TQ_WIRE_VERSION_MAJOR, TQ_WIRE_VERSION_MINOR, "Tessarc"), verdictDataset(1),
                   nodeNameDataset(name)});
    return nodeOf(link);
}

void NodeEvents::clear()
{
    std::lock_guard<std::mutex> guard(lock);
    added.clear();
    removed.clear();
}

void NodeEvents::releaseHeld()
{
    std::vector<TQ_Server_Node *> nodes;
    {
        std::lock_guard<std::mutex> guard(lock);
        nodes.swap(held);
    }
    for (TQ_Server_Node *node : nodes)
        node->release(node);
}

NodeEvents &nodeEvents()
{
    return g_nodeEvents;
}

void ServerEnvironment::SetUp()
{
    ASSERT_EQ(1, initMallocAllocator(&g_allocator));
    TQ_Server_init(&g_allocator);
    TQ_Server_addProtocol(&g_protocol);
    ASSERT_EQ(1, TQ_Server_addService(&g_service));
    TQ_Server_setName("alpha");
    TQ_Server_startCommunication();
    ASSERT_NE(nullptr, g_callbacks);
}

void ServerEnvironment::TearDown()
{
    g_nodeEvents.releaseHeld();
    TQ_Server_stopCommunication();
    TQ_Server_destroyCommunication();
    TQ_Server_destroy();
    g_allocator.destroy(&g_allocator);
}

void addRecordingService(uint8_t type, bool withAlt)
{
    for (const TQ_Server_Service &service : g_services)
        if (service.datasetType == type)
            return;
    g_services.push_back(TQ_Server_Service{preinitAccepts, [] {}, nodeEvent, nodeEvent, onDataset,
                                           withAlt ? onRepeat : nullptr, [] {}, [] {}, "recorder", nullptr, 0, type});
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
