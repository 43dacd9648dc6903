/* Meshes of tessarc-server processes with tcp.protocol and relay.service, and tessarc-cli clients on them. */
#include "mesh_harness.h"

#include <cstdio>
#include <cstdlib>

namespace tq_mesh {

namespace fs = std::filesystem;
using tq_test::Child;
using tq_test::countOf;
using tq_test::Launch;

namespace {

const fs::path c_build = TQ_BINARY_DIR;
const std::string c_cli = (c_build / "client/tessarc-cli").string();

uint16_t listening(const std::string &log, const std::string &kind)
{
    return tq_test::loggedPort(log, "tcp: listening for " + kind + " on ");
}

} /* namespace */

RelayCounts relayCounts(const std::string &log)
{
    RelayCounts c;
    size_t at = log.rfind(" datasets from clients, ");
    at = at == std::string::npos ? at : log.rfind("relay: ", at);
    if (at == std::string::npos ||
        std::sscanf(log.c_str() + at, "relay: %ld datasets from clients, %ld from the mesh, %ld repeats, %ld dropped",
                    &c.fromClients, &c.fromMesh, &c.repeats, &c.dropped) != 4)
        return RelayCounts();
    return c;
}

Launch tcpServer(const fs::path &root, const std::string &name, const std::string &tcpGroup, bool relay)
{
    auto copy = [&](const char *built, const char *installed) {
        fs::create_directories((root / installed).parent_path());
        fs::copy_file(c_build / "modules" / built, root / installed, fs::copy_options::overwrite_existing);
    };
    copy("tcp/tcp.protocol", "Protocols/tcp.protocol");
    if (relay)
        copy("relay/relay.service", "Services/relay.service");
    tq_test::writeFile(root / "Config/Communication.cfg",
                       "serverName = \"" + name + "\";\nprotocols = ( { name = \"tcp\"; " + tcpGroup + " } );\n");
    Launch launch = tq_test::serverLaunch(root);
    /* Freed buffers must not pile up in the sanitizer's quarantine, so a memory bound measures the server, not the
     * tool. */
    const char *asan = getenv("ASAN_OPTIONS");
    launch.setEnv.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":quarantine_size_mb=16");
    return launch;
}

std::vector<std::pair<int, int>> line(int count)
{
    std::vector<std::pair<int, int>> links;
    for (int i = 1; i < count; ++i)
        links.emplace_back(i - 1, i);
    return links;
}

std::vector<std::pair<int, int>> ring(int count)
{
    std::vector<std::pair<int, int>> links = line(count);
    links.emplace_back(0, count - 1);
    return links;
}

int liveNodes(const std::string &log, const std::string &name)
{
    return countOf(log, "adding a node with name '" + name + "'") -
           countOf(log, "removing a node with name '" + name + "'");
}

int received(const Child &client, const std::string &text)
{
    return countOf(client.out(), " bytes: " + text + "\n");
}

Mesh::Mesh(const fs::path &dir, int count, std::vector<std::pair<int, int>> links)
    : m_dir(dir), m_servers((size_t)count), m_links(std::move(links))
{
    for (int i = 0; i < count; ++i) {
        Server &s = m_servers[(size_t)i];
        s.name = "n" + std::to_string(i);
        s.root = dir / s.name;
        fs::create_directories(s.root / "Services");
        s.relayCfg = "logRepeats = true;\n";
    }
}

std::string Mesh::peersOf(int i) const
{
    std::string peers;
    for (auto [a, b] : m_links)
        if (b == i && a < i)
            peers += (peers.empty() ? "\"127.0.0.1:" : ", \"127.0.0.1:") +
                     std::to_string(m_servers[(size_t)a].serverPort) + "\"";
    return peers;
}

bool Mesh::start(int i)
{
    Server &s = m_servers[(size_t)i];
    /* Quick redials, so a restarted neighbour is found again at once. */
    std::string group = "listen = \"127.0.0.1:" + std::to_string(s.serverPort) +
                        "\"; clientListen = \"127.0.0.1:" + std::to_string(s.clientPort) + "\"; peers = [ " +
                        peersOf(i) + " ];\n  reconnectMin = 100; reconnectMax = 400; connectTimeout = 3000; " +
                        s.tcpSettings;
    tq_test::writeFile(s.root / "Config/relay.cfg", s.relayCfg);
    s.process = std::make_unique<Child>(tcpServer(s.root, s.name, group, true), m_dir);
    s.running = true;
    if (!waitUntil([&] { return listening(s.log(), "servers") != 0 && listening(s.log(), "clients") != 0; }))
        return false;
    uint16_t server = listening(s.log(), "servers"), client = listening(s.log(), "clients");
    if ((s.serverPort != 0 && server != s.serverPort) || (s.clientPort != 0 && client != s.clientPort))
        return false;
    s.serverPort = server;
    s.clientPort = client;
    return true;
}

bool Mesh::startAll()
{
    for (int i = 0; i < size(); ++i)
        if (!start(i))
            return false;
    return linked();
}

bool Mesh::linked(int timeoutMs) const
{
    return waitUntil(
        [&] {
            for (auto [a, b] : m_links) {
                const Server &sa = m_servers[(size_t)a], &sb = m_servers[(size_t)b];
                if (!sa.running || !sb.running)
                    continue;
                if (liveNodes(sa.log(), sb.name) != 1 || liveNodes(sb.log(), sa.name) != 1)
                    return false;
            }
            return true;
        },
        timeoutMs);
}

int Mesh::stop(int i, int signo)
{
    Server &s = m_servers[(size_t)i];
    if (!std::exchange(s.running, false))
        return -1;
    s.process->signal(signo);
    return s.process->wait(30000);
}

bool Mesh::stopAll()
{
    bool clean = true;
    for (Server &s : m_servers)
        if (s.running)
            s.process->signal(SIGTERM);
    for (Server &s : m_servers)
        if (std::exchange(s.running, false))
            clean = s.process->wait(30000) == 0 && clean;
    return clean;
}

std::unique_ptr<Child> Mesh::listen(int i, const std::string &name)
{
    Server &s = m_servers[(size_t)i];
    auto client =
        std::make_unique<Child>(Launch{c_cli, {"--name", name, "listen", s.clientAddress()}, {}, {}, {}}, m_dir);
    if (!waitUntil([&] { return s.log().find("relay: client " + name + " joined\n") != std::string::npos; }))
        return nullptr;
    return client;
}

int Mesh::send(int i, const std::vector<std::string> &texts)
{
    Server &s = m_servers[(size_t)i];
    Launch launch{c_cli, {"--name", "sender" + std::to_string(++m_clients), "send", s.clientAddress()}, {}, {}, {}};
    launch.args.insert(launch.args.end(), texts.begin(), texts.end());
    Child client(launch, m_dir);
    return client.wait(30000);
}

std::string Mesh::why() const
{
    std::string text;
    for (const Server &s : m_servers)
        text += "---- " + s.name + " ----\n" + s.log() + (s.process ? s.process->err() : "");
    return text;
}

} /* namespace tq_mesh */
