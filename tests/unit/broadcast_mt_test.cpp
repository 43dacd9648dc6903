/* Broadcasts from several service threads and forwards from two delivery threads at once, while server peers link and
 * unlink: every broadcast reaches every steady peer once with its own sequence number, duplicates racing in on two
 * links are delivered once as new and forwarded once, and nodes held as candidates outlive the links that go. */
#include "peer.h"

#include <atomic>
#include <cstring>
#include <set>
#include <thread>

using namespace tqtest;

static auto *const g_environment = ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

namespace {

const uint8_t kType = 7;

/* Takes a link down as a protocol must: no removeConnection while a send still holds the connection, so wait for its
 * destroy first. */
void unlink(Link *link)
{
    TQ_connectionInvalidate(&link->conn);
    while (link->destroys.load() == 0)
        std::this_thread::yield();
    remove(link);
}

} // namespace

TEST(BroadcastMt, BroadcastsAndForwardsRaceWithPeersComingAndGoing)
{
    const int steady = 3, senders = 4, perSender = 150, forwards = 300;
    addRecordingService(kType, true);
    TQ_logSetLevel(&g_TQ_serverLog, TQ_LOG_ERROR);

    std::vector<Link *> links;
    std::vector<TQ_Uuid> ids;
    for (int i = 0; i < steady; i++) {
        ids.push_back(makeUuid((uint8_t)(0x10 * (i + 1))));
        links.push_back(connect("steady", true));
        ASSERT_NE(nullptr, shakeAsServer(links.back(), ids.back(), "steady"));
    }
    for (Link *link : links)
        link->takeEvents();

    std::atomic<bool> done{false};
    std::thread churn([&] {
        for (int round = 0; !done.load(); round++) {
            Link *link = connect("churn", true);
            shakeAsServer(link, makeUuid((uint8_t)(0x80 + round % 64)), "churn");
            std::this_thread::yield();
            unlink(link);
        }
    });

    std::vector<std::thread> threads;
    for (int t = 0; t < senders; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < perSender; i++) {
                TQ_Buffer *dataset = toBuffer(broadcastDataset(kType, 2, TQ_Uuid{}, 0, 0));
                TQ_List sentTo;
                TQ_listInit(&sentTo);
                TQ_Server_broadcast(dataset, nullptr, &sentTo);
                int steadyHits = 0;
                TQ_ListIterator it;
                for (TQ_listBegin(&sentTo, &it); TQ_listHasNext(&it); TQ_listNext(&it)) {
                    for (const TQ_Uuid &id : ids)
                        steadyHits += std::memcmp(&id, it.m_value, 12) == 0;
                    g_TQ_serverAllocator->freeBlock32(g_TQ_serverAllocator, it.m_value);
                }
                TQ_listDestroy(&sentTo);
                EXPECT_EQ(steady, steadyHits);
                TQ_bufferRelease(dataset);
            }
        });
    }
    /* The same datasets come in on the first two steady links at once. */
    const TQ_Uuid origin = makeUuid(0xF0);
    for (int l = 0; l < 2; l++) {
        threads.emplace_back([&, l] {
            for (int i = 0; i < forwards; i++)
                feed(links[l], broadcastDataset(kType, 3, origin, (uint32_t)i));
        });
    }
    for (std::thread &t : threads)
        t.join();
    done = true;
    churn.join();

    /* Every broadcast reached every steady link once, in its own number. */
    for (int l = 0; l < steady; l++) {
        std::set<uint32_t> own, forwarded;
        for (const Bytes &b : links[l]->takeSent()) {
            TQ_BroadcastHeader h = headerOf(b);
            if (std::memcmp(&h.origin, TQ_Server_getUuid(), 12) == 0) {
                EXPECT_TRUE(own.insert(h.sequence).second) << "link " << l << " twice: " << h.sequence;
            } else if (std::memcmp(&h.origin, &origin, 12) == 0) {
                /* A hop further, or as it arrived when the repeat overtook the first copy. */
                EXPECT_TRUE((h.ttl == 2 && h.hops == 1) || (h.ttl == 3 && h.hops == 0)) << h.ttl;
                EXPECT_TRUE(forwarded.insert(h.sequence).second) << "link " << l << " twice: " << h.sequence;
            }
        }
        EXPECT_EQ(size_t(senders * perSender), own.size()) << "link " << l;
        EXPECT_TRUE(l != 2 || forwarded.size() == size_t(forwards)) /* never a sender: each forward reached it */
            << forwarded.size();
    }
    /* Each received dataset was new exactly once and a repeat once. */
    std::vector<int> fresh(forwards), repeats(forwards);
    for (const Delivery &d : takeDeliveries())
        (d.alt ? repeats : fresh)[headerOf(d.bytes).sequence]++;
    EXPECT_EQ(std::vector<int>(forwards, 1), fresh);
    EXPECT_EQ(std::vector<int>(forwards, 1), repeats);

    for (Link *link : links)
        remove(link);
    TQ_logSetLevel(&g_TQ_serverLog, TQ_LOG_INFO);
}
