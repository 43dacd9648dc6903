/* The scripted peer: see peer.h. */
#include "peer.h"

#include <cstring>
#include <set>

namespace tqtest {

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
const TQ_ConnectionOps g_connectionOps = {nullptr, nullptr, [](TQ_Connection *c) { record(c, Event::Close); },
                                          [](TQ_Connection *c) {
                                              record(c, Event::Destroy);
                                              if (linkOf(c)->dying)
                                                  remove(linkOf(c));
                                          }};

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
TQ_Server_Service g_service = {[](TQ_Server_ServiceApi *) { return 1; },
                               [] {},
                               serviceAddNode,
                               serviceRemoveNode,
                               [](TQ_Server_Node *, TQ_Buffer *, TQ_TreeSet *) {},
                               nullptr,
                               [] {},
                               [] {},
                               "peer-recorder",
                               nullptr,
                               -100,
                               0};

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

} // namespace tqtest
