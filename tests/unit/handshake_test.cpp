/* The handshake against scripted peers. */
#include "peer.h"

#include <cstring>

using namespace tqtest;

static auto *const g_environment = ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

namespace {

Bytes cat(Bytes head, const void *data, size_t size, Bytes tail = {})
{
    head.insert(head.end(), (const uint8_t *)data, (const uint8_t *)data + size);
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

Bytes oneNeighbour(uint8_t subtype, const TQ_Uuid &uuid)
{
    return cat({28, 0, 0, 0, 2, 0x80, 0, 0, subtype, 0, 1, 0}, &uuid, 12, {0, 0, 0, 0});
}

/* How a link ended: rejected (verdict 0 sent, closed, destroyed), closed without a word (the peer rejected), or
 * invalidated (destroyed only). */
enum Ending { Open, Rejected, Closed, Invalidated };
Ending endingOf(Link *link)
{
    std::vector<Event> events = link->takeEvents();
    if (link->destroys == 0)
        return Open;
    size_t n = events.size();
    EXPECT_EQ(1, link->destroys.load());
    EXPECT_EQ(Event::Destroy, events[n - 1].kind);
    if (link->closes == 0) {
        for (const Event &e : events)
            EXPECT_NE(verdictDataset(0), e.bytes);
        return Invalidated;
    }
    EXPECT_EQ(Event::Close, events[n - 2].kind);
    return n >= 3 && events[n - 3].bytes == verdictDataset(0) ? Rejected : Closed;
}

std::atomic<int> g_lower{0}, g_upper{0}, g_removed{0};
int g_canEncrypt = 1;
/* Counts which side starts encryption and which links it is told are gone. */
TQ_Server_Encryption g_provider = {[](TQ_Server_EncryptionContext *) { return 1; },
                                   [] {},
                                   [](TQ_Connection *) { return g_canEncrypt; },
                                   [](TQ_Connection *) { g_lower++; },
                                   [](TQ_Connection *) { g_upper++; },
                                   [](TQ_Connection *, TQ_Buffer *) { return 0; },
                                   [](TQ_Connection *) { g_removed++; }};

std::atomic<int> g_refusingDestroyed{0};
TQ_TreeSet *g_local;
bool g_matchNodeFirst = false;

} // namespace

TEST(Handshake, ServerAndClientPeersSeeExactBytes)
{
    const Bytes netId = {22, 0, 0, 0, 2, 0x80, 0, 0, 0, 1, 2, 0, 1, 0, 'T', 'e', 's', 's', 'a', 'r', 'c', 0};
    const Bytes accept = {10, 0, 0, 0, 2, 0x80, 0, 0, 1, 1};
    const Bytes groups = {9, 0, 0, 0, 4, 0x80, 0, 0, 0};
    const Bytes ownUuid =
        cat({30, 0, 0, 0, 2, 0x80, 0, 0, 3, 0, 0, 0}, TQ_Server_getUuid(), 12, {'a', 'l', 'p', 'h', 'a', 0});
    const TQ_Uuid uuid1 = makeUuid(0x10), uuid2 = makeUuid(0x40);

    Link *first = connect("s1", true);
    TQ_Server_Node *node1 = shakeAsServer(first, uuid1, "one");
    ASSERT_NE(nullptr, node1);
    EXPECT_EQ((std::vector<Bytes>{netId, accept, ownUuid, groups, {12, 0, 0, 0, 2, 0x80, 0, 0, 4, 0, 0, 0}}),
              first->takeSent());
    EXPECT_EQ(1, node1->isServer);
    EXPECT_STREQ("one", node1->name);
    EXPECT_EQ(0, memcmp(&uuid1, &node1->id, 12));
    EXPECT_EQ(1u, TQ_treeSetSize(&node1->groups));

    /* The peer's accept before its network ID; a version above 2.1. The first server hears of the second, the second
     * gets a list of one. */
    Link *second = connect("s2", true);
    feedAll(second, {verdictDataset(1), netIdDataset(3, 0, "Tessarc"), uuidDataset(uuid2, "two")});
    ASSERT_NE(nullptr, nodeOf(second));
    EXPECT_EQ(3, nodeOf(second)->versionMajor);
    EXPECT_EQ(std::vector<Bytes>{oneNeighbour(4, uuid2)}, first->takeSent());
    std::vector<Bytes> toSecond = second->takeSent();
    ASSERT_EQ(5u, toSecond.size());
    const Bytes list = oneNeighbour(4, uuid1); /* its age is the first node's, not 0 */
    EXPECT_EQ(Bytes(list.begin(), list.begin() + 24), Bytes(toSecond[4].begin(), toSecond[4].begin() + 24));

    /* Clients: counter identifiers, texts cut to 255 characters and ended at the last byte when the peer sent no
     * NUL. */
    Link *c1 = connect("c1", false), *c2 = connect("c2", false);
    Bytes noNul = nodeNameDataset("bob");
    noNul.pop_back();
    noNul[0]--;
    feedAll(c1, {netIdDataset(2, 1, "*"), verdictDataset(1), noNul});
    TQ_Server_Node *client1 = nodeOf(c1), *client2 = shakeAsClient(c2, std::string(300, 'x'));
    ASSERT_TRUE(client1 && client2);
    EXPECT_EQ((std::vector<Bytes>{netId, accept, groups}), c1->takeSent());
    EXPECT_STREQ("bo", client1->name);
    EXPECT_EQ(std::string(255, 'x'), client2->name);
    uint64_t id1, id2;
    memcpy(&id1, &client1->id, 8);
    memcpy(&id2, &client2->id, 8);
    EXPECT_EQ(id1 + 1, id2);
    EXPECT_EQ(0, memcmp("\0\0\0\0", (uint8_t *)&client2->id + 8, 4));
    TQ_Server_Node *found = TQ_Server_getClient(&client2->id);
    EXPECT_EQ(client2, found);
    found->release(found);

    /* Losing the first server is announced to the second. */
    nodeEvents().clear();
    remove(first);
    EXPECT_EQ(std::vector<Bytes>{oneNeighbour(5, uuid1)}, second->takeSent());
    for (Link *link : {second, c1, c2})
        remove(link);
    EXPECT_EQ(4u, nodeEvents().removed.size());
}

TEST(Handshake, MalformedAndRefusedPeersEndAsDesigned)
{
    const Bytes ok = netIdDataset(2, 1, "Tessarc"), yes = verdictDataset(1);
    auto cut = [](Bytes b, size_t size) {
        b.resize(size);
        b[0] = (uint8_t)size;
        return b;
    };
    Bytes lying = ok;
    lying[0]++;
    struct Case {
        const char *what;
        bool isServer;
        std::vector<Bytes> script;
        Ending ending;
    } cases[] = {
        {"netid of 14 bytes", true, {cut(ok, 14)}, Rejected},
        {"version 2.0", true, {netIdDataset(2, 0, "Tessarc")}, Rejected},
        {"empty network ID", false, {cut(ok, 15)}, Rejected},
        {"foreign network ID", false, {netIdDataset(2, 5, "Other")}, Rejected},
        {"server with wildcard", true, {netIdDataset(2, 1, "*")}, Rejected},
        {"accept of 11 bytes", true, {ok, cut(yes, 11)}, Invalidated},
        {"peer rejects", true, {ok, verdictDataset(0)}, Closed},
        {"second accept", true, {yes, yes}, Invalidated},
        {"UUID of 24 bytes", true, {ok, yes, cut(uuidDataset(makeUuid(7), ""), 24)}, Rejected},
        {"own identifier", true, {ok, yes, uuidDataset(*TQ_Server_getUuid(), "me")}, Rejected},
        {"encryption required", true, {ok, yes, uuidDataset(makeUuid(7), "x", TQ_FLAG_ENCRYPT)}, Rejected},
        {"node name of 12 bytes", false, {ok, yes, cut(nodeNameDataset(""), 12)}, Invalidated},
        {"header length disagrees", false, {lying}, Invalidated},
        {"shorter than a header", false, {{5, 0, 0, 0, 2}}, Invalidated},
        {"basic without subtype", false, {cut(ok, 8)}, Invalidated},
        {"neighbours on a client link", false, {ok, yes, neighbourDataset(4, {{makeUuid(1), 5}})}, Open},
        {"unknown subtype", false, {{9, 0, 0, 0, 2, 0x80, 0, 0, 9}}, Open},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Link *link = connect(c.what, c.isServer);
        feedAll(link, c.script);
        EXPECT_EQ(c.ending, endingOf(link));
        EXPECT_EQ(nullptr, nodeOf(link));
        remove(link);
    }

    /* A server announcing "*" is taken only by a server whose own network ID is "*". */
    TQ_Server_setNetworkId("*");
    Link *wild = connect("wild server", true);
    feed(wild, netIdDataset(2, 1, "*"));
    EXPECT_EQ(verdictDataset(1), wild->takeSent().back());
    remove(wild);
    TQ_Server_setNetworkId("Tessarc");

    /* A neighbour count that disagrees with the length (2 entries need 44). */
    Link *server = connect("bad-neighbours", true);
    ASSERT_NE(nullptr, shakeAsServer(server, makeUuid(0x90), "n"));
    feed(server, cut(neighbourDataset(5, {{makeUuid(1), 0}, {makeUuid(2), 0}}), 40));
    EXPECT_EQ(Invalidated, endingOf(server));
    remove(server);
}

TEST(Handshake, EncryptionStartsOnTheSideTheIdentifiersOrder)
{
    TQ_Server_setEncryption(&g_provider);
    for (uint8_t seed : {0x00, 0xF0}) {
        g_lower = g_upper = 0;
        Link *link = connect("enc-server", true);
        TQ_Uuid peer = makeUuid(seed);
        ASSERT_NE(nullptr, shakeAsServer(link, peer, "secret"));
        EXPECT_EQ(0x80 | TQ_FLAG_ENCRYPT, link->takeSent()[2][5]); /* own UUID dataset */
        bool ownFirst = memcmp(TQ_Server_getUuid(), &peer, 12) < 0;
        EXPECT_EQ(ownFirst, g_lower == 1);
        EXPECT_EQ(!ownFirst, g_upper == 1);
        remove(link);
    }
    /* A peer requiring encryption is taken while a provider is installed, even one that cannot encrypt this link. */
    g_canEncrypt = 0;
    g_lower = g_upper = g_removed = 0;
    Link *strict = connect("enc-required", true);
    feedAll(strict,
            {netIdDataset(2, 1, "Tessarc"), verdictDataset(1), uuidDataset(makeUuid(0x33), "", TQ_FLAG_ENCRYPT)});
    EXPECT_NE(nullptr, nodeOf(strict));
    EXPECT_EQ(0x80, strict->takeSent()[2][5]);
    EXPECT_EQ(1, g_lower + g_upper);
    g_lower = g_upper = 0;
    g_canEncrypt = 1;
    Link *client = connect("enc-client", false), *halfway = connect("enc-half", false);
    feedAll(client, {netIdDataset(2, 1, "Tessarc"), verdictDataset(1)});
    EXPECT_EQ(1, g_upper.load());
    for (Link *link : {strict, client, halfway})
        remove(link);
    EXPECT_EQ(3, g_removed.load());
    TQ_Server_setEncryption(nullptr);
}

TEST(Handshake, GroupTestAsksBothWaysAndRefusalRejects)
{
    TQ_Server_GroupManager refusing = *TQ_Server_getDefaultGroupManager();
    refusing.peerGroups = [](TQ_Connection *, TQ_TreeSet *) {};
    refusing.groupsMatch = [](TQ_TreeSet *a, TQ_TreeSet *) { return a != g_local && g_matchNodeFirst ? 1 : 0; };
    refusing.destroy = [] { g_refusingDestroyed++; };
    TQ_Server_setGroupManager(&refusing);
    g_local = refusing.localGroups();
    nodeEvents().clear();
    TQ_Uuid uuid = makeUuid(0x55);
    Link *server = connect("g-server", true), *client = connect("g-client", false);
    shakeAsServer(server, uuid, "outsider");
    shakeAsClient(client, "outsider");
    EXPECT_EQ(Rejected, endingOf(server));
    EXPECT_EQ(Rejected, endingOf(client));
    EXPECT_EQ(nullptr, TQ_Server_getServer(&uuid));
    EXPECT_TRUE(nodeEvents().added.empty());

    g_matchNodeFirst = true;
    Link *member = connect("g-member", false);
    EXPECT_NE(nullptr, shakeAsClient(member, "member"));
    for (Link *link : {server, client, member})
        remove(link);

    /* No group manager: admitted without exchange or groups. No communication manager: a new link stays idle. */
    TQ_Server_setGroupManager(nullptr);
    EXPECT_EQ(1, g_refusingDestroyed.load());
    Link *bare = connect("g-none", false);
    TQ_Server_Node *bareNode = shakeAsClient(bare, "bare");
    ASSERT_NE(nullptr, bareNode);
    EXPECT_EQ(0u, TQ_treeSetSize(&bareNode->groups));
    EXPECT_EQ(2u, bare->takeSent().size()); /* network ID and accept only */
    TQ_Server_setCommunicationManager(nullptr);
    Link *idle = connect("cm-none", false);
    EXPECT_TRUE(idle->takeSent().empty());
    remove(idle);
    remove(bare);
    TQ_Server_setCommunicationManager(&g_TQ_Server_defaultCommManager);
    TQ_Server_setGroupManager(TQ_Server_getDefaultGroupManager());
}
