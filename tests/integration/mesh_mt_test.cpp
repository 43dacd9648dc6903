/* Meshes of real servers on loopback: relayed datasets reach every client of a ring exactly once, repeats reach the
 * relay's second hook, a killed server rejoins on its own port. */
#include <gtest/gtest.h>

#include "mesh_harness.h"

using tq_mesh::liveNodes;
using tq_mesh::Mesh;
using tq_mesh::received;
using tq_mesh::relayCounts;
using tq_mesh::RelayCounts;
using tq_mesh::waitUntil;
using tq_test::Child;
using tq_test::countOf;
using tq_test::TempDir;

namespace {

using Clients = std::vector<std::unique_ptr<Child>>;

std::vector<std::string> texts(const std::string &tag, int count)
{
    std::vector<std::string> t;
    for (int k = 0; k < count; ++k)
        t.push_back(tag + "-" + std::to_string(k));
    return t;
}

/* A listener l<i> on every server, and a second one x<extra> on server `extra`. */
Clients listenEverywhere(Mesh &mesh, int extra = -1)
{
    Clients clients;
    for (int i = 0; i < mesh.size(); ++i) {
        clients.push_back(mesh.listen(i, "l" + std::to_string(i)));
        if (i == extra)
            clients.push_back(mesh.listen(i, "x" + std::to_string(i)));
    }
    return clients;
}

/* Waits until clients [first, last) have each of `sent` (last -1: to the end). */
bool allReceived(const Clients &clients, const std::vector<std::string> &sent, int first = 0, int last = -1)
{
    size_t end = last < 0 ? clients.size() : (size_t)last;
    return waitUntil([&] {
        for (size_t i = (size_t)first; i < end; ++i)
            for (const std::string &t : sent)
                if (received(*clients[i], t) < 1)
                    return false;
        return true;
    });
}

/* Twenty datasets from a client of n0 reach a listener on every server (and a second one on n0) exactly once, which is
 * known once the servers have stopped and nothing more can arrive. Both halves of the ring carry each dataset towards
 * the server opposite the origin; however the two copies cross, one of them reaches a server that has it already: at
 * least one repeat per dataset, each logged by the relay's second hook. */
TEST(MeshFlood, RingOfFourDeliversOnceAndCountsRepeats)
{
    TempDir tmp;
    Mesh mesh(tmp.path(), 4, tq_mesh::ring(4));
    ASSERT_TRUE(mesh.startAll()) << mesh.why();
    Clients clients = listenEverywhere(mesh, 0);
    for (const auto &c : clients)
        ASSERT_TRUE(c) << mesh.why();
    std::vector<std::string> sent = texts("flood", 20);
    EXPECT_EQ(mesh.send(0, sent), 0);
    EXPECT_TRUE(allReceived(clients, sent)) << mesh.why();
    EXPECT_TRUE(mesh.stopAll()) << mesh.why();
    for (const auto &c : clients) {
        EXPECT_EQ(c->wait(), 2) << c->out() << c->err(); /* closed by the server */
        for (const std::string &t : sent)
            EXPECT_EQ(received(*c, t), 1) << t << "\n" << c->out();
    }
    long repeats = 0;
    for (int i = 0; i < mesh.size(); ++i) {
        std::string log = mesh[i].log();
        RelayCounts n = relayCounts(log);
        EXPECT_TRUE(n.fromClients == (i == 0 ? 20 : 0) && n.fromMesh == (i == 0 ? 0 : 20) && n.dropped == 0) << log;
        EXPECT_EQ(countOf(log, "relay: repeat from "), n.repeats) << log;
        EXPECT_EQ(tq_test::liveConnections(log), 0) << log;
        repeats += n.repeats;
    }
    EXPECT_GE(repeats, 20);
}

/* The middle of a line of three is killed: both neighbours drop it and its client is cut off. Restarted on its own port
 * it is dialled again by the server that linked to it and dials the other itself; datasets cross it in both directions
 * and reach a new client on it. */
TEST(MeshFaults, KilledServerRejoinsOnItsOwnPort)
{
    TempDir tmp;
    Mesh mesh(tmp.path(), 3, tq_mesh::line(3));
    ASSERT_TRUE(mesh.startAll()) << mesh.why();
    Clients clients = listenEverywhere(mesh);

    EXPECT_EQ(mesh.stop(1, SIGKILL), 1000 + SIGKILL);
    EXPECT_EQ(clients[1]->wait(), 2) << clients[1]->err();
    for (int i : {0, 2})
        EXPECT_TRUE(waitUntil([&] { return liveNodes(mesh[i].log(), "n1") == 0; })) << mesh[i].log();

    ASSERT_TRUE(mesh.start(1)) << mesh.why(); /* on the ports it had, or false */
    ASSERT_TRUE(mesh.linked()) << mesh.why();
    clients[1] = mesh.listen(1, "l1again");
    ASSERT_TRUE(clients[1]) << mesh.why();

    std::vector<std::string> east = texts("east", 5), west = texts("west", 5);
    ASSERT_EQ(mesh.send(0, east), 0);
    ASSERT_EQ(mesh.send(2, west), 0);
    EXPECT_TRUE(allReceived(clients, east, 1)) << mesh.why();
    EXPECT_TRUE(allReceived(clients, west, 0, 2)) << mesh.why();
    EXPECT_TRUE(mesh.stopAll()) << mesh.why();
    EXPECT_EQ(relayCounts(mesh[1].log()).fromMesh, 10);
}

} /* namespace */
