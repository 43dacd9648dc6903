/* relay.service with linked tessarc-server processes and library clients, refused handshakes as the client sees them,
 * metrics.service scraped. */
#include <gtest/gtest.h>

#include <tessarc/client.h>

#include <string.h>
#include <unistd.h>

#include <map>
#include <string>

#include "mesh_harness.h"

using tq_mesh::Mesh;
using tq_test::Child;
using tq_test::countOf;
using tq_test::TempDir;

namespace {

const std::string c_cli = TQ_BINARY_DIR "/client/tessarc-cli";

/* A library client named `name` on server `i`, once the relay knows it. */
TQ_Client *join(Mesh &mesh, int i, const char *name)
{
    TQ_ClientOptions options{};
    options.nodeName = name;
    TQ_ClientError error;
    TQ_Client *client = TQ_Client_connect(mesh[i].clientAddress().c_str(), &options, &error);
    EXPECT_NE(client, nullptr) << error.message;
    EXPECT_TRUE(mesh[i].process->waitFor(std::string("relay: client ") + name + " joined"));
    return client;
}

/* "subtype:payload;" for the next `count` datasets in subtype order (those of different servers may pass each other);
 * then nothing more comes. */
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

/* The whole reply to GET `path` from 127.0.0.1:`port`; empty when nothing answers. */
std::string httpGet(uint16_t port, const std::string &path)
{
    tq_test::Raw http(port);
    return http.put("GET " + path + " HTTP/1.0\r\n\r\n") ? http.take(SIZE_MAX, 10000) : "";
}

/* The value of the first sample whose line starts with `series`; -1 when there is none. */
double sample(const std::string &text, const std::string &series)
{
    size_t at = text.find("\n" + series);
    return at == std::string::npos ? -1 : std::atof(text.c_str() + text.rfind(' ', text.find('\n', at + 1)) + 1);
}

TEST(Relay, DatasetsCrossTwoLinkedServersOnceEachWay)
{
    TempDir dir;
    Mesh mesh(dir.path(), 2, tq_mesh::line(2));
    ASSERT_TRUE(mesh.startAll()) << mesh.why();

    /* x and z on n0, y on n1. Each dataset reaches every other client once, never its sender; one over the 256-byte
     * pool and an empty one too. */
    TQ_Client *x = join(mesh, 0, "x");
    TQ_Client *z = join(mesh, 0, "z");
    TQ_Client *y = join(mesh, 1, "y");
    ASSERT_EQ(TQ_Client_send(x, 16, 0, 7, "one", 3), TQ_CLIENT_OK);
    ASSERT_EQ(TQ_Client_send(y, 16, 0x80, 8, "two", 3), TQ_CLIENT_OK);
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
    EXPECT_TRUE(mesh[0].process->waitFor("relay: dropped a dataset of 8 bytes from x"));
    EXPECT_EQ(receive(y, 0), "");

    for (TQ_Client *client : {x, y, z})
        TQ_Client_close(client);
    ASSERT_TRUE(mesh[1].process->waitFor("relay: client y left"));
    EXPECT_TRUE(mesh.stopAll()) << mesh.why();
    /* Two servers are a line: no dataset came back over another path. */
    EXPECT_EQ(countOf(mesh[0].log(), "relay: 3 datasets from clients, 1 from the mesh, 0 repeats, 1 dropped"), 1)
        << mesh.why();
    EXPECT_EQ(countOf(mesh[1].log(), "relay: 1 datasets from clients, 3 from the mesh, 0 repeats, 0 dropped"), 1)
        << mesh.why();
}

/* Refusals name what was refused: of clients as they see them, of a command line, and of a relay.cfg the relay cannot
 * use (it does not start; the server runs on without it, as the handshakes below show). */
TEST(Relay, RefusalsNameWhatWasRefused)
{
    TempDir dir;
    Mesh mesh(dir.path(), 1, {});
    mesh[0].relayCfg = "ttl = 0;\n";
    ASSERT_TRUE(mesh.startAll()) << mesh.why();
    EXPECT_TRUE(mesh[0].process->waitFor("Service manager: failed to init service 'relay'"));
    EXPECT_EQ(countOf(mesh[0].log(), "relay.cfg: datasetType must be from 5 to 255, ttl from 1 to 65535"), 1);
    const std::string clients = mesh[0].clientAddress();
    const std::string servers = "127.0.0.1:" + std::to_string(mesh[0].serverPort);

    /* An old version: rejected with the reason logged; the tool exits with 2 and names both sides. */
    Child old({c_cli, {"--protocol-version", "2.0", "send", clients, "x"}, {}, {}, {}}, dir.path());
    EXPECT_EQ(old.wait(), 2);
    EXPECT_NE(old.err().find("refused: the server refused the connection: this client announced network \"*\" "
                             "version 2.0, the server network \"Tessarc\" version 2.1 (the server requires "
                             "version 2.1 or later)"),
              std::string::npos)
        << old.err();
    EXPECT_TRUE(mesh[0].process->waitFor("Version 2.0 is too old; rejecting."));

    /* A port past 65535 is a command-line error naming the argument. */
    Child port({c_cli, {"bench", clients, "--to", "127.0.0.1:65536"}, {}, {}, {}}, dir.path());
    EXPECT_EQ(port.wait(), 1);
    EXPECT_EQ(port.err(), "tessarc-cli: --to \"127.0.0.1:65536\": the port must be a number from 1 to 65535; see "
                          "tessarc-cli --help\n");

    /* The address for servers speaks first: the client says so rather than wait or misread it. */
    TQ_ClientError error;
    EXPECT_EQ(TQ_Client_connect(servers.c_str(), nullptr, &error), nullptr);
    EXPECT_EQ(error.code, TQ_CLIENT_PROTOCOL);
    EXPECT_NE(strstr(error.message, "is this its address for clients?"), nullptr) << error.message;
    EXPECT_TRUE(mesh.stopAll()) << mesh.why();
}

} /* namespace */

TEST(Relay, MetricsFollowTheDatasetsAndABusyPortRefusesTheService)
{
    TempDir dir;
    Mesh mesh(dir.path(), 2, tq_mesh::line(2));
    /* n0 serves metrics on a port of the system's choosing; n1 is given one this test holds. */
    uint16_t taken = 0;
    int busy = tq_test::listenLoopback(taken);
    const std::string busyPort = std::to_string(taken);
    for (int i : {0, 1}) {
        std::filesystem::copy_file(TQ_BINARY_DIR "/modules/metrics/metrics.service",
                                   mesh[i].root / "Services/metrics.service");
        tq_test::writeFile(mesh[i].root / "Config/metrics.cfg", "port = " + (i ? busyPort : "0") + ";\n");
    }
    ASSERT_TRUE(mesh.startAll()) << mesh.why(); /* n1 runs on without the service */
    EXPECT_EQ(countOf(mesh[1].log(), "metrics: cannot serve on 127.0.0.1:" + busyPort), 1) << mesh[1].log();
    EXPECT_EQ(countOf(mesh[1].log(), "failed to init service 'metrics'"), 1) << mesh[1].log();
    close(busy);

    uint16_t port = tq_test::loggedPort(mesh[0].log(), "metrics: serving http://");
    ASSERT_NE(port, 0) << mesh[0].log();
    std::string before = httpGet(port, "/metrics");
    EXPECT_EQ(httpGet(port, "/other").find(" 404 "), 8u);
    ASSERT_EQ(before.find(" 200 "), 8u) << before;

    TQ_Client *x = join(mesh, 0, "x"), *y = join(mesh, 1, "y");
    for (uint32_t i = 0; i < 3; ++i)
        ASSERT_EQ(TQ_Client_send(x, 16, 0, i, "abc", 3), TQ_CLIENT_OK);
    EXPECT_EQ(receive(y, 3), "0:abc;1:abc;2:abc;");
    std::string after = httpGet(port, "/metrics");
    auto moved = [&](const std::string &series) {
        return sample(after, series) - std::max(0.0, sample(before, series));
    };
    EXPECT_EQ(moved("tessarc_relay_from_clients_total "), 3) << after;
    EXPECT_EQ(moved("tessarc_datasets_received_total{type=\"16\"}"), 3);
    EXPECT_GE(moved("tessarc_tcp_datasets_sent_total{link=\"server "), 3);
    EXPECT_EQ(sample(after, "tessarc_nodes{kind=\"client\"}"), 1);

    TQ_Client_close(x);
    TQ_Client_close(y);
    EXPECT_TRUE(mesh.stopAll()) << mesh.why();
}
