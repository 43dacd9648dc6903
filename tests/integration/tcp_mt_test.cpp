/* tcp.protocol in real tessarc-server processes on 127.0.0.1: two servers
 * that dial each other, the wire seen from a raw client socket (framing,
 * order, pings, the size bounds, a reject sent before the close), a client
 * that stops reading, and stopping with peers connected. */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <regex>
#include <thread>

#include "harness.h"

namespace fs = std::filesystem;
using tq_test::Child;
using tq_test::countOf;
using tq_test::Launch;
using tq_test::TempDir;
using tq_test::writeFile;

namespace {

const uint32_t kSizeLimit = 1048576;

/* A server in `root` with tcp.protocol and the given tcp group settings. */
Launch server(const fs::path &root, const std::string &name, const std::string &tcpSettings)
{
    fs::create_directories(root / "Protocols");
    fs::copy_file(fs::path(TQ_BINARY_DIR) / "modules/tcp/tcp.protocol", root / "Protocols/tcp.protocol",
                  fs::copy_options::overwrite_existing);
    writeFile(root / "Config/Communication.cfg",
              "serverName = \"" + name + "\";\nprotocols = ( { name = \"tcp\"; " + tcpSettings + " } );\n");
    Launch launch;
    launch.program = TQ_SERVER_BIN;
    launch.setEnv = {"TQ_INSTALL_DIR=" + root.string()};
    /* Freed buffers must not pile up in the sanitizer's quarantine, so the
     * memory bound below measures the server, not the tool. */
    const char *asan = getenv("ASAN_OPTIONS");
    launch.setEnv.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":quarantine_size_mb=16");
    launch.unsetEnv = {"NOTIFY_SOCKET"};
    return launch;
}

/* The port a server logged for "servers" or "clients". */
uint16_t loggedPort(const Child &child, const std::string &kind)
{
    std::string prefix = "tcp: listening for " + kind + " on 127.0.0.1:";
    if (!child.waitFor(prefix))
        return 0;
    std::string out = child.out();
    return static_cast<uint16_t>(std::stoi(out.substr(out.find(prefix) + prefix.size())));
}

/* A port that was free a moment ago. */
uint16_t freePort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

/* A raw client socket speaking datasets. */
struct Raw {
    int fd = -1;
    explicit Raw(uint16_t port)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            close(fd);
            fd = -1;
        }
        timeval tv{20, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    ~Raw()
    {
        if (fd >= 0)
            close(fd);
    }
    bool put(const std::string &bytes) const
    {
        for (size_t done = 0; done < bytes.size();) {
            ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    /* Exactly `count` bytes, or fewer at the end of the stream or after 20 s. */
    std::string take(size_t count) const
    {
        std::string bytes;
        char buffer[65536];
        while (bytes.size() < count) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20000) != 1)
                break;
            ssize_t n = recv(fd, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
            if (n <= 0)
                break;
            bytes.append(buffer, static_cast<size_t>(n));
        }
        return bytes;
    }
    /* One whole dataset; empty at the end of the stream. */
    std::string dataset() const
    {
        std::string head = take(4);
        if (head.size() < 4)
            return "";
        uint32_t length;
        std::memcpy(&length, head.data(), 4);
        return length < 4 ? head : head + take(length - 4);
    }
    bool atEnd() const { return take(1).empty(); }
};

std::string u32(uint32_t value)
{
    return std::string(reinterpret_cast<const char *>(&value), 4);
}

/* A dataset of `length` bytes: type, flags, reserved 0, then the payload
 * (cut or padded with bytes counting up). */
std::string dataset(uint32_t length, uint8_t type, uint8_t flags, const std::string &payload)
{
    std::string bytes = u32(length) + std::string{char(type), char(flags), 0, 0} + payload;
    for (size_t i = bytes.size(); i < length; ++i)
        bytes.push_back(static_cast<char>(i));
    bytes.resize(std::max<size_t>(length, 8));
    return bytes;
}

std::string ping(uint32_t length, uint32_t tag)
{
    return dataset(length, 1, 0, std::string(1, '\0') + u32(tag));
}

/* The network-ID dataset of a server of the network "Tessarc". */
std::string networkIdDataset()
{
    return dataset(22, 2, 0x80, std::string{0, 1, 2, 0, 1, 0} + "Tessarc" + '\0');
}

/* A server link's hello: "TQT1" and a node identifier of 12 equal bytes. */
std::string hello(char fill)
{
    return "TQT1" + std::string(12, fill);
}

std::string pongOf(std::string ping)
{
    ping[8] = 1;
    return ping;
}

long statusKb(pid_t pid, const std::string &field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    return -1;
}

/* Live connections by the communication manager's own lines. */
int liveConnections(const std::string &out)
{
    return countOf(out, "CM: adding connection") - countOf(out, "CM: removing connection");
}

} /* namespace */

TEST(Tcp, ServersDiallingEachOtherKeepOneLinkAndStopCleanlyWithPeersConnected)
{
    TempDir tmp;
    uint16_t portA = freePort(), portB = freePort();
    std::string peerOf = "; peers = [\"127.0.0.1:";
    Child a(server(tmp.path() / "a", "A",
                   "listen = \"127.0.0.1:" + std::to_string(portA) + "\"; clientListen = \"127.0.0.1:0\"" + peerOf +
                       std::to_string(portB) + "\"]; reconnectMin = 200; reconnectMax = 800;"),
            tmp.path());
    Child b(server(tmp.path() / "b", "B",
                   "listen = [\"127.0.0.1:" + std::to_string(portB) + "\"]" + peerOf + std::to_string(portA) +
                       "\"]; reconnectMin = 200; reconnectMax = 800;"),
            tmp.path());
    ASSERT_TRUE(a.waitFor("Got a server node name: B")) << a.out();
    ASSERT_TRUE(b.waitFor("Got a server node name: A")) << b.out();
    /* Retries run every 200 to 800 ms: a second link would show by now. */
    usleep(2500 * 1000);
    std::string outA = a.out(), outB = b.out();
    /* One link, made once: no reject on either side, no node replaced. */
    for (const std::string *out : {&outA, &outB}) {
        EXPECT_EQ(liveConnections(*out), 1) << *out;
        EXPECT_EQ(countOf(*out, "Got a server node name"), 1) << *out;
        EXPECT_EQ(countOf(*out, "removing a node"), 0) << *out;
        EXPECT_EQ(countOf(*out, "Got accept/reject: 0"), 0) << *out;
    }

    /* A stops with the server link and a client connected. */
    Raw client(loggedPort(a, "clients"));
    ASSERT_GE(client.fd, 0);
    EXPECT_NE(client.dataset(), ""); /* its network ID: the link is up */
    a.signal(SIGTERM);
    EXPECT_EQ(a.wait(20000), 0) << a.out() << a.err();
    EXPECT_EQ(a.err(), ""); /* sanitizer reports included */
    EXPECT_TRUE(client.atEnd());
    EXPECT_TRUE(b.waitFor("removing a node with name 'A'")) << b.out();
    EXPECT_TRUE(b.waitFor("127.0.0.1:" + std::to_string(portA) + " (dialled) closed: Connection refused")) << b.out();
    b.signal(SIGTERM);
    EXPECT_EQ(b.wait(20000), 0) << b.out() << b.err();
    EXPECT_EQ(b.err(), "");
    EXPECT_EQ(liveConnections(a.out()), 0);
    EXPECT_EQ(countOf(a.out(), "CM: removing interface, protocol = tcp"), 1);
}

TEST(Tcp, WireFramingOrderBoundsAndRejectBeforeClose)
{
    TempDir tmp;
    Child child(server(tmp.path() / "root", "S", "clientListen = \"127.0.0.1:0\";"), tmp.path());
    uint16_t port = loggedPort(child, "clients");
    ASSERT_NE(port, 0) << child.out();

    /* The network-ID dataset comes whole, framed by its length. */
    const std::string networkId = networkIdDataset();
    {
        Raw raw(port);
        EXPECT_EQ(raw.dataset(), networkId);

        /* Pings written in pieces that split headers, in one write many at
         * a time, and one large enough to be read straight into its buffer;
         * each pong comes back whole and in order. Their sizes straddle the
         * 512 bytes up to which a write copies datasets together, and more
         * than its 64 KiB stage of them queue up. */
        std::string pings, pongs;
        for (uint32_t i = 0; i < 500; ++i) {
            std::string p = ping(9 + i * 37 % 700, i);
            pings += p;
            pongs += pongOf(p);
        }
        std::string big = ping(300000, 501), limit = ping(kSizeLimit, 502);
        ASSERT_TRUE(raw.put(pings.substr(0, 3)) && raw.put(pings.substr(3, 7)));
        usleep(20000);
        ASSERT_TRUE(raw.put(pings.substr(10)));
        ASSERT_TRUE(raw.put(big.substr(0, 100)));
        usleep(20000);
        ASSERT_TRUE(raw.put(big.substr(100) + limit));
        EXPECT_EQ(raw.take(pongs.size()), pongs);
        EXPECT_EQ(raw.dataset(), pongOf(big));
        EXPECT_EQ(raw.dataset(), pongOf(limit));
    }
    /* A length under 8 or over the limit ends the link with a clear line. */
    for (uint32_t length : {7u, 0u, kSizeLimit + 1}) {
        Raw raw(port);
        EXPECT_EQ(raw.dataset(), networkId);
        std::string bad = u32(length) + std::string{1, 0, 0, 0};
        ASSERT_TRUE(raw.put(ping(9, 1) + bad + ping(12, 2)));
        EXPECT_EQ(raw.dataset(), pongOf(ping(9, 1)));
        EXPECT_TRUE(raw.atEnd()) << length;
    }
    std::string out = child.out();
    EXPECT_EQ(countOf(out, "is shorter than the 8-byte header; closing"), 2) << out;
    EXPECT_EQ(countOf(out, "dataset length 1048577 is over the limit of 1048576 bytes; closing"), 1) << out;

    /* A client of another network is rejected: the verdict arrives before
     * the end of the stream. */
    {
        Raw raw(port);
        EXPECT_EQ(raw.dataset(), networkId);
        ASSERT_TRUE(raw.put(dataset(20, 2, 0x80, std::string{0, 1, 2, 0, 1, 0} + "Other" + '\0')));
        EXPECT_EQ(raw.dataset(), dataset(10, 2, 0x80, std::string{1, 0}));
        EXPECT_TRUE(raw.atEnd());
    }
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(20000), 0) << child.out();
    EXPECT_EQ(child.err(), "");
}

TEST(Tcp, ClientThatStopsReadingIsDroppedAndMemoryStaysBounded)
{
    TempDir tmp;
    Child child(server(tmp.path() / "root", "S",
                       "clientListen = \"127.0.0.1:0\"; sendQueueBytes = " + std::to_string(kSizeLimit) + ";"),
                tmp.path());
    uint16_t port = loggedPort(child, "clients");
    ASSERT_NE(port, 0) << child.out();
    long before = statusKb(child.pid(), "VmHWM");

    /* 64 KiB pings, never reading a pong: without a bound the server would
     * hold 1 GiB of them. */
    Raw raw(port);
    std::string p = ping(65536, 7);
    uint64_t sent = 0;
    while (sent < (uint64_t(1) << 30) && raw.put(p))
        sent += p.size();
    EXPECT_LT(sent, uint64_t(1) << 30);
    EXPECT_TRUE(child.waitFor("the peer does not read and over 1048576 bytes are queued; disconnecting"))
        << child.out();
    long after = statusKb(child.pid(), "VmHWM");
    EXPECT_LT(after - before, 200 * 1024) << before << " kB before, " << after << " kB after";

    /* The server goes on serving. */
    Raw next(port);
    EXPECT_EQ(next.dataset().size(), 22u);
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(20000), 0) << child.out();
    EXPECT_EQ(child.err(), "");
}

TEST(Tcp, SecondLinkFromOneServerIsClosedOrHeldByIdentifierOrder)
{
    TempDir tmp;
    Child child(server(tmp.path() / "root", "S", "listen = \"127.0.0.1:0\";"), tmp.path());
    uint16_t port = loggedPort(child, "servers");
    ASSERT_NE(port, 0) << child.out();

    /* A peer whose identifier orders after this server's: the server keeps
     * its link and closes the newcomer. */
    {
        Raw first(port), second(port);
        ASSERT_TRUE(first.put(hello('\xff')));
        EXPECT_EQ(first.take(4), "TQT1");
        first.take(12);
        EXPECT_EQ(first.dataset(), networkIdDataset());
        ASSERT_TRUE(second.put(hello('\xff')));
        EXPECT_EQ(second.take(4), "TQT1");
        second.take(12);
        EXPECT_TRUE(second.atEnd());
    }
    /* One that orders first decides: the newcomer is held unread, and when
     * the first link ends it takes over, with what was sent behind its
     * hello delivered in order. */
    {
        Raw first(port), second(port);
        ASSERT_TRUE(first.put(hello('\0')));
        EXPECT_EQ(first.take(16).substr(0, 4), "TQT1");
        EXPECT_EQ(first.dataset(), networkIdDataset());
        std::string early = ping(9, 1) + ping(300, 2);
        ASSERT_TRUE(second.put(hello('\0') + early));
        EXPECT_EQ(second.take(16).substr(0, 4), "TQT1");
        ASSERT_TRUE(child.waitFor("waits: the server is already linked")) << child.out();
        close(first.fd);
        first.fd = -1;
        EXPECT_EQ(second.dataset(), networkIdDataset());
        EXPECT_EQ(second.dataset(), pongOf(ping(9, 1)));
        EXPECT_EQ(second.dataset(), pongOf(ping(300, 2)));
    }
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(20000), 0) << child.out();
    EXPECT_EQ(child.err(), "");
}

TEST(Tcp, ServerThatCanListenNowhereStopsAndMisspeltSettingsAreNamed)
{
    TempDir tmp;
    int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr *>(&address), length) | listen(taken, 1), 0);
    getsockname(taken, reinterpret_cast<sockaddr *>(&address), &length);
    std::string at = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    Child busy(server(tmp.path() / "busy", "S", "listen = \"" + at + "\"; clientListen = \"" + at + "\"; lisen = 1;"),
               tmp.path());
    EXPECT_EQ(busy.wait(20000), 0) << busy.out();
    close(taken);
    EXPECT_TRUE(tq_test::inOrder(busy.out(),
                                 {"busy/Config/Communication.cfg, line 2: the group \"tcp\" has no setting \"lisen\"",
                                  "cannot listen on " + at, "cannot listen on " + at,
                                  "none of the 2 listen addresses could be used; stopping the server"}))
        << busy.out();

    /* Communication.cfg does not parse: defaults, linked to nothing. */
    Child idle(server(tmp.path() / "broken", "S", "listen = "), tmp.path());
    EXPECT_TRUE(idle.waitFor("nothing can link to this server")) << idle.out();
    idle.signal(SIGTERM);
    EXPECT_EQ(idle.wait(20000), 0) << idle.out();
}

namespace {

/* A CA, certificates signed by it for a, b and c, and a self-signed "rogue"
 * one, made with the openssl tool; keys readable by their owner only. */
bool makeCertificates(const fs::path &dir)
{
    std::string script = "cd '" + dir.string() +
                         "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key "
                         "-out ca.pem -days 2 -subj /CN=ca && openssl req -x509 -newkey ec -pkeyopt "
                         "ec_paramgen_curve:P-256 -nodes -keyout rogue.key -out rogue.pem -days 2 -subj /CN=rogue && "
                         "for n in a b c; do openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "
                         "$n.key -out $n.csr -subj /CN=$n && openssl x509 -req -in $n.csr -CA ca.pem -CAkey ca.key "
                         "-CAcreateserial -days 2 -out $n.pem || exit 1; done; chmod 600 *.key";
    return system(("(" + script + ") >/dev/null 2>&1").c_str()) == 0;
}

std::string tlsSettings(const fs::path &dir, const std::string &node, const std::string &ca = "ca")
{
    return "tlsCertificate = \"" + (dir / (node + ".pem")).string() + "\"; tlsKey = \"" +
           (dir / (node + ".key")).string() + "\"; tlsCaFile = \"" + (dir / (ca + ".pem")).string() +
           "\"; connectTimeout = 700; ";
}

/* Forwards one connection on `listener` to `port` both ways and keeps every
 * byte that crossed. */
void recordRelay(int listener, uint16_t port, std::string &seen)
{
    int in = accept(listener, nullptr, nullptr);
    Raw out(port);
    pollfd ends[2] = {{in, POLLIN, 0}, {out.fd, POLLIN, 0}};
    char buffer[65536];
    while (in >= 0 && poll(ends, 2, 3000) > 0) {
        int from = (ends[0].revents & (POLLIN | POLLHUP)) ? 0 : 1;
        ssize_t n = recv(ends[from].fd, buffer, sizeof buffer, 0);
        if (n <= 0 || send(ends[1 - from].fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n)
            break;
        seen.append(buffer, static_cast<size_t>(n));
    }
    close(in);
}

} /* namespace */

TEST(Tcp, TlsLineCarriesDatasetsEncryptedAndRefusesPeersThatFailIt)
{
    TempDir tmp;
    const fs::path &dir = tmp.path();
    ASSERT_TRUE(makeCertificates(dir));
    auto withRelay = [](Launch launch, const fs::path &root) {
        fs::create_directories(root / "Services");
        fs::copy_file(fs::path(TQ_BINARY_DIR) / "modules/relay/relay.service", root / "Services/relay.service");
        return launch;
    };
    Child a(withRelay(server(dir / "a", "A",
                             tlsSettings(dir, "a") + "tls = \"required\"; listen = \"127.0.0.1:0\"; clientListen = "
                                                     "\"127.0.0.1:0\";"),
                      dir / "a"),
            dir);
    uint16_t portA = loggedPort(a, "servers"), clientsA = loggedPort(a, "clients");
    ASSERT_NE(portA, 0) << a.out();

    /* b dials a through a relay in this test that keeps the bytes. */
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), length) | listen(listener, 1), 0);
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    std::string wire;
    std::thread relay(recordRelay, listener, portA, std::ref(wire));
    Child b(withRelay(server(dir / "b", "B",
                             tlsSettings(dir, "b") +
                                 "clientListen = ( { address = \"127.0.0.1:0\"; tls = \"required\"; } ); peers = ( { "
                                 "address = \"127.0.0.1:" +
                                 std::to_string(ntohs(address.sin_port)) +
                                 "\"; tls = \"required\"; serverName = \"a\"; } );"),
                      dir / "b"),
            dir);
    uint16_t clientsB = loggedPort(b, "clients");
    ASSERT_TRUE(a.waitFor("Got a server node name: B")) << a.out();

    const std::string cli = TQ_BINARY_DIR "/client/tessarc-cli";
    std::vector<std::string> tls = {"--tls-ca",  (dir / "ca.pem").string(), "--tls-cert", (dir / "c.pem").string(),
                                    "--tls-key", (dir / "c.key").string()};
    auto cliArgs = [&](std::vector<std::string> args) {
        args.insert(args.begin(), tls.begin(), tls.end());
        return Launch{cli, args, {}, {}, {}};
    };
    Child listenerB(cliArgs({"--name", "x", "listen", "127.0.0.1:" + std::to_string(clientsB), "--count", "1"}), dir);
    ASSERT_TRUE(b.waitFor("relay: client x joined")) << listenerB.err();
    Child sender(cliArgs({"send", "127.0.0.1:" + std::to_string(clientsA), "payload-in-clear?"}), dir);
    EXPECT_EQ(sender.wait(), 0) << sender.err();
    EXPECT_EQ(listenerB.wait(), 0) << listenerB.err();
    EXPECT_NE(listenerB.out().find("payload-in-clear?"), std::string::npos) << listenerB.out();
    b.signal(SIGTERM);
    EXPECT_EQ(b.wait(20000), 0) << b.out();
    EXPECT_EQ(b.err(), ""); /* sanitizer reports included */
    relay.join();
    close(listener);
    EXPECT_GT(wire.size(), 1000u);
    EXPECT_EQ(wire.find("payload-in-clear?"), std::string::npos);
    EXPECT_EQ(wire.find("TQT1"), std::string::npos);
    EXPECT_EQ(wire.find("Tessarc"), std::string::npos); /* the network identifier */

    /* Refused, each with a line, and never handed to the server: a server
     * whose certificate no trusted CA signed, clients with the wrong CA, a
     * wrong pin or no certificate, a peer speaking plain text, and one that
     * stalls in the handshake. */
    for (int i = 0; i < 500 && liveConnections(a.out()) != 0; ++i)
        usleep(10000); /* the links of the first part are gone and logged */
    std::string before = a.out();
    Child rogue(server(dir / "r", "R",
                       tlsSettings(dir, "rogue") + "tls = \"required\"; peers = \"127.0.0.1:" + std::to_string(portA) +
                           "\"; reconnectMin = 60000;"),
                dir);
    EXPECT_TRUE(rogue.waitFor("(dialled) closed: ")) << rogue.out();
    std::string to = "127.0.0.1:" + std::to_string(clientsA);
    FILE *fingerprint =
        popen(("openssl x509 -noout -fingerprint -sha256 -in " + (dir / "a.pem").string()).c_str(), "r");
    char pin[160] = "";
    ASSERT_NE(fgets(pin, sizeof pin, fingerprint), nullptr);
    pclose(fingerprint);
    std::string pinA = std::string(pin).substr(std::string(pin).find('=') + 1, 95);
    std::vector<std::vector<std::string>> cases = {{"--tls-ca", (dir / "rogue.pem").string()},
                                                   {"--tls-pin", std::string(64, '0')},
                                                   {"--tls-pin", pinA, "--tls-server-name", "not-a"},
                                                   {"--tls-ca", (dir / "ca.pem").string()},
                                                   {"--tls-pin", pinA, "--tls-server-name", "a"}};
    for (size_t i = 0; i < cases.size(); ++i) {
        std::vector<std::string> args = cases[i];
        if (i != 3)
            args.insert(args.end(), tls.begin() + 2, tls.end());
        args.insert(args.end(), {"send", to, "x"});
        Child client(Launch{cli, args, {}, {}, {}}, dir);
        EXPECT_EQ(client.wait(), i == 4 ? 0 : 2) << i << client.err();
    }
    {
        Raw plain(portA), stalled(portA);
        ASSERT_TRUE(plain.put(hello('\x01')));
        EXPECT_TRUE(plain.atEnd());
        EXPECT_TRUE(stalled.atEnd()); /* closed by the deadline, long before the 20 s of take */
    }
    ASSERT_TRUE(a.waitFor("no answer in time")) << a.out();
    std::string after = a.out().substr(before.size());
    /* A client that gives up on the server's certificate may reset the
     * link before its alert is read: that line names the reset. */
    EXPECT_EQ(countOf(after, " closed: "), 8) << after;
    for (const char *reason :
         {"certificate verify failed: self-signed certificate", "peer did not return a certificate",
          "wrong version number", "no answer in time", "TLS 1.3 with /CN=c"})
        EXPECT_EQ(countOf(after, reason), 1) << reason << after;
    EXPECT_EQ(countOf(after, "CM: adding connection"), 1) << after; /* the pinned client only */

    /* A TLS setting that cannot be read leaves no address in clear. */
    Child misspelt(server(dir / "m", "M", "listen = ( { address = \"127.0.0.1:0\"; tls = \"requried\"; } );"), dir);
    EXPECT_TRUE(misspelt.waitFor("nothing can link to this server")) << misspelt.out();
    EXPECT_EQ(countOf(misspelt.out(), "listening for"), 0) << misspelt.out();
    misspelt.signal(SIGTERM);
    EXPECT_EQ(misspelt.wait(20000), 0);

    /* A key others may read stops the server at start. */
    fs::permissions(dir / "b.key", fs::perms::others_read, fs::perm_options::add);
    Child exposed(server(dir / "e", "E", tlsSettings(dir, "b") + "tls = \"required\"; listen = \"127.0.0.1:0\";"), dir);
    EXPECT_EQ(exposed.wait(20000), 0);
    EXPECT_NE(exposed.out().find("may be read by group or others"), std::string::npos) << exposed.out();
    a.signal(SIGTERM);
    EXPECT_EQ(a.wait(20000), 0) << a.out();
    EXPECT_EQ(a.err() + rogue.err(), "");
}

TEST(Tcp, PortOutOfRangeIsRefusedNamingTheSetting)
{
    TempDir tmp;
    Child child(server(tmp.path() / "root", "S", "listen = \"127.0.0.1:0\"; clientListen = \"127.0.0.1:99999\";"),
                tmp.path());
    EXPECT_NE(loggedPort(child, "servers"), 0) << child.out();
    EXPECT_TRUE(child.waitFor("tcp: clientListen: \"127.0.0.1:99999\" has no port from 0 to 65535")) << child.out();
    EXPECT_EQ(countOf(child.out(), "listening for clients"), 0) << child.out();
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(20000), 0) << child.out();
}

TEST(Tcp, ServerLinkWhoseUuidDatasetDisagreesWithItsHelloIsClosed)
{
    TempDir tmp;
    Child child(server(tmp.path() / "root", "S", "listen = \"127.0.0.1:0\";"), tmp.path());
    uint16_t port = loggedPort(child, "servers");
    ASSERT_NE(port, 0) << child.out();
    Raw impostor(port);
    ASSERT_TRUE(impostor.put(hello('\xff')));
    std::string own = impostor.take(16).substr(4);
    ASSERT_EQ(own.size(), 12u);
    EXPECT_EQ(impostor.dataset(), networkIdDataset());
    /* Accepted both ways, then the server's own identifier as its UUID. */
    ASSERT_TRUE(impostor.put(networkIdDataset() + dataset(10, 2, 0x80, {1, 1}) +
                             dataset(27, 2, 0x80, std::string{3, 0, 0, 0} + own + "me" + '\0')));
    EXPECT_TRUE(child.waitFor("closed: its UUID dataset names another server than its hello")) << child.out();
    while (!impostor.dataset().empty()) {
    }
    EXPECT_EQ(countOf(child.out(), "Got a server node name"), 0) << child.out();
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(20000), 0) << child.out();
}

TEST(Tcp, SilentPeersMeetTheHandshakeDeadlineAndRunningOutOfDescriptorsPausesAccepting)
{
    TempDir tmp;
    Launch launch = server(tmp.path() / "root", "S",
                           "clientListen = \"127.0.0.1:0\"; handshakeTimeout = 3000; acceptBackoff = 200;");
    /* A soft limit under the hard one, which the host raises. */
    launch.args = {"-c", "ulimit -Sn 40 && ulimit -Hn 80 && exec \"$0\"", launch.program};
    launch.program = "/bin/sh";
    Child child(launch, tmp.path());
    uint16_t port = loggedPort(child, "clients");
    ASSERT_NE(port, 0) << child.out();
    EXPECT_EQ(countOf(child.out(), "Open descriptors: up to 80\n"), 1) << child.out();
    std::vector<std::unique_ptr<Raw>> silent;
    for (int i = 0; i < 100; ++i)
        silent.push_back(std::make_unique<Raw>(port));
    ASSERT_TRUE(child.waitFor("tcp: accepting failed: ")) << child.out();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    int pauses = countOf(child.out(), "tcp: accepting failed: ");
    EXPECT_LE(pauses, 11) << pauses;
    EXPECT_TRUE(child.waitFor("closed: no handshake within 3000 ms")) << child.out().substr(0, 4000);
    pollfd p{silent.front()->fd, POLLIN, 0};
    char sink[4096];
    while (poll(&p, 1, 5000) == 1 && recv(p.fd, sink, sizeof sink, 0) > 0) {
    }
    EXPECT_EQ(recv(p.fd, sink, sizeof sink, MSG_DONTWAIT), 0); /* the end of the stream */
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(20000), 0) << child.out().substr(0, 4000);
}

TEST(Tcp, LinkThatEndedDuringAStallDoesNotBlockTheNewcomerJudgedAgainstIt)
{
    TempDir tmp;
    Child child(server(tmp.path() / "root", "S", "listen = \"127.0.0.1:0\";"), tmp.path());
    uint16_t port = loggedPort(child, "servers");
    ASSERT_NE(port, 0) << child.out();
    /* A peer ordering after this server, so this server judges newcomers. */
    Raw kept(port), newcomer(port);
    ASSERT_TRUE(kept.put(hello('\xff')));
    kept.take(16);
    EXPECT_EQ(kept.dataset(), networkIdDataset());
    newcomer.take(16);
    /* While the server is stopped the newcomer's hello arrives first, then
     * the end of the kept link: both are read in one batch on resumption. */
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    child.signal(SIGSTOP);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(newcomer.put(hello('\xff')));
    shutdown(kept.fd, SHUT_WR);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    child.signal(SIGCONT);
    EXPECT_EQ(newcomer.dataset(), networkIdDataset()) << child.out();
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(20000), 0) << child.out();
}
