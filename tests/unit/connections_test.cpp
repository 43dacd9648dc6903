/* Connection and node lifetimes, and neighbour bookkeeping. */
#include "peer.h"

#include <cstring>

using namespace tqtest;

static auto *const g_environment = ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

namespace {

int g_destroyed;
const TQ_ConnectionOps g_ops = {nullptr, nullptr, nullptr, [](TQ_Connection *) { g_destroyed++; }};

struct Info {
    TQ_Server_NodeInfo head;
    std::vector<int> *trail;
    int tag;
};
void infoDestroy(TQ_Server_NodeInfo *info)
{
    Info *self = reinterpret_cast<Info *>(info);
    self->trail->push_back(self->tag);
}

} // namespace

TEST(Connections, DestroyOnceAndNodeInfoInKeyOrder)
{
    TQ_Connection c{};
    TQ_connectionInit(&c, nullptr);
    c.ops = &g_ops;
    g_destroyed = 0;
    EXPECT_EQ(&c, TQ_connectionAcquire(&c));
    EXPECT_EQ(&c, TQ_connectionAcquire(&c));
    TQ_connectionInvalidate(&c);
    EXPECT_EQ(nullptr, TQ_connectionAcquire(&c));
    EXPECT_EQ(2, c.refCount);
    TQ_connectionRelease(&c);
    EXPECT_EQ(0, g_destroyed);
    TQ_connectionRelease(&c);
    TQ_connectionInvalidate(&c);
    EXPECT_EQ(1, g_destroyed);
    TQ_connectionDestroy(&c);

    TQ_Server_Node node{};
    TQ_Server_nodeInit(&node);
    std::vector<int> trail;
    Info a{{0, infoDestroy}, &trail, 1}, b{{0, infoDestroy}, &trail, 2}, c3{{0, infoDestroy}, &trail, 3},
        d{{0, infoDestroy}, &trail, 4};
    TQ_Server_nodeSetInfo(&node, &a.head, 9);
    TQ_Server_nodeSetInfo(&node, &b.head, 9); /* replaces: a destroyed */
    EXPECT_EQ(&b.head, TQ_Server_nodeGetInfo(&node, 9));
    EXPECT_EQ(9, b.head.key);
    TQ_Server_nodeSetInfo(&node, nullptr, 9); /* removes: b destroyed */
    TQ_Server_nodeSetInfo(&node, nullptr, 5);
    EXPECT_EQ(nullptr, TQ_Server_nodeGetInfo(&node, 9));
    TQ_Server_nodeSetInfo(&node, &c3.head, 200);
    TQ_Server_nodeSetInfo(&node, &d.head, 7);
    TQ_Server_nodeDestroy(&node);
    EXPECT_EQ((std::vector<int>{1, 2, 4, 3}), trail);
}

TEST(Connections, HeldServerNodeOutlivesItsLinkAndYieldsToARelink)
{
    const TQ_Uuid uuid = makeUuid(0xA0);
    nodeEvents().clear();
    nodeEvents().holdServers = true;
    Link *first = connect("first", true);
    TQ_Server_Node *old = shakeAsServer(first, uuid, "phoenix");
    ASSERT_NE(nullptr, old);
    nodeEvents().holdServers = false;

    /* A second link while the node is live is rejected after its UUID; the first link hears nothing of it. */
    first->takeEvents();
    Link *twin = connect("twin", true);
    shakeAsServer(twin, uuid, "phoenix");
    EXPECT_EQ(nullptr, nodeOf(twin));
    EXPECT_EQ(1, twin->closes.load());
    EXPECT_EQ(1, twin->destroys.load());
    EXPECT_TRUE(first->takeEvents().empty());
    remove(twin);

    remove(first);
    EXPECT_TRUE(nodeEvents().removed.empty());
    EXPECT_EQ(nullptr, TQ_Server_getServer(&uuid));
    Link *again = connect("again", true);
    TQ_Server_Node *fresh = shakeAsServer(again, uuid, "phoenix");
    ASSERT_NE(nullptr, fresh);
    nodeEvents().releaseHeld(); /* frees the old node, not the new entry */
    EXPECT_EQ(std::vector<TQ_Server_Node *>{old}, nodeEvents().removed);
    TQ_Server_Node *found = TQ_Server_getServer(&uuid);
    EXPECT_EQ(fresh, found);
    found->release(found);
    remove(again);
    EXPECT_EQ(nullptr, TQ_Server_getServer(&uuid));
}

TEST(Connections, NeighboursKeepTheFirstTimeAndForgetRemovedOnes)
{
    Link *link = connect("neighbours", true);
    auto *node = reinterpret_cast<TQ_Server_ServerNode *>(shakeAsServer(link, makeUuid(0xB0), "hub"));
    ASSERT_NE(nullptr, node);
    TQ_Uuid u1 = makeUuid(1), u2 = makeUuid(2), u3 = makeUuid(3);
    feed(link, neighbourDataset(4, {{u1, 100}, {u2, 5}, {u1, 1}}));
    feed(link, neighbourDataset(4, {{u2, 0}}));
    TQ_HashSetIterator it;
    ASSERT_EQ(1, TQ_hashSetFind(&node->neighbours, &it, &u1));
    uint64_t since1 = static_cast<TQ_Server_Neighbour *>(it.m_value)->since;
    ASSERT_EQ(1, TQ_hashSetFind(&node->neighbours, &it, &u2));
    EXPECT_EQ(since1 + 95, static_cast<TQ_Server_Neighbour *>(it.m_value)->since); /* the first entries stay */
    EXPECT_EQ(2u, TQ_hashSetSize(&node->neighbours));
    feed(link, neighbourDataset(5, {{u1, 0}, {u3, 0}}));
    EXPECT_EQ(1u, TQ_hashSetSize(&node->neighbours));
    EXPECT_EQ(0, TQ_hashSetFind(&node->neighbours, &it, &u1));
    EXPECT_EQ(0, link->destroys.load());
    remove(link); /* frees the entry left (leak-checked) */
}

TEST(Connections, AServerLinkThatDiesDuringAnAnnouncementIsRemovedSafely)
{
    /* The announcement of a new server (under the server state lock) fails on the one other link, whose protocol
     * removes it from destroy. */
    const TQ_Uuid gone = makeUuid(0xD0), newcomer = makeUuid(0xE0);
    nodeEvents().clear();
    Link *doomed = connect("doomed", true);
    TQ_Server_Node *old = shakeAsServer(doomed, gone, "doomed");
    ASSERT_NE(nullptr, old);
    doomed->dying = true;
    Link *link = connect("newcomer", true);
    ASSERT_NE(nullptr, shakeAsServer(link, newcomer, "newcomer"));
    EXPECT_EQ(std::vector<TQ_Server_Node *>{old}, nodeEvents().removed);
    EXPECT_EQ(nullptr, TQ_Server_getServer(&gone));
    std::vector<Bytes> sent = link->takeSent();
    ASSERT_EQ(5u, sent.size());
    EXPECT_EQ((Bytes{12, 0, 0, 0, 2, 0x80, 0, 0, 4, 0, 0, 0}), sent[4]); /* no neighbours left */
    remove(link);
}
