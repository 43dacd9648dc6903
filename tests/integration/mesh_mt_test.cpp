/* Meshes of real servers on loopback: relayed datasets reach every client
 * of a ring exactly once, repeats reach the relay's second hook, the ttl
 * bounds the reach, a killed server rejoins on its own port; and a line of
 * servers each in a network namespace of its own. */
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>

#include "mesh_harness.h"

namespace fs = std::filesystem;
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

/* One listener on every running server named l<i><suffix>; an extra one on
 * server `extra` (its own second client) when not -1. */
Clients listenEverywhere(Mesh &mesh, const std::string &suffix, int extra = -1)
{
    Clients clients;
    for (int i = 0; i < mesh.size(); ++i) {
        if (!mesh[i].running)
            continue;
        clients.push_back(mesh.listen(i, "l" + std::to_string(i) + suffix));
        if (i == extra)
            clients.push_back(mesh.listen(i, "x" + std::to_string(i) + suffix));
    }
    return clients;
}

/* Waits until clients [first, last) have each of `sent` (last -1: to the
 * end). */
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

/* Connections and nodes a server logged as added minus those removed. */
int liveConnections(const std::string &log)
{
    return countOf(log, "CM: adding connection") - countOf(log, "CM: removing connection");
}
int liveNodes(const std::string &log, const std::string &name)
{
    return countOf(log, "adding a node with name '" + name + "'") -
           countOf(log, "removing a node with name '" + name + "'");
}

/* Sends `count` datasets from a client of server `origin` to listeners on
 * every server (and a second one on the origin); once every listener has
 * them all, stops the whole mesh with SIGTERM and checks that each listener
 * saw each dataset exactly once and what each relay counted. Returns the
 * repeats counted over the mesh. */
long floodOnce(Mesh &mesh, int origin, int count)
{
    Clients clients = listenEverywhere(mesh, "", origin);
    for (const auto &c : clients)
        if (!c)
            return ADD_FAILURE() << mesh.why(), -1;
    std::vector<std::string> sent = texts("flood", count);
    EXPECT_EQ(mesh.send(origin, sent), 0);
    EXPECT_TRUE(allReceived(clients, sent)) << mesh.why();

    /* Once the servers have stopped nothing more can arrive: a duplicate
     * delivered at any time before is in the listeners' output. */
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
        EXPECT_EQ(n.fromClients, i == origin ? count : 0) << log;
        EXPECT_EQ(n.fromMesh, i == origin ? 0 : count) << log;
        EXPECT_EQ(n.dropped, 0) << log;
        /* Every repeat went to the second hook, which logs each one. */
        EXPECT_EQ(countOf(log, "relay: repeat from "), n.repeats) << log;
        repeats += n.repeats;
        EXPECT_EQ(liveConnections(log), 0) << log;
    }
    return repeats;
}

/* ---- Flooding ---- */

TEST(MeshFlood, RingOfFourDeliversOnceAndCountsRepeats)
{
    TempDir tmp;
    Mesh mesh(tmp.path(), 4, tq_mesh::ring(4));
    ASSERT_TRUE(mesh.startAll()) << mesh.why();
    /* Both halves of the ring carry each dataset towards the server opposite
     * the origin; however the two copies cross, one of them reaches a server
     * that has the dataset already: at least one repeat per dataset. */
    EXPECT_GE(floodOnce(mesh, 0, 20), 20);
}

/* A line of five whose first server relays with ttl 2: its datasets reach
 * the two servers after it and no further. A dataset sent later from the
 * third server travels the same link to the fourth, so once the fourth and
 * fifth have it, anything the third had forwarded would have arrived. */
TEST(MeshFlood, TtlBoundsTheReach)
{
    TempDir tmp;
    Mesh mesh(tmp.path(), 5, tq_mesh::line(5));
    mesh[0].relayCfg = "ttl = 2;\n";
    ASSERT_TRUE(mesh.startAll()) << mesh.why();
    Clients clients = listenEverywhere(mesh, "");
    std::vector<std::string> near = texts("near", 10);
    ASSERT_EQ(mesh.send(0, near), 0);
    EXPECT_TRUE(allReceived(clients, near, 1, 3)) << mesh.why();

    ASSERT_EQ(mesh.send(2, {"fence"}), 0);
    EXPECT_TRUE(allReceived(clients, {"fence"})) << mesh.why();
    for (int i : {3, 4})
        for (const std::string &t : near)
            EXPECT_EQ(received(*clients[(size_t)i], t), 0) << clients[(size_t)i]->out();
    EXPECT_TRUE(mesh.stopAll()) << mesh.why();
    /* The fence reached every server but its own. */
    EXPECT_EQ(relayCounts(mesh[1].log()).fromMesh, 11);
    EXPECT_EQ(relayCounts(mesh[2].log()).fromMesh, 10);
    EXPECT_EQ(relayCounts(mesh[3].log()).fromMesh, 1);
    EXPECT_EQ(relayCounts(mesh[4].log()).fromMesh, 1);
}

/* ---- Faults ---- */

/* The middle of a line of three is killed: both neighbours drop it and its
 * client is cut off. Restarted on its own port it is dialled again by the
 * server that linked to it and dials the other itself; datasets cross it in
 * both directions and reach a new client on it. */
TEST(MeshFaults, KilledServerRejoinsOnItsOwnPort)
{
    TempDir tmp;
    Mesh mesh(tmp.path(), 3, tq_mesh::line(3));
    ASSERT_TRUE(mesh.startAll()) << mesh.why();
    Clients clients = listenEverywhere(mesh, "");
    uint16_t serverPort = mesh[1].serverPort, clientPort = mesh[1].clientPort;

    EXPECT_EQ(mesh.stop(1, SIGKILL), 1000 + SIGKILL);
    EXPECT_EQ(clients[1]->wait(), 2) << clients[1]->err();
    for (int i : {0, 2})
        EXPECT_TRUE(waitUntil([&] { return liveNodes(mesh[i].log(), "n1") == 0; })) << mesh[i].log();

    ASSERT_TRUE(mesh.start(1)) << mesh.why();
    EXPECT_EQ(mesh[1].serverPort, serverPort);
    EXPECT_EQ(mesh[1].clientPort, clientPort);
    ASSERT_TRUE(mesh.linked()) << mesh.why();
    for (int i : {0, 2})
        EXPECT_EQ(countOf(mesh[i].log(), "adding a node with name 'n1'"), 2);
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

/* ---- Network namespaces ---- */

/* Network namespaces made for one test and deleted (with their links) when
 * it ends; `made` is false where they cannot be made. */
struct Namespaces {
    std::vector<std::string> names;
    bool made = false;

    explicit Namespaces(int count)
    {
        if (geteuid() != 0 || std::system("ip netns list >/dev/null 2>&1") != 0)
            return;
        for (int i = 0; i < count; ++i) {
            names.push_back("tqmesh" + std::to_string(getpid()) + "n" + std::to_string(i));
            if (!run("ip netns add " + names.back()) || !run("ip -n " + names.back() + " link set lo up"))
                return;
        }
        made = true;
    }
    ~Namespaces()
    {
        for (const std::string &n : names)
            run("ip netns del " + n);
    }
    static bool run(const std::string &command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }
    /* A veth pair between namespaces a and b, with `aAddress` and
     * `bAddress` (from 198.18.0.0/15, prefix /24). */
    bool link(int a, int b, const std::string &aAddress, const std::string &bAddress)
    {
        std::string va = "v" + std::to_string(b), vb = "v" + std::to_string(a);
        return run("ip link add " + va + " netns " + names[(size_t)a] + " type veth peer name " + vb + " netns " +
                   names[(size_t)b]) &&
               run("ip -n " + names[(size_t)a] + " addr add " + aAddress + "/24 dev " + va) &&
               run("ip -n " + names[(size_t)b] + " addr add " + bAddress + "/24 dev " + vb) &&
               run("ip -n " + names[(size_t)a] + " link set " + va + " up") &&
               run("ip -n " + names[(size_t)b] + " link set " + vb + " up");
    }
};

/* n0 - n1 - n2, each in its own namespace, linked by veth pairs on
 * 198.18.1.0/24 and 198.18.2.0/24; n0 and n2 cannot reach each other but
 * through n1. Clients run in their servers' namespaces. */
TEST(MeshNamespaces, LineOfThreeOverVethLinks)
{
    Namespaces ns(3);
    if (!ns.made)
        GTEST_SKIP() << "network namespaces cannot be made here";
    if (!ns.link(0, 1, "198.18.1.1", "198.18.1.2") || !ns.link(1, 2, "198.18.2.2", "198.18.2.3"))
        GTEST_SKIP() << "veth pairs cannot be made here";
    TempDir tmp;
    Mesh mesh(tmp.path(), 3, tq_mesh::line(3));
    for (int i = 0; i < 3; ++i) {
        mesh[i].netns = ns.names[(size_t)i];
        mesh[i].listenHost = "0.0.0.0";
    }
    mesh.setDialHost(1, 0, "198.18.1.1");
    mesh.setDialHost(2, 1, "198.18.2.2");
    ASSERT_TRUE(mesh.startAll()) << mesh.why();
    EXPECT_NE(mesh[1].log().find("198.18.1.1:" + std::to_string(mesh[0].serverPort)), std::string::npos);
    EXPECT_NE(mesh[2].log().find("198.18.2.2:" + std::to_string(mesh[1].serverPort)), std::string::npos);
    Clients clients = listenEverywhere(mesh, "");
    std::vector<std::string> sent = texts("veth", 10);
    ASSERT_EQ(mesh.send(0, sent), 0);
    ASSERT_EQ(mesh.send(2, {"back"}), 0);
    EXPECT_TRUE(allReceived(clients, sent, 1)) << mesh.why();
    EXPECT_TRUE(allReceived(clients, {"back"}, 0, 2)) << mesh.why();
    EXPECT_TRUE(mesh.stopAll()) << mesh.why();
    for (const auto &c : clients)
        EXPECT_EQ(c->wait(), 2);
    EXPECT_EQ(relayCounts(mesh[2].log()).fromMesh, 10);
}

} /* namespace */
