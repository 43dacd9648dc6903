/* Meshes of real tessarc-server processes, each with its own install root, tcp.protocol and relay.service, on ports the
 * system gives (kept across restarts), dialling the servers started before it that it is linked with; tessarc-cli
 * clients. Every wait is bounded and polls; none waits a fixed time. */
#ifndef TESSARC_TESTS_MESH_HARNESS_H
#define TESSARC_TESTS_MESH_HARNESS_H

#include <csignal>
#include <memory>
#include <utility>

#include "harness.h"

namespace tq_mesh {

using tq_test::waitUntil;

/* The counts relay.service logs when it stops; all -1 when it has not. */
struct RelayCounts {
    long fromClients = -1, fromMesh = -1, repeats = -1, dropped = -1;
};
RelayCounts relayCounts(const std::string &log);

/* tessarc-server `name` on install root `root` with tcp.protocol (and relay.service when `relay`), Communication.cfg
 * holding one tcp group of `tcpGroup`. */
tq_test::Launch tcpServer(const std::filesystem::path &root, const std::string &name, const std::string &tcpGroup,
                          bool relay = false);

/* Nodes named `name` a server logged as added minus those removed. */
int liveNodes(const std::string &log, const std::string &name);

/* Links between servers i and j (i < j): a line or a ring. */
std::vector<std::pair<int, int>> line(int count);
std::vector<std::pair<int, int>> ring(int count);

/* One server of a mesh. */
struct Server {
    std::string name;                        /* server name "n<i>" */
    std::filesystem::path root;              /* its install root */
    std::string relayCfg;                    /* Config/relay.cfg, written at every start */
    std::string tcpSettings;                 /* more settings of its tcp group */
    uint16_t serverPort = 0, clientPort = 0; /* 0 until it first listened */
    std::unique_ptr<tq_test::Child> process; /* the last one started; null before */
    bool running = false;                    /* started and not stopped since */

    /* The log of the last process started (its standard output). */
    std::string log() const { return process ? process->out() : std::string(); }
    /* "127.0.0.1:<clientPort>": where its clients connect. */
    std::string clientAddress() const { return "127.0.0.1:" + std::to_string(clientPort); }
};

/* `count` servers n0, n1, ... in directories under `dir`, linked by `links`; none runs before startAll or start. The
 * destructor kills every process still running. Used by the test's thread only. */
class Mesh {
public:
    Mesh(const std::filesystem::path &dir, int count, std::vector<std::pair<int, int>> links);

    Server &operator[](int i) { return m_servers[(size_t)i]; }
    int size() const { return (int)m_servers.size(); }

    /* Starts every server in order and waits until every link is up. False (with the logs in `why()`) when a server did
     * not come up. */
    bool startAll();
    /* Starts server `i` (again) on the ports it had, if any, dialling the servers before it that it is linked with.
     * Waits until it listens, not for its links. */
    bool start(int i);
    /* Waits until every running server holds exactly one node for each running server it is linked with. */
    bool linked(int timeoutMs = 20000) const;
    /* Sends `signo` to server `i` and waits for its end; its code as tq_test::Child::wait gives it. */
    int stop(int i, int signo = SIGTERM);
    /* Stops every running server with SIGTERM; true when each ended with exit code 0. */
    bool stopAll();

    /* A client `name` of server `i` printing what it receives, once the relay logged it as joined (else null). */
    std::unique_ptr<tq_test::Child> listen(int i, const std::string &name);
    /* Sends each of `texts` as one dataset from a new client of server `i`; the client's exit code. */
    int send(int i, const std::vector<std::string> &texts);

    /* Every server's log, for failure messages. */
    std::string why() const;

private:
    std::string peersOf(int i) const;

    std::filesystem::path m_dir;
    std::vector<Server> m_servers;
    std::vector<std::pair<int, int>> m_links;
    int m_clients = 0;
};

/* How often the listener `client` printed the payload `text`. */
int received(const tq_test::Child &client, const std::string &text);

} /* namespace tq_mesh */

#endif /* TESSARC_TESTS_MESH_HARNESS_H */
