/* relay.service and the client library with real processes on 127.0.0.1:
 * two tessarc-server processes linked over tcp.protocol, clients on both
 * (in this process through the library, and tessarc-cli processes), and
 * handshakes the servers refuse, as the client sees them. */
#include <gtest/gtest.h>

#include <tessarc/client.h>

#include <string.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>

#include "harness.h"

namespace fs = std::filesystem;
using tq_test::Child;
using tq_test::countOf;
using tq_test::TempDir;
using tq_test::writeFile;

namespace {

const fs::path c_build = TQ_BINARY_DIR;
const std::string c_cli = (c_build / "client/tessarc-cli").string();

/* A running server with tcp.protocol and relay.service and its ports. */
struct Server {
    std::unique_ptr<Child> process;
    std::string serverAddress, clientAddress;

    Server(const TempDir &dir, const std::string &name, const std::string &tcpExtra,
           const std::string &relayCfg = "ttl = 4;\nlogRepeats = true;\n")
    {
        fs::path root = dir.path() / name;
        for (const char *module : {"Protocols/tcp.protocol", "Services/relay.service"}) {
            fs::create_directories((root / module).parent_path());
            fs::copy_file(c_build / "modules" / (module[0] == 'P' ? "tcp" : "relay") / fs::path(module).filename(),
                          root / module, fs::copy_options::overwrite_existing);
        }
        writeFile(root / "Config/Communication.cfg",
                  "serverName = \"" + name +
                      "\";\nnetworkId = \"Tessarc\";\nprotocols = ( { name = \"tcp\"; "
                      "listen = \"127.0.0.1:0\"; clientListen = \"127.0.0.1:0\"; " +
                      tcpExtra + " } );\n");
        writeFile(root / "Config/relay.cfg", relayCfg);
        process = std::make_unique<Child>(tq_test::serverLaunch(root), root);
        serverAddress = "127.0.0.1:" + port("servers");
        clientAddress = "127.0.0.1:" + port("clients");
    }

    std::string port(const std::string &kind) const
    {
        std::string prefix = "tcp: listening for " + kind + " on 127.0.0.1:";
        EXPECT_TRUE(process->waitFor(prefix)) << process->out();
        std::string out = process->out();
        size_t at = out.find(prefix);
        return at == std::string::npos ? "0" : std::to_string(std::stoi(out.substr(at + prefix.size())));
    }

    /* Stops with SIGTERM and expects a clean end. */
    void stop()
    {
        process->signal(SIGTERM);
        EXPECT_EQ(process->wait(), 0) << process->out();
    }
};

/* A library client named `name` on `server`, once the relay knows it. */
TQ_Client *join(const Server &server, const char *name)
{
    TQ_ClientOptions options{};
    options.nodeName = name;
    TQ_ClientError error;
    TQ_Client *client = TQ_Client_connect(server.clientAddress.c_str(), &options, &error);
    EXPECT_NE(client, nullptr) << error.message;
    EXPECT_TRUE(server.process->waitFor(std::string("relay: client ") + name + " joined"));
    return client;
}

/* "subtype:payload;" for each of the next `count` datasets `client`
 * receives (waiting up to 10 s for each), in subtype order (datasets from
 * different servers may pass each other), then checks that nothing more
 * comes within a short while. */
std::string receive(TQ_Client *client, int count)
{
    std::map<uint32_t, std::string> bySubtype;
    TQ_ClientDataset dataset;
    for (int i = 0; i < count; ++i) {
        int code = TQ_Client_receive(client, &dataset, 10000);
        EXPECT_EQ(code, TQ_CLIENT_OK) << TQ_Client_errorText(client);
        if (code != TQ_CLIENT_OK)
            break;
        EXPECT_EQ(dataset.type, 16);
        EXPECT_EQ(dataset.length, 12 + dataset.payloadLength); /* never the broadcast form */
        bySubtype[dataset.subtype] += std::to_string(dataset.subtype) + ":" +
                                      std::string((const char *)dataset.payload, dataset.payloadLength) + ";";
    }
    std::string seen;
    for (const auto &entry : bySubtype)
        seen += entry.second;
    EXPECT_EQ(TQ_Client_receive(client, &dataset, 300), TQ_CLIENT_TIMEOUT) << "more after: " << seen;
    return seen;
}

TEST(Relay, DatasetsCrossTwoLinkedServersOnceEachWay)
{
    TempDir dir;
    Server a(dir, "a", "");
    Server b(dir, "b", "peers = \"" + a.serverAddress + "\";");
    ASSERT_TRUE(a.process->waitFor("Service manager: adding a node with name 'b'")) << a.process->out();
    ASSERT_TRUE(b.process->waitFor("Service manager: adding a node with name 'a'")) << b.process->out();

    /* x and z on a, y on b through the library; w on b is a tessarc-cli
     * listener that ends after two datasets. */
    TQ_Client *x = join(a, "x");
    TQ_Client *z = join(a, "z");
    TQ_Client *y = join(b, "y");
    Child w({c_cli, {"--name", "w", "listen", b.clientAddress, "--count", "2", "--for", "15000"}, {}, {}, {}},
            dir.path());
    ASSERT_TRUE(b.process->waitFor("relay: client w joined")) << w.err();

    ASSERT_EQ(TQ_Client_send(x, 16, 0, 7, "one", 3), TQ_CLIENT_OK);
    ASSERT_EQ(TQ_Client_send(y, 16, 0x80, 8, "two", 3), TQ_CLIENT_OK);
    EXPECT_EQ(w.wait(), 0) << w.err();
    EXPECT_EQ(countOf(w.out(), "dataset type 16 subtype 7, 3 bytes: one\n"), 1) << w.out();
    EXPECT_EQ(countOf(w.out(), "dataset type 16 subtype 8, 3 bytes: two\n"), 1) << w.out();

    /* Each dataset reaches every other client once and never its sender;
     * a payload over the 256-byte pool and an empty one cross as well. */
    std::string big(5000, 'q');
    ASSERT_EQ(TQ_Client_send(z, 16, 0, 9, big.data(), (uint32_t)big.size()), TQ_CLIENT_OK);
    ASSERT_EQ(TQ_Client_send(z, 16, 0, 10, nullptr, 0), TQ_CLIENT_OK);
    EXPECT_EQ(receive(y, 3), "7:one;9:" + big + ";10:;");
    EXPECT_EQ(receive(x, 3), "8:two;9:" + big + ";10:;");
    EXPECT_EQ(receive(z, 2), "7:one;8:two;");

    /* A relay dataset without a subtype is dropped at the first server. */
    const uint8_t stub[8] = {8, 0, 0, 0, 16, 0, 0, 0};
    ASSERT_EQ(TQ_Client_queueRaw(x, stub, sizeof stub), TQ_CLIENT_OK);
    ASSERT_EQ(TQ_Client_flush(x), TQ_CLIENT_OK);
    EXPECT_TRUE(a.process->waitFor("relay: dropped a dataset of 8 bytes from x"));
    EXPECT_EQ(receive(y, 0), "");

    for (TQ_Client *client : {x, y, z})
        TQ_Client_close(client);
    ASSERT_TRUE(b.process->waitFor("relay: client y left"));
    a.stop();
    b.stop();
    /* Two servers are a line: no dataset came back over another path. */
    EXPECT_EQ(countOf(a.process->out(), "relay: 3 datasets from clients, 1 from the mesh, 0 repeats, 1 dropped"), 1)
        << a.process->out();
    EXPECT_EQ(countOf(b.process->out(), "relay: 1 datasets from clients, 3 from the mesh, 0 repeats, 0 dropped"), 1)
        << b.process->out();
}

TEST(Relay, TriangleDeliversOnceAndRepeatsReachTheSecondHook)
{
    TempDir dir;
    Server a(dir, "a", "");
    Server b(dir, "b", "peers = \"" + a.serverAddress + "\";");
    Server c(dir, "c", "peers = [\"" + a.serverAddress + "\", \"" + b.serverAddress + "\"];");
    for (const Server *server : {&a, &b, &c})
        ASSERT_TRUE(server->process->waitFor("relay: dataset type 16, ttl 4, repeats logged"));
    for (const char *link : {"a: b", "a: c", "b: a", "b: c", "c: a", "c: b"}) {
        const Server &at = link[0] == 'a' ? a : link[0] == 'b' ? b : c;
        ASSERT_TRUE(at.process->waitFor(std::string("Service manager: adding a node with name '") + link[3] + "'"))
            << link << at.process->out();
    }
    TQ_Client *x = join(a, "x");
    TQ_Client *y = join(b, "y");
    TQ_Client *z = join(c, "z");

    /* b and c get the dataset from a and, unless one forwarded it to the
     * other before a's copy arrived there, again from each other: their
     * clients see it once, a second copy goes to the second hook. a drops
     * the copies coming back to it. */
    ASSERT_EQ(TQ_Client_send(x, 16, 0, 1, "round", 5), TQ_CLIENT_OK);
    EXPECT_EQ(receive(y, 1), "1:round;");
    EXPECT_EQ(receive(z, 1), "1:round;");
    EXPECT_EQ(receive(x, 0), "");
    auto repeats = [&] { return countOf(b.process->out() + c.process->out(), "relay: repeat from "); };
    for (int waited = 0; repeats() == 0 && waited < 10000; waited += 50)
        usleep(50000);
    EXPECT_GE(repeats(), 1);

    for (TQ_Client *client : {x, y, z})
        TQ_Client_close(client);
    for (Server *server : {&a, &b, &c})
        server->stop();
    EXPECT_EQ(countOf(a.process->out(), "relay: repeat"), 0);
    for (const Server *server : {&b, &c})
        EXPECT_EQ(countOf(server->process->out(), "relay: 0 datasets from clients, 1 from the mesh, "), 1)
            << server->process->out();
    EXPECT_EQ(repeats(), countOf(b.process->out() + c.process->out(), " 1 repeats, "));
}

TEST(Relay, RefusedHandshakesAreClearOnTheClientSide)
{
    TempDir dir;
    Server a(dir, "a", "");

    /* An old version: the server rejects it and says why in its log; the
     * tool exits with 2 and names both sides. */
    Child old({c_cli, {"--protocol-version", "2.0", "send", a.clientAddress, "x"}, {}, {}, {}}, dir.path());
    EXPECT_EQ(old.wait(), 2);
    EXPECT_NE(old.err().find("refused: the server refused the connection: this client announced network \"*\" "
                             "version 2.0, the server network \"Tessarc\" version 2.1 (the server requires "
                             "version 2.1 or later)"),
              std::string::npos)
        << old.err();
    EXPECT_TRUE(a.process->waitFor("Version 2.0 is too old; rejecting."));

    /* Mistakes found before dialling: a port past 65535 is a command-line
     * error naming the argument (1), an unknown name a lookup failure (2). */
    Child port({c_cli, {"bench", a.clientAddress, "--to", "127.0.0.1:65536"}, {}, {}, {}}, dir.path());
    EXPECT_EQ(port.wait(), 1);
    EXPECT_EQ(port.err(), "tessarc-cli: --to \"127.0.0.1:65536\": the port must be a number from 1 to 65535; see "
                          "tessarc-cli --help\n");
    Child name({c_cli, {"send", "no-such-host.invalid:7401", "x"}, {}, {}, {}}, dir.path());
    EXPECT_EQ(name.wait(), 2);
    EXPECT_EQ(name.err().rfind("tessarc-cli: lookup of \"no-such-host.invalid\" (ADDRESS) failed: ", 0), 0u)
        << name.err();

    /* Another network: both sides reject. */
    TQ_ClientOptions options{};
    options.networkId = "Elsewhere";
    TQ_ClientError error;
    EXPECT_EQ(TQ_Client_connect(a.clientAddress.c_str(), &options, &error), nullptr);
    EXPECT_EQ(error.code, TQ_CLIENT_REFUSED);
    EXPECT_STREQ(error.message, "the server's network identifier \"Tessarc\" is not \"Elsewhere\"; rejected");
    EXPECT_TRUE(a.process->waitFor("Got network ID: Elsewhere (version 2.1)"));

    /* The address for servers speaks something else first: the client
     * says so rather than waiting or misreading it. */
    EXPECT_EQ(TQ_Client_connect(a.serverAddress.c_str(), nullptr, &error), nullptr);
    EXPECT_EQ(error.code, TQ_CLIENT_PROTOCOL);
    EXPECT_NE(strstr(error.message, "is this its address for clients?"), nullptr) << error.message;

    /* A relay.cfg the relay cannot use: it refuses to start, the server
     * runs on without it. */
    Server b(dir, "b", "", "ttl = 0;\n");
    Server c(dir, "c", "", "logRepeats = 1;\n");
    for (Server *server : {&b, &c}) {
        EXPECT_TRUE(server->process->waitFor("Service manager: failed to init service 'relay'"));
        server->stop();
    }
    EXPECT_EQ(countOf(b.process->out(), "relay.cfg: datasetType must be from 5 to 255, ttl from 1 to 65535"), 1);
    EXPECT_EQ(countOf(c.process->out(), "relay.cfg: logRepeats has the wrong type"), 1);

    /* Nothing listening: a connect error, not a hang. */
    a.stop();
    EXPECT_EQ(TQ_Client_connect(a.clientAddress.c_str(), nullptr, &error), nullptr);
    EXPECT_EQ(error.code, TQ_CLIENT_CONNECT) << error.message;
}

} /* namespace */
