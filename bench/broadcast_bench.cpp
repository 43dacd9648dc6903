/* Broadcast costs with 1, 8 and 64 server peers: a service's broadcast
 * (sequence number and candidate selection), the receipt of a new
 * broadcast (record, delivery, forward with neighbour and haveIt
 * filtering), and the receipt of a duplicate (one lookup under the
 * broadcast lock). Peers are in-process links whose send only counts. */
#include <benchmark/benchmark.h>

#include <tessarc/server.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

/* ---- An in-process protocol ---- */

TQ_Allocator g_allocator;
TQ_Server_ProtocolCallbacks *g_callbacks = nullptr;
uint64_t g_sent = 0;

int run(TQ_Server_ProtocolCallbacks *callbacks)
{
    g_callbacks = callbacks;
    return 1;
}
void nothing() {}
void protocolDataset(TQ_Connection *, TQ_Buffer *) {}
TQ_Server_Protocol g_protocol = {nullptr, nullptr, run,     nothing,         nothing,
                                 nullptr, nullptr, nullptr, protocolDataset, "bench"};
void openInterface(TQ_Interface *) {}
const TQ_InterfaceOps g_interfaceOps = {nullptr, nullptr, openInterface};
TQ_Interface g_interface = {&g_interfaceOps, &g_protocol, "bench"};
void linkSend(TQ_Connection *, TQ_Buffer *)
{
    g_sent++;
}
void linkOp(TQ_Connection *) {}
const TQ_ConnectionOps g_connectionOps = {nullptr, nullptr, linkOp, linkOp};

/* A service of type 7 that takes every dataset and does nothing. */
const uint8_t kType = 7;
int32_t preinit(TQ_Server_ServiceApi *)
{
    return 1;
}
void nodeEvent(TQ_Server_Node *) {}
void onDataset(TQ_Server_Node *, TQ_Buffer *, TQ_TreeSet *) {}
TQ_Server_Service g_service = {preinit, nothing, nodeEvent, nodeEvent, onDataset, onDataset,
                               nothing, nothing, "bench",   nullptr,   0,         kType};

TQ_Buffer *buffer(const std::vector<uint8_t> &bytes)
{
    TQ_Buffer *b = TQ_bufferAcquire(g_allocator.allocBuffer(&g_allocator, (uint32_t)bytes.size()));
    TQ_BufferIter it;
    TQ_bufferInitIter(b, &it);
    TQ_bufferCopyTo(&it, bytes.data(), (uint32_t)bytes.size());
    return b;
}

void receive(TQ_Connection *connection, const std::vector<uint8_t> &bytes)
{
    TQ_Buffer *b = buffer(bytes);
    g_callbacks->receive(connection, b);
    TQ_bufferRelease(b);
}

/* A basic dataset: subtype, then `body`. */
std::vector<uint8_t> basic(uint8_t subtype, const std::vector<uint8_t> &body)
{
    std::vector<uint8_t> b(9 + body.size());
    uint32_t n = (uint32_t)b.size();
    std::memcpy(b.data(), &n, 4);
    b[4] = TQ_DATASET_BASIC;
    b[5] = TQ_FLAG_RELIABLE;
    b[8] = subtype;
    std::copy(body.begin(), body.end(), b.begin() + 9);
    return b;
}

/* The server peers linked now; peer i has the identifier with bytes i+1.
 * Links are added or taken down to the count each benchmark asks for. */
std::vector<TQ_Connection *> g_links;

void linkPeers(int64_t wanted)
{
    size_t count = (size_t)wanted;
    if (!g_callbacks) {
        initMallocAllocator(&g_allocator);
        TQ_Server_init(&g_allocator);
        TQ_logSetLevel(&g_TQ_serverLog, TQ_LOG_ERROR);
        TQ_Server_addProtocol(&g_protocol);
        TQ_Server_addService(&g_service);
        TQ_Server_startCommunication();
    }
    while (g_links.size() < count) {
        TQ_Connection *c = new TQ_Connection();
        TQ_connectionInit(c, &g_interface);
        c->ops = &g_connectionOps;
        c->send = linkSend;
        c->name = "peer";
        c->isServer = 1;
        g_callbacks->addConnection(c);
        receive(c, basic(0, {1, 2, 0, 1, 0, 'T', 'e', 's', 's', 'a', 'r', 'c', 0}));
        receive(c, basic(1, {1}));
        std::vector<uint8_t> uuid = {0, 0, 0};
        uuid.insert(uuid.end(), 12, (uint8_t)(g_links.size() + 1));
        uuid.insert(uuid.end(), {'p', 0});
        receive(c, basic(3, uuid));
        g_links.push_back(c);
    }
    while (g_links.size() > count) {
        TQ_Connection *c = g_links.back();
        g_links.pop_back();
        TQ_connectionInvalidate(c);
        g_callbacks->removeConnection(c);
        TQ_connectionDestroy(c);
        delete c;
    }
    TQ_Uuid last;
    std::memset(&last, (int)count, sizeof last);
    TQ_Server_Node *node = TQ_Server_getServer(&last);
    if (!node)
        abort(); /* the handshake did not admit the peer */
    node->release(node);
}

std::vector<uint8_t> broadcastBytes(uint8_t flags, uint8_t origin, uint32_t sequence)
{
    TQ_BroadcastHeader h;
    std::memset(&h, 0, sizeof h);
    h.header = {48, kType, flags, 0};
    h.ttl = 4;
    h.groupInfoLength = 4;
    h.groupInfoOffset = 40;
    std::memset(&h.origin, origin, sizeof h.origin);
    h.sequence = sequence;
    std::vector<uint8_t> b((uint8_t *)&h, (uint8_t *)&h + sizeof h);
    b.resize(48, 0);
    return b;
}

/* ---- Benchmarks ---- */

void BM_Broadcast(benchmark::State &state)
{
    linkPeers(state.range(0));
    TQ_Buffer *dataset = buffer(broadcastBytes(0, 0, 0));
    const uint8_t clear = 0;
    for (auto _ : state) {
        TQ_BufferIter it;
        TQ_bufferInitIter(dataset, &it);
        TQ_bufferSkip(&it, offsetof(TQ_DatasetHeader, flags));
        TQ_bufferCopyTo(&it, &clear, 1);
        TQ_Server_broadcast(dataset, nullptr, nullptr);
    }
    TQ_bufferRelease(dataset);
    state.SetItemsProcessed(state.iterations());
}

/* Broadcasts never seen before from the first peer: the origin's first
 * byte is `origin`, the sequence number counts on from the last call's. */
void receiveNew(benchmark::State &state, uint8_t origin)
{
    std::vector<uint8_t> bytes = broadcastBytes(TQ_FLAG_BROADCAST, origin, 0);
    static uint32_t sequence = 0;
    for (auto _ : state) {
        sequence++;
        std::memcpy(&bytes[36], &sequence, 4);
        receive(g_links[0], bytes);
    }
    state.SetItemsProcessed(state.iterations());
}

/* Every iteration a broadcast never seen: record, delivery, forward to
 * every other peer. Past the first 26,000 or so the records run at their
 * memory budget, each new one forgetting an old one. */
void BM_ReceiveNew(benchmark::State &state)
{
    linkPeers(state.range(0));
    receiveNew(state, 0xEE);
}

/* As BM_ReceiveNew, from a peer that has announced 65,535 neighbours of
 * more than 10 s standing, none of them linked here: what such a peer can
 * make each of its broadcasts cost. */
void BM_ReceiveNewFromCrowdedPeer(benchmark::State &state)
{
    linkPeers(state.range(0));
    static bool announced = false;
    if (!announced) {
        announced = true;
        std::vector<uint8_t> body = {0, 0xFF, 0xFF};
        for (uint32_t i = 0; i < 0xFFFF; i++) {
            uint8_t entry[16] = {0xC0};
            std::memcpy(entry + 4, &i, 4);
            uint32_t age = 20000;
            std::memcpy(entry + 12, &age, 4);
            body.insert(body.end(), entry, entry + 16);
        }
        receive(g_links[0], basic(4, body));
    }
    receiveNew(state, 0xEC);
}

/* Every iteration the same broadcast again: the duplicate check, the
 * second hook and a forward that finds it done. */
void BM_ReceiveDuplicate(benchmark::State &state)
{
    linkPeers(state.range(0));
    std::vector<uint8_t> bytes = broadcastBytes(TQ_FLAG_BROADCAST, 0xDD, 1);
    receive(g_links[0], bytes);
    for (auto _ : state)
        receive(g_links[0], bytes);
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_Broadcast)->Arg(1)->Arg(8)->Arg(64);
BENCHMARK(BM_ReceiveNew)->Arg(1)->Arg(8)->Arg(64);
BENCHMARK(BM_ReceiveNewFromCrowdedPeer)->Arg(8);
BENCHMARK(BM_ReceiveDuplicate)->Arg(1)->Arg(8)->Arg(64);

} // namespace
