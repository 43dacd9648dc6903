/* Handshakes on many connections at once, and a held server node whose release races the removal of its last link. */
#include "peer.h"

#include <thread>

using namespace tqtest;

static auto *const g_environment = ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

TEST(HandshakeMt, ConcurrentHandshakesAdmitEveryPeerOnce)
{
    const int threads = 8, rounds = 4;
    nodeEvents().clear();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++) {
        workers.emplace_back([t] {
            for (int r = 0; r < rounds; r++) {
                TQ_Uuid uuid = makeUuid((uint8_t)(16 * t + r));
                Link *server = connect("mt-server", true);
                Link *client = connect("mt-client", false);
                EXPECT_NE(nullptr, shakeAsServer(server, uuid, "peer"));
                EXPECT_NE(nullptr, shakeAsClient(client, "user"));
                TQ_Server_Node *found = TQ_Server_getServer(&uuid);
                EXPECT_NE(nullptr, found);
                if (found)
                    found->release(found);
                remove(client);
                remove(server);
                EXPECT_EQ(nullptr, TQ_Server_getServer(&uuid));
            }
        });
    }
    for (std::thread &w : workers)
        w.join();
    std::lock_guard<std::mutex> guard(nodeEvents().lock);
    EXPECT_EQ(size_t(2 * threads * rounds), nodeEvents().added.size());
    EXPECT_EQ(nodeEvents().added.size(), nodeEvents().removed.size());
}

TEST(HandshakeMt, LastReleaseAndLastLinkRaceFreeTheNodeOnce)
{
    for (int i = 0; i < 50; i++) {
        nodeEvents().clear();
        nodeEvents().holdServers = true;
        Link *link = connect("race", true);
        ASSERT_NE(nullptr, shakeAsServer(link, makeUuid(0xC0), "racer"));
        nodeEvents().holdServers = false;
        std::thread releaser([] { nodeEvents().releaseHeld(); });
        remove(link);
        releaser.join();
        std::lock_guard<std::mutex> guard(nodeEvents().lock);
        EXPECT_EQ(1u, nodeEvents().removed.size());
    }
}
