/* Broadcast through scripted server and client peers. */
#include "peer.h"

#include <atomic>
#include <cstring>
#include <set>

using namespace tqtest;

static auto *const g_environment = ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

namespace {

const uint8_t kType = 7;

/* Server peers s0, s1, ... (identifiers makeUuid(0x20 * (i + 1))) and one client peer, handshakes done and their
 * datasets drained. */
struct Mesh {
    std::vector<Link *> servers;
    std::vector<TQ_Server_Node *> nodes;
    Link *client;

    explicit Mesh(int count)
    {
        addRecordingService(kType, true);
        for (int i = 0; i < count; i++) {
            servers.push_back(connect("s" + std::to_string(i), true));
            nodes.push_back(shakeAsServer(servers.back(), uuid(i), "s" + std::to_string(i)));
            EXPECT_NE(nullptr, nodes.back());
        }
        client = connect("c", false);
        EXPECT_NE(nullptr, shakeAsClient(client, "c"));
        drain();
    }
    ~Mesh()
    {
        for (Link *link : servers)
            remove(link);
        remove(client);
    }
    static TQ_Uuid uuid(int i) { return makeUuid((uint8_t)(0x20 * (i + 1))); }
    void drain()
    {
        for (Link *link : servers)
            link->takeEvents();
        client->takeEvents();
        takeDeliveries();
    }
    /* Indices of the server links sent exactly `bytes` once, nothing else. */
    std::vector<int> receivers(const Bytes &bytes)
    {
        std::vector<int> who;
        for (size_t i = 0; i < servers.size(); i++) {
            std::vector<Bytes> sent = servers[i]->takeSent();
            for (const Bytes &b : sent)
                EXPECT_EQ(bytes, b) << "link s" << i;
            if (!sent.empty())
                who.push_back((int)i);
            EXPECT_GE(1u, sent.size()) << "link s" << i;
        }
        EXPECT_TRUE(client->takeSent().empty());
        return who;
    }
};

/* As the group filter leaves it (so repeats are delivered and passed on). */
Bytes filtered(Bytes bytes)
{
    std::memset(&bytes[headerOf(bytes).groupInfoOffset], 0, 4);
    return bytes;
}

/* A first copy as a receiving server passes it on: ttl down, hops up. */
Bytes aged(Bytes bytes)
{
    TQ_BroadcastHeader h = headerOf(bytes);
    h.ttl = h.ttl ? h.ttl - 1 : 0;
    h.hops++;
    std::memcpy(bytes.data(), &h, sizeof h);
    return filtered(bytes);
}

std::atomic<uint64_t> g_clock{0};
auto *const testClock = +[]() -> uint64_t { return g_clock.load(); };

} // namespace

TEST(Broadcast, GoesToEveryServerOnceAndSentToNamesEachOnce)
{
    Mesh mesh(4);
    LogCapture log;
    TQ_TreeSet groups;
    TQ_treeSetInit(&groups, TQ_ptrCompare);
    TQ_List sentTo;
    TQ_listInit(&sentTo);

    Bytes built = broadcastDataset(kType, 3, TQ_Uuid{}, 0, 0);
    TQ_Buffer *buffer = toBuffer(built);
    TQ_Server_getServiceApi()->broadcast(buffer, &groups, &sentTo);
    Bytes first = bytesOf(buffer);
    TQ_BroadcastHeader h = headerOf(first);
    EXPECT_EQ(TQ_FLAG_BROADCAST, h.header.flags);
    EXPECT_EQ(0, h.hops);
    EXPECT_EQ(3, h.ttl);
    EXPECT_EQ(0, std::memcmp(&h.origin, TQ_Server_getUuid(), 12));
    EXPECT_TRUE(std::equal(first.begin() + 40, first.end(), built.begin() + 40));
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), mesh.receivers(first));
    /* sentTo holds each server's identifier once, in blocks the caller frees. */
    std::set<int> listed;
    TQ_ListIterator it;
    for (TQ_listBegin(&sentTo, &it); TQ_listHasNext(&it); TQ_listNext(&it)) {
        for (int i = 0; i < 4; i++)
            if (std::memcmp(it.m_value, &mesh.nodes[i]->id, 12) == 0)
                listed.insert(i);
        g_TQ_serverAllocator->freeBlock32(g_TQ_serverAllocator, it.m_value);
    }
    EXPECT_EQ(4u, TQ_listSize(&sentTo));
    EXPECT_EQ(4u, listed.size());
    TQ_listDestroy(&sentTo);

    /* Refused, nothing goes out: flagged already, no hop allowed. */
    TQ_Server_broadcast(buffer, &groups, nullptr);
    EXPECT_EQ(1, log.count(TQ_LOG_WARN, "Not broadcasting a dataset that already has the broadcast flag set\n"));
    TQ_bufferRelease(buffer);
    Bytes noTtl = broadcastDataset(kType, 0, TQ_Uuid{}, 0, 0);
    buffer = toBuffer(noTtl);
    TQ_Server_broadcast(buffer, &groups, nullptr);
    EXPECT_EQ(noTtl, bytesOf(buffer));
    TQ_bufferRelease(buffer);
    EXPECT_EQ(1, log.count(TQ_LOG_WARN, "Not broadcasting a dataset with a ttl of 0\n"));
    EXPECT_TRUE(mesh.receivers({}).empty());
    TQ_treeSetDestroy(&groups);
}

TEST(Broadcast, ReceiptDeliversOnceForwardsOnceAndNeverBack)
{
    Mesh mesh(4);
    LogCapture log;
    TQ_Uuid origin = makeUuid(0xE0);

    /* New from s0: to handleDataset with the default group, aged, and on to every other server. */
    Bytes b = broadcastDataset(kType, 3, origin, 1);
    feed(mesh.servers[0], b);
    Delivery got = takeOne();
    EXPECT_FALSE(got.alt);
    EXPECT_EQ(mesh.nodes[0], got.node);
    EXPECT_EQ(1, got.groups);
    EXPECT_EQ(aged(b), got.bytes);
    EXPECT_EQ((std::vector<int>{1, 2, 3}), mesh.receivers(aged(b)));

    /* The same from s2: to handleDatasetAlt as it arrived, not forwarded. */
    feed(mesh.servers[2], b);
    got = takeOne();
    EXPECT_TRUE(got.alt);
    EXPECT_EQ(filtered(b), got.bytes);
    EXPECT_EQ(mesh.nodes[2], got.node);
    EXPECT_TRUE(mesh.receivers({}).empty());

    /* s1's copy arrives while s3's is being delivered: forwarded once, as s1's copy arrived, to neither sender. */
    Bytes b2 = broadcastDataset(kType, 3, origin, 2);
    g_onDelivery = [&](const Delivery &) {
        g_onDelivery = nullptr;
        feed(mesh.servers[1], b2);
    };
    feed(mesh.servers[3], b2);
    std::vector<Delivery> both = takeDeliveries();
    ASSERT_EQ(2u, both.size());
    EXPECT_TRUE(!both[0].alt && both[1].alt && both[1].node == mesh.nodes[1]);
    EXPECT_EQ(filtered(b2), both[1].bytes);
    EXPECT_EQ((std::vector<int>{0, 2}), mesh.receivers(filtered(b2)));

    /* Injected by a service with its own groups: no filter runs. */
    Bytes b3 = broadcastDataset(kType, 3, origin, 3);
    TQ_Buffer *held = toBuffer(b3);
    TQ_TreeSet mine;
    TQ_treeSetInit(&mine, TQ_ptrCompare);
    TQ_Server_handleDataset(mesh.nodes[1], held, &mine);
    got = takeOne();
    EXPECT_EQ(&mine, got.set);
    Bytes kept = aged(b3);
    std::fill(kept.begin() + 40, kept.begin() + 44, 0xAA);
    EXPECT_EQ(kept, got.bytes);
    EXPECT_EQ((std::vector<int>{0, 2, 3}), mesh.receivers(kept));
    TQ_bufferRelease(held);
    TQ_treeSetDestroy(&mine);

    /* A type no service owns is still forwarded. */
    Bytes orphan = broadcastDataset(9, 3, origin, 4);
    feed(mesh.servers[0], orphan);
    EXPECT_EQ((std::vector<int>{1, 2, 3}), mesh.receivers(aged(orphan)));

    /* ttl 1 arrives, is delivered with ttl 0 and goes no further. */
    feed(mesh.servers[0], broadcastDataset(kType, 1, origin, 11));
    EXPECT_EQ(0, headerOf(takeOne().bytes).ttl);
    EXPECT_TRUE(mesh.receivers({}).empty());
    /* A repeat with hops to spare is forwarded, ttl and hops as they came. */
    Bytes later = broadcastDataset(kType, 3, origin, 11);
    feed(mesh.servers[1], later);
    got = takeOne();
    EXPECT_TRUE(got.alt);
    EXPECT_EQ(filtered(later), got.bytes);
    EXPECT_EQ((std::vector<int>{2, 3}), mesh.receivers(filtered(later)));

    /* Back at its origin, it is dropped. */
    feed(mesh.servers[0], broadcastDataset(kType, 3, *TQ_Server_getUuid(), 1));
    EXPECT_EQ(1, log.count(TQ_LOG_INFO, "Got a broadcast dataset that originated from this server\n"));
    EXPECT_TRUE(takeDeliveries().empty());
    EXPECT_TRUE(mesh.receivers({}).empty());

    /* Malformed broadcasts harm nothing and leave no record: the whole dataset with the same origin and sequence is new
     * afterwards. */
    Bytes whole = broadcastDataset(kType, 3, origin, 20);
    Bytes cut(whole.begin(), whole.begin() + 39);
    cut[0] = 39;
    Bytes outside = whole;
    outside[16] = 0xFF; /* group information length past the end */
    Bytes wrapped = whole;
    std::memset(&wrapped[16], 0xFF, 8); /* offset + length wrap round 32 bits */
    /* Group information over the header would be zeroed there by the group manager: dropped before any byte is
     * written. */
    Bytes over = whole;
    over[20] = 36;
    std::vector<Bytes> bad{cut, outside, wrapped, over};
    log.take();
    for (const Bytes &b : bad) {
        TQ_Buffer *buffer = toBuffer(b);
        TQ_Server_handleDataset(mesh.nodes[0], buffer, nullptr);
        EXPECT_EQ(b, bytesOf(buffer));
        TQ_bufferRelease(buffer);
    }
    EXPECT_EQ(1, log.count(TQ_LOG_ERROR, "broadcast dataset of 39 bytes: shorter than the 40-byte broadcast header"));
    EXPECT_EQ(2, log.count(TQ_LOG_ERROR, "lies outside it"));
    EXPECT_EQ(1, log.count(TQ_LOG_ERROR, "overlaps the 40-byte broadcast header"));
    EXPECT_EQ(4u, log.take().size());
    EXPECT_TRUE(takeDeliveries().empty());
    EXPECT_TRUE(mesh.receivers({}).empty());
    feed(mesh.servers[0], whole);
    EXPECT_FALSE(takeOne().alt);
    EXPECT_EQ(3u, mesh.receivers(aged(whole)).size());
    /* Empty group information is valid wherever it points. */
    Bytes empty = broadcastDataset(kType, 3, origin, 21);
    std::memset(&empty[16], 0, 4);
    std::memset(&empty[20], 0xFF, 4);
    feed(mesh.servers[0], empty);
    takeOne();
    Bytes emptyOut = empty;
    emptyOut[12] = 2, emptyOut[14] = 1; /* ttl and hops */
    EXPECT_EQ(3u, mesh.receivers(emptyOut).size());

    /* A forward asked for a dataset never received is an error. */
    held = toBuffer(broadcastDataset(kType, 3, origin, 99));
    TQ_Server_rebroadcast(mesh.nodes[0], held, nullptr, nullptr);
    EXPECT_EQ(1, log.count(TQ_LOG_ERROR, "Broadcast error! Dataset type = 7, subtype = 16909060\n"));
    EXPECT_TRUE(mesh.receivers({}).empty());
    TQ_bufferRelease(held);
    for (Link *link : mesh.servers)
        EXPECT_EQ(0, link->destroys.load());
}

TEST(Broadcast, NeighboursOfTheSenderOlderThanTenSecondsAreSkippedUpToTheBound)
{
    Mesh mesh(5);
    LogCapture log;
    TQ_Uuid origin = makeUuid(0xE4);
    /* s0 has had s1 for 20 s, s2 for 5 s and s3 from now; it also names two servers that are not linked here. Past the
     * bound of five, s4 is not stored, with one warning. */
    TQ_Server_setNeighbourLimit(5);
    feed(mesh.servers[0], neighbourDataset(4, {{makeUuid(0xF1), 20000},
                                               {Mesh::uuid(1), 20000},
                                               {Mesh::uuid(2), 5000},
                                               {makeUuid(0xF2), 20000},
                                               {Mesh::uuid(3), 0},
                                               {Mesh::uuid(4), 20000}}));
    feed(mesh.servers[0], neighbourDataset(4, {{Mesh::uuid(4), 20000}}));
    TQ_Server_setNeighbourLimit(TQ_SERVER_NEIGHBOUR_LIMIT);
    EXPECT_EQ(1, log.count(TQ_LOG_WARN, "announced more than 5 neighbours"));
    mesh.drain();

    /* Run on a held clock from the times the entries were given. */
    TQ_Server_ServerNode *s0 = reinterpret_cast<TQ_Server_ServerNode *>(mesh.nodes[0]);
    auto since = [&](int i) {
        TQ_Uuid u = Mesh::uuid(i);
        TQ_HashSetIterator it;
        EXPECT_EQ(1, TQ_hashSetFind(&s0->neighbours, &it, &u));
        return static_cast<TQ_Server_Neighbour *>(it.m_value)->since;
    };
    uint64_t since3 = since(3);
    if (since(1) + 20000 != since3)
        GTEST_SKIP() << "the monotonic clock is younger than 20 s";
    TQ_Server_setBroadcastTimeSource(testClock);
    g_clock = since3;
    Bytes b = broadcastDataset(kType, 3, origin, 1);
    feed(mesh.servers[0], b);
    EXPECT_EQ((std::vector<int>{2, 3, 4}), mesh.receivers(aged(b)));

    /* s3 has been a neighbour exactly 10000 ms, then 10001 ms. */
    g_clock = since3 + 10000;
    Bytes atLimit = broadcastDataset(kType, 3, origin, 2);
    feed(mesh.servers[0], atLimit);
    EXPECT_EQ((std::vector<int>{3, 4}), mesh.receivers(aged(atLimit)));
    g_clock = since3 + 10001;
    Bytes past = broadcastDataset(kType, 3, origin, 3);
    feed(mesh.servers[0], past);
    EXPECT_EQ((std::vector<int>{4}), mesh.receivers(aged(past)));
    EXPECT_EQ(3u, takeDeliveries().size());
    TQ_Server_setBroadcastTimeSource(nullptr);
}

TEST(Broadcast, RecordsExpireAndTheTableStaysBounded)
{
    Mesh mesh(2);
    LogCapture log;
    TQ_Uuid origin = makeUuid(0xE8);
    TQ_Server_setBroadcastTimeSource(testClock);
    const uint64_t t0 = uint64_t(1) << 40;
    /* Whether a copy of (origin, sequence) from s1 counts as new. */
    auto isNewFromS1 = [&](uint32_t sequence) {
        takeDeliveries();
        feed(mesh.servers[1], broadcastDataset(kType, 3, origin, sequence));
        bool isNew = !takeOne().alt;
        mesh.drain();
        return isNew;
    };
    auto fromS0 = [&](uint32_t sequence) {
        feed(mesh.servers[0], broadcastDataset(kType, 3, origin, sequence));
        mesh.drain();
    };

    /* A forwarded record lives until 10 s after the forward: a new record at exactly that time keeps it, one a
     * millisecond later sweeps it. */
    g_clock = t0;
    fromS0(1);
    g_clock = t0 + 10000;
    fromS0(2);
    EXPECT_FALSE(isNewFromS1(1));
    g_clock = t0 + 10001;
    fromS0(3);
    EXPECT_TRUE(isNewFromS1(1));
    EXPECT_FALSE(isNewFromS1(2));

    /* Past the budget the oldest records (by the millisecond) go first, with a warning at most every 10 s; 8 KiB holds
     * a few records. */
    g_clock = t0 + 100000;
    TQ_Server_setBroadcastRecordBudget(8192);
    log.take();
    uint32_t last = 100;
    while (log.count(TQ_LOG_WARN, "budget of 8192 bytes") == 0 && last < 150) {
        g_clock++;
        fromS0(++last);
    }
    ASSERT_GT(last, 103u);
    EXPECT_FALSE(isNewFromS1(last));
    EXPECT_FALSE(isNewFromS1(last - 1));
    EXPECT_TRUE(isNewFromS1(101));
    for (uint32_t i = 0; i < 20; i++)
        fromS0(200 + i);
    EXPECT_EQ(1, log.count(TQ_LOG_WARN, "budget of 8192 bytes"));
    g_clock += 10000;
    fromS0(300);
    EXPECT_EQ(2, log.count(TQ_LOG_WARN, "budget of 8192 bytes"));
    TQ_Server_setBroadcastRecordBudget(TQ_SERVER_BROADCAST_RECORD_BUDGET);
    TQ_Server_setBroadcastTimeSource(nullptr);
}
