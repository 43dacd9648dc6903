/* Floods from raw client sockets through queues far smaller than the flood: a line, a ring and a client that reads
 * nothing beside one that reads. */
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <set>
#include <thread>

#include "mesh_harness.h"

using tq_mesh::Mesh;

namespace {

const std::string kSmallQueues = "sendQueueBytes = 1048576; highWater = 65536; lowWater = 16384; ";
const uint32_t kCount = 40000;             /* datasets per publisher, about 3 MiB */
const uint32_t kPastSocketBuffers = 80000; /* more than the kernel holds for a client */

/* A client of a server, handshake done. One thread publishes while another reads. */
struct Flooder : tq_test::Raw {
    std::set<uint64_t> seen; /* publisher << 32 | sequence of what was collected */

    Flooder(Mesh &mesh, int server, const std::string &name) : Raw(mesh[server].clientPort)
    {
        using tq_test::dataset; /* network ID "*" 2.1, accept, node name; the server's part ends with type 4 */
        std::string hello = dataset(16, 2, 0x80, std::string{0, 1, 2, 0, 1, 0, '*', 0}) +
                            dataset(10, 2, 0x80, std::string{1, 1}) +
                            dataset((uint32_t)(13 + name.size()), 2, 0x80, std::string("\2\0\0\0", 4) + name + '\0');
        if (put(hello))
            for (std::string d; !(d = Raw::dataset(10000)).empty() && d[4] != 4;) {
            }
        tq_mesh::waitUntil([&] { return mesh[server].log().find("client " + name + " joined") != std::string::npos; });
    }
    void publish(uint32_t publisher, uint32_t count = kCount) const
    {
        std::string block;
        for (uint32_t seq = 0; seq < count; ++seq) {
            uint32_t words[5] = {76, 16, 0, publisher, seq};
            block.append((const char *)words, 20).append(56, 'f');
            if (block.size() >= 65536 && !put(std::exchange(block, std::string())))
                return; /* cut, or stuck for 20 s */
        }
        put(block);
    }
    /* Drops what comes until `stop`: a publisher's own link must not hold the mesh back. */
    void discard(const std::atomic<bool> &stop) const
    {
        while (!stop)
            take(1 << 16, 50);
    }
    /* Sequence numbers by publisher, repeats included, until `expected` different ones or none for 6 s. */
    std::map<uint32_t, std::vector<uint32_t>> collect(size_t expected)
    {
        std::map<uint32_t, std::vector<uint32_t>> got;
        for (std::string d; seen.size() < expected && !(d = dataset(6000)).empty();) {
            uint32_t pair[2];
            if (d.size() == 76 && d[4] == 16 && (std::memcpy(pair, d.data() + 12, 8), true))
                got[pair[0]].push_back(pair[1]), seen.insert(uint64_t(pair[0]) << 32 | pair[1]);
        }
        return got;
    }
};

/* 0, 1, ... count - 1: every dataset of a publisher once, in order. */
bool once(const std::vector<uint32_t> &v, uint32_t count = kCount)
{
    return v.size() == count && v.back() == count - 1 &&
           std::adjacent_find(v.begin(), v.end(), std::greater_equal<>()) == v.end();
}

/* Datasets shed by every server: each warning gives those since the last. */
long shedTotal(Mesh &mesh)
{
    long sum = 0;
    for (int i = 0; i < mesh.size(); ++i) {
        std::string log = mesh[i].log();
        for (size_t at = log.find(": shed "); at != std::string::npos; at = log.find(": shed ", at + 1))
            sum += std::atol(log.c_str() + at + 7);
    }
    return sum;
}

} /* namespace */

/* Line: every dataset once, in order, no link cut. Ring: no deadlock; each arrives or is counted shed. */
TEST(FlowControl, FloodThroughALineArrivesOnceInOrderAndARingNeitherDeadlocksNorLosesUncounted)
{
    for (bool isRing : {false, true}) {
        SCOPED_TRACE(isRing ? "ring" : "line");
        tq_test::TempDir tmp;
        Mesh mesh(tmp.path(), 3, isRing ? tq_mesh::ring(3) : tq_mesh::line(3));
        for (int i = 0; i < 3; ++i) {
            mesh[i].relayCfg = "";
            mesh[i].tcpSettings = kSmallQueues + (isRing ? "stallLimit = 300;" : "stallLimit = 5000;");
        }
        ASSERT_TRUE(mesh.startAll()) << mesh.why();
        Flooder reader(mesh, 0, "r"), first(mesh, 1, "p1"), second(mesh, 2, "p2");
        std::atomic<bool> stop{false};
        std::thread a([&] { first.publish(1); }), b([&] { second.publish(2); });
        std::thread da([&] { first.discard(stop); }), db([&] { second.discard(stop); });
        auto got = reader.collect(2 * kCount);
        stop = true;
        for (std::thread *t : {&a, &b, &da, &db})
            t->join();
        EXPECT_TRUE(isRing || (once(got[1]) && once(got[2]))) << reader.seen.size();
        EXPECT_TRUE(tq_mesh::waitUntil([&] { return reader.seen.size() + shedTotal(mesh) >= 2 * kCount; }, 5000))
            << reader.seen.size() << " arrived, " << shedTotal(mesh) << " shed\n"
            << mesh.why();
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(tq_test::countOf(mesh[i].log(), "disconnecting") + tq_test::countOf(mesh[i].log(), "too long"),
                      0);
#if !defined(TQ_SANITIZE_ADDRESS) && !defined(TQ_SANITIZE_THREAD) /* their allocators keep freed memory */
            /* Peak memory: the record budget (32 MiB) and a 1 MiB queue per link over a few MB of program. */
            EXPECT_LT(tq_test::statusKb(mesh[i].process->pid(), "VmHWM"), 64L << 10) << "server " << i;
#endif
        }
        EXPECT_TRUE(mesh.stopAll()) << mesh.why();
    }
}

TEST(FlowControl, ClientThatReadsNothingIsShedOrDisconnectedWhileTheReaderGetsEverything)
{
    for (std::string policy : {"drop", "disconnect"}) {
        SCOPED_TRACE(policy);
        tq_test::TempDir tmp;
        Mesh mesh(tmp.path(), 1, {});
        /* Long enough that a reader starved of CPU by a sanitizer build is not taken for a stalled one. */
        mesh[0].tcpSettings = kSmallQueues + "stallLimit = 1500; slowClient = \"" + policy + "\";";
        ASSERT_TRUE(mesh.startAll()) << mesh.why();
        Flooder reader(mesh, 0, "r"), idle(mesh, 0, "idle"), publisher(mesh, 0, "p");
        std::thread p([&] { publisher.publish(7, kPastSocketBuffers); });
        auto got = reader.collect(kPastSocketBuffers);
        p.join();
        EXPECT_TRUE(got.size() == 1 && once(got[7], kPastSocketBuffers)) << got[7].size();
        bool drop = policy == "drop";
        EXPECT_EQ(tq_test::countOf(mesh[0].log(), "; disconnecting"), drop ? 0 : 1) << mesh[0].log();
        EXPECT_TRUE(tq_mesh::waitUntil([&] { return (shedTotal(mesh) > 0) == drop; }, 5000)) << mesh[0].log();
        EXPECT_TRUE(mesh.stopAll()) << mesh.why();
    }
}
