/* tcp.protocol in real tessarc-server processes on 127.0.0.1: the wire seen from raw sockets, a client that stops
 * reading, TLS, descriptors running out. */
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "mesh_harness.h"

namespace fs = std::filesystem;
using tq_mesh::tcpServer;
using tq_test::Child;
using tq_test::countOf;
using tq_test::dataset;
using tq_test::Launch;
using tq_test::liveConnections;
using tq_test::Raw;
using tq_test::TempDir;

namespace {

const uint32_t kSizeLimit = 1048576;

/* The port a server logged for "servers" or "clients", once it has. */
uint16_t loggedPort(const Child &child, const std::string &kind)
{
    uint16_t port = 0;
    tq_mesh::waitUntil(
        [&] { return (port = tq_test::loggedPort(child.out(), "tcp: listening for " + kind + " on ")) != 0; }, 15000);
    return port;
}

/* One server "S" with the tcp group `group` and its port for `kind`. It must end on SIGTERM with code 0 and no
 * sanitizer report on standard error. */
struct OneServer {
    TempDir tmp;
    Child child;
    uint16_t port;
    OneServer(const std::string &group, const std::string &kind)
        : child(tcpServer(tmp.path() / "root", "S", group), tmp.path()), port(loggedPort(child, kind))
    {
        EXPECT_NE(port, 0) << child.out();
    }
    ~OneServer()
    {
        child.signal(SIGTERM);
        EXPECT_EQ(child.wait(20000), 0) << child.out();
        EXPECT_EQ(child.err(), "");
    }
};

std::string ping(uint32_t length, uint32_t tag)
{
    return dataset(length, 1, 0, std::string(1, '\0') + std::string((const char *)&tag, 4));
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

} /* namespace */

TEST(Tcp, WireFramingOrderBoundsAndRejectBeforeClose)
{
    OneServer s("clientListen = \"127.0.0.1:0\";", "clients");

    /* The network-ID dataset comes whole, framed by its length. */
    const std::string networkId = networkIdDataset();
    {
        Raw raw(s.port);
        EXPECT_EQ(raw.dataset(), networkId);

        /* Pings in pieces that split headers, many in one write, and one read straight into its buffer: each pong comes
         * back whole and in order. Their sizes straddle the 512 bytes up to which a write copies datasets together, and
         * more than its 64 KiB stage of them queue up. */
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
        Raw raw(s.port);
        EXPECT_EQ(raw.dataset(), networkId);
        std::string bad = std::string((const char *)&length, 4) + std::string{1, 0, 0, 0};
        ASSERT_TRUE(raw.put(ping(9, 1) + bad + ping(12, 2)));
        EXPECT_EQ(raw.dataset(), pongOf(ping(9, 1)));
        EXPECT_TRUE(raw.atEnd()) << length;
    }
    std::string out = s.child.out();
    EXPECT_EQ(countOf(out, "is shorter than the 8-byte header; closing"), 2) << out;
    EXPECT_EQ(countOf(out, "dataset length 1048577 is over the limit of 1048576 bytes; closing"), 1) << out;

    /* A client of another network is rejected: the verdict arrives before the end of the stream. */
    {
        Raw raw(s.port);
        EXPECT_EQ(raw.dataset(), networkId);
        ASSERT_TRUE(raw.put(dataset(20, 2, 0x80, std::string{0, 1, 2, 0, 1, 0} + "Other" + '\0')));
        EXPECT_EQ(raw.dataset(), dataset(10, 2, 0x80, std::string{1, 0}));
        EXPECT_TRUE(raw.atEnd());
    }
}

TEST(Tcp, ClientThatStopsReadingIsDroppedAndMemoryStaysBounded)
{
    OneServer s("clientListen = \"127.0.0.1:0\"; sendQueueBytes = " + std::to_string(kSizeLimit) + ";", "clients");
    long before = tq_test::statusKb(s.child.pid(), "VmHWM");

    /* 64 KiB pings, never reading a pong: without a bound the server would hold 1 GiB of them. */
    Raw raw(s.port);
    std::string p = ping(65536, 7);
    uint64_t sent = 0;
    while (sent < (uint64_t(1) << 30) && raw.put(p))
        sent += p.size();
    EXPECT_LT(sent, uint64_t(1) << 30);
    EXPECT_TRUE(s.child.waitFor("the peer does not read and over 1048576 bytes are queued; disconnecting"))
        << s.child.out();
    long after = tq_test::statusKb(s.child.pid(), "VmHWM");
    EXPECT_LT(after - before, 200 * 1024) << before << " kB before, " << after << " kB after";

    /* The server goes on serving. */
    Raw next(s.port);
    EXPECT_EQ(next.dataset().size(), 22u);
}

TEST(Tcp, SecondLinkFromOneServerIsClosedOrHeldByIdentifierOrder)
{
    OneServer s("listen = \"127.0.0.1:0\";", "servers");

    /* A peer whose identifier orders after this server's: the server keeps its link, closes the newcomer. */
    {
        Raw first(s.port), second(s.port);
        ASSERT_TRUE(first.put(hello('\xff')));
        EXPECT_EQ(first.take(16).substr(0, 4), "TQT1");
        EXPECT_EQ(first.dataset(), networkIdDataset());
        ASSERT_TRUE(second.put(hello('\xff')));
        EXPECT_EQ(second.take(16).substr(0, 4), "TQT1");
        EXPECT_TRUE(second.atEnd());
    }
    /* One that orders first decides: the newcomer is held unread; when the first link ends it takes over, with what was
     * sent behind its hello delivered in order. */
    {
        Raw first(s.port), second(s.port);
        ASSERT_TRUE(first.put(hello('\0')));
        EXPECT_EQ(first.take(16).substr(0, 4), "TQT1");
        EXPECT_EQ(first.dataset(), networkIdDataset());
        std::string early = ping(9, 1) + ping(300, 2);
        ASSERT_TRUE(second.put(hello('\0') + early));
        EXPECT_EQ(second.take(16).substr(0, 4), "TQT1");
        ASSERT_TRUE(s.child.waitFor("waits: the server is already linked")) << s.child.out();
        close(first.fd);
        first.fd = -1;
        EXPECT_EQ(second.dataset(), networkIdDataset());
        EXPECT_EQ(second.dataset(), pongOf(ping(9, 1)));
        EXPECT_EQ(second.dataset(), pongOf(ping(300, 2)));
    }
}

TEST(Tcp, ServerThatCanListenNowhereStopsAndMisspeltSettingsAreNamed)
{
    TempDir tmp;
    uint16_t port = 0;
    int taken = tq_test::listenLoopback(port);
    std::string at = "127.0.0.1:" + std::to_string(port);
    Child busy(
        tcpServer(tmp.path() / "busy", "S", "listen = \"" + at + "\"; clientListen = \"" + at + "\"; lisen = 1;"),
        tmp.path());
    EXPECT_EQ(busy.wait(20000), 0) << busy.out();
    close(taken);
    EXPECT_TRUE(tq_test::inOrder(busy.out(),
                                 {"busy/Config/Communication.cfg, line 2: the group \"tcp\" has no setting \"lisen\"",
                                  "cannot listen on " + at, "cannot listen on " + at,
                                  "none of the 2 listen addresses could be used; stopping the server"}))
        << busy.out();
}

namespace {

/* A CA, certificates it signed for a, b and c, and a self-signed "rogue" one; keys owner-only. */
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

std::string tlsSettings(const fs::path &dir, const std::string &node)
{
    return "tlsCertificate = \"" + (dir / (node + ".pem")).string() + "\"; tlsKey = \"" +
           (dir / (node + ".key")).string() + "\"; tlsCaFile = \"" + (dir / "ca.pem").string() +
           "\"; connectTimeout = 700; ";
}

/* Forwards one connection on `listener` to `port` both ways, keeping every byte that crossed. */
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
    Child a(tcpServer(dir / "a", "A",
                      tlsSettings(dir, "a") + "tls = \"required\"; listen = \"127.0.0.1:0\"; clientListen = "
                                              "\"127.0.0.1:0\";",
                      true),
            dir);
    uint16_t portA = loggedPort(a, "servers"), clientsA = loggedPort(a, "clients");
    ASSERT_NE(portA, 0) << a.out();

    /* b dials a through a relay in this test that keeps the bytes. */
    uint16_t relayPort = 0;
    int listener = tq_test::listenLoopback(relayPort);
    std::string wire;
    std::thread relay(recordRelay, listener, portA, std::ref(wire));
    Child b(tcpServer(dir / "b", "B",
                      tlsSettings(dir, "b") +
                          "clientListen = ( { address = \"127.0.0.1:0\"; tls = \"required\"; } ); peers = ( { "
                          "address = \"127.0.0.1:" +
                          std::to_string(relayPort) + "\"; tls = \"required\"; serverName = \"a\"; } );",
                      true),
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
    /* A flood across the line: reads and writes of many records at once,
     * sockets full on the way, and every dataset arrives. */
    Child flood(cliArgs({"--count", "20000", "--size", "1000", "bench", "127.0.0.1:" + std::to_string(clientsA), "--to",
                         "127.0.0.1:" + std::to_string(clientsB)}),
                dir);
    EXPECT_EQ(flood.wait(60000), 0) << flood.out() << flood.err();
    b.signal(SIGTERM);
    EXPECT_EQ(b.wait(20000), 0) << b.out();
    EXPECT_EQ(b.err(), ""); /* sanitizer reports included */
    relay.join();
    close(listener);
    EXPECT_GT(wire.size(), 1000u);
    EXPECT_EQ(wire.find("payload-in-clear?"), std::string::npos);
    EXPECT_EQ(wire.substr(0, 65536).find("TQT1"), std::string::npos); /* the hello; later, ciphertext may hold it */
    EXPECT_EQ(wire.find("Tessarc"), std::string::npos);               /* the network identifier */

    /* Refused, each with a line, and never handed to the server: a server whose certificate no trusted CA signed,
     * clients with the wrong CA, a wrong pin or no certificate, a peer speaking plain text, and one that stalls in the
     * handshake. */
    tq_mesh::waitUntil([&] { return liveConnections(a.out()) == 0; }, 5000); /* the first part's links are gone */
    std::string before = a.out();
    Child rogue(tcpServer(dir / "r", "R",
                          tlsSettings(dir, "rogue") + "tls = \"required\"; peers = \"127.0.0.1:" +
                              std::to_string(portA) + "\"; reconnectMin = 60000;"),
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
    /* A client that gives up on the server's certificate may reset the link before its alert is read. */
    EXPECT_EQ(countOf(after, " closed: "), 8) << after;
    for (const char *reason :
         {"certificate verify failed: self-signed certificate", "peer did not return a certificate",
          "wrong version number", "no answer in time", "TLS 1.3 with /CN=c"})
        EXPECT_EQ(countOf(after, reason), 1) << reason << after;
    EXPECT_EQ(countOf(after, "CM: adding connection"), 1) << after; /* the pinned client only */

    /* A TLS setting that cannot be read leaves no address in clear. */
    const std::pair<const char *, const char *> wrong[] = {
        {"tls = \"requried\"; } );", "tls must be"},
        {"} ); tlsCiphersuites = \"TLS_AES_128_GCM_SHA256:TLS_AES_64\";", "\"TLS_AES_64\" is not a TLS 1.3 suite"},
        {"} ); tlsCiphersuites = \"\";", "\"\" is not a TLS 1.3 suite"}};
    for (const auto &[setting, reason] : wrong) {
        Child misspelt(
            tcpServer(dir / "m", "M",
                      tlsSettings(dir, "a") + "tls = \"required\"; listen = ( { address = \"127.0.0.1:0\"; " + setting),
            dir);
        EXPECT_TRUE(misspelt.waitFor("nothing can link to this server")) << misspelt.out();
        EXPECT_EQ(countOf(misspelt.out(), "listening for"), 0) << misspelt.out();
        EXPECT_EQ(countOf(misspelt.out(), reason), 1) << misspelt.out();
        misspelt.signal(SIGTERM);
        EXPECT_EQ(misspelt.wait(20000), 0);
    }

    /* A key others may read stops the server at start. */
    fs::permissions(dir / "b.key", fs::perms::others_read, fs::perm_options::add);
    Child exposed(tcpServer(dir / "e", "E", tlsSettings(dir, "b") + "tls = \"required\"; listen = \"127.0.0.1:0\";"),
                  dir);
    EXPECT_EQ(exposed.wait(20000), 0);
    EXPECT_NE(exposed.out().find("may be read by group or others"), std::string::npos) << exposed.out();
    a.signal(SIGTERM);
    EXPECT_EQ(a.wait(20000), 0) << a.out();
    EXPECT_EQ(a.err() + rogue.err(), "");
}

TEST(Tcp, PortOutOfRangeIsRefusedNamingTheSetting)
{
    OneServer s("listen = \"127.0.0.1:0\"; clientListen = \"127.0.0.1:99999\";", "servers");
    EXPECT_TRUE(s.child.waitFor("tcp: clientListen: \"127.0.0.1:99999\" has no port from 0 to 65535")) << s.child.out();
    EXPECT_EQ(countOf(s.child.out(), "listening for clients"), 0) << s.child.out();
}

TEST(Tcp, ServerLinkWhoseUuidDatasetDisagreesWithItsHelloIsClosed)
{
    OneServer s("listen = \"127.0.0.1:0\";", "servers");
    Raw impostor(s.port);
    ASSERT_TRUE(impostor.put(hello('\xff')));
    std::string own = impostor.take(16).substr(4);
    ASSERT_EQ(own.size(), 12u);
    EXPECT_EQ(impostor.dataset(), networkIdDataset());
    /* Accepted both ways, then the server's own identifier as its UUID. */
    ASSERT_TRUE(impostor.put(networkIdDataset() + dataset(10, 2, 0x80, {1, 1}) +
                             dataset(27, 2, 0x80, std::string{3, 0, 0, 0} + own + "me" + '\0')));
    EXPECT_TRUE(s.child.waitFor("closed: its UUID dataset names another server than its hello")) << s.child.out();
    while (!impostor.dataset().empty()) {
    }
    EXPECT_EQ(countOf(s.child.out(), "Got a server node name"), 0) << s.child.out();
}

TEST(Tcp, SilentPeersMeetTheHandshakeDeadlineAndRunningOutOfDescriptorsPausesAccepting)
{
    TempDir tmp;
    Launch launch = tcpServer(tmp.path() / "root", "S",
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
    silent.front()->take(SIZE_MAX, 5000);
    char sink;
    EXPECT_EQ(recv(silent.front()->fd, &sink, 1, MSG_DONTWAIT), 0); /* the end of the stream */
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(20000), 0) << child.out().substr(0, 4000);
}

TEST(Tcp, LinkThatEndedDuringAStallDoesNotBlockTheNewcomerJudgedAgainstIt)
{
    OneServer s("listen = \"127.0.0.1:0\";", "servers");
    /* A peer ordering after this server, so this server judges newcomers. */
    Raw kept(s.port), newcomer(s.port);
    ASSERT_TRUE(kept.put(hello('\xff')));
    kept.take(16);
    EXPECT_EQ(kept.dataset(), networkIdDataset());
    newcomer.take(16);
    /* While the server is stopped the newcomer's hello arrives, then the kept link's end: one batch. */
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    s.child.signal(SIGSTOP);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(newcomer.put(hello('\xff')));
    shutdown(kept.fd, SHUT_WR);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    s.child.signal(SIGCONT);
    EXPECT_EQ(newcomer.dataset(), networkIdDataset()) << s.child.out();
}
