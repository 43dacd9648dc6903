/* The client library against a scripted server on the other end of a socket pair: the exact bytes of the client's
 * handshake and datasets, what it takes from the server in any read pattern, and every way a server can refuse it or
 * break the protocol. */
#include <gtest/gtest.h>

#include <tessarc/client.h>

#include "peer.h"

#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace tqtest;

/* A dataset: header with the length of everything, then `body`. */
Bytes dataset(uint8_t type, uint8_t flags, const Bytes &body)
{
    Bytes b(TQ_DATASET_HEADER_SIZE);
    TQ_wirePutHeader(b.data(), (uint32_t)(b.size() + body.size()), type, flags);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}
Bytes groups()
{
    return dataset(TQ_DATASET_GROUPS, TQ_FLAG_RELIABLE, {0});
}

Bytes appDataset(uint8_t type, uint32_t subtype, const std::string &text)
{
    Bytes body(4);
    TQ_wirePutU32(body.data(), subtype);
    body.insert(body.end(), text.begin(), text.end());
    return dataset(type, 0, body);
}

Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

/* One end of a socket pair plays the server; the client owns the other. */
struct Script {
    int fds[2] = {-1, -1}, &server = fds[0], &client = fds[1];
    Script() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0); }
    ~Script() { close(server); }
    void write(const Bytes &b) { ASSERT_EQ(::write(server, b.data(), b.size()), (ssize_t)b.size()); }
    void end() { shutdown(server, SHUT_WR); }
    /* Everything the client has written so far. */
    Bytes written()
    {
        Bytes all;
        uint8_t chunk[4096];
        ssize_t got;
        while ((got = recv(server, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
            all.insert(all.end(), chunk, chunk + got);
        return all;
    }
};

TQ_ClientOptions options(const char *networkId, uint16_t major = 0, uint16_t minor = 0, int timeoutMs = 2000)
{
    TQ_ClientOptions o{};
    o.networkId = networkId;
    o.nodeName = "probe";
    o.versionMajor = major;
    o.versionMinor = minor;
    o.timeoutMs = timeoutMs;
    return o;
}

TEST(Client, HandshakeAndDatasetsByteForByte)
{
    Script s;
    /* The whole server side at once, with an application dataset right behind the group exchange: it must not be lost
     * to the handshake. */
    s.write(join({netIdDataset(2, 1, "Tessarc"), verdictDataset(1), groups(), appDataset(16, 7, "early")}));
    TQ_ClientError error;
    TQ_ClientOptions o = options("Tessarc");
    TQ_Client *client = TQ_Client_connectFd(s.client, &o, &error);
    ASSERT_NE(client, nullptr) << error.message;
    EXPECT_STREQ(TQ_Client_serverNetworkId(client), "Tessarc");

    EXPECT_EQ(s.written(), join({netIdDataset(2, 1, "Tessarc"), verdictDataset(1), nodeNameDataset("probe")}));

    TQ_ClientDataset d;
    ASSERT_EQ(TQ_Client_receive(client, &d, 1000), TQ_CLIENT_OK);
    EXPECT_EQ(d.type, 16);
    EXPECT_EQ(d.subtype, 7u);
    EXPECT_EQ(std::string((const char *)d.payload, d.payloadLength), "early");
    EXPECT_EQ(d.length, 17u);

    /* A dataset split over two reads, neighbour and late group datasets skipped, a header-only dataset with subtype 0
     * and an empty payload. */
    Bytes later = appDataset(20, 0xA1B2C3D4, std::string(3000, 'x'));
    s.write(join({dataset(2, 0x80, {4, 0, 0, 0}), groups(), Bytes(later.begin(), later.begin() + 1001)}));
    EXPECT_EQ(TQ_Client_receive(client, &d, 50), TQ_CLIENT_TIMEOUT);
    s.write(join({Bytes(later.begin() + 1001, later.end()), dataset(9, 0x80, {})}));
    ASSERT_EQ(TQ_Client_receive(client, &d, 1000), TQ_CLIENT_OK);
    EXPECT_EQ(d.subtype, 0xA1B2C3D4u);
    EXPECT_EQ(Bytes(d.bytes, d.bytes + d.length), later);
    ASSERT_EQ(TQ_Client_receive(client, &d, 1000), TQ_CLIENT_OK);
    EXPECT_EQ(d.type, 9);
    EXPECT_EQ(d.flags, 0x80);
    EXPECT_EQ(d.subtype, 0u);
    EXPECT_EQ(d.payloadLength, 0u);

    /* Sending: one at once, queued ones only on flush, raw bytes as given. */
    ASSERT_EQ(TQ_Client_send(client, 16, 0x80, 5, "abc", 3), TQ_CLIENT_OK);
    EXPECT_EQ(s.written(), dataset(16, 0x80, {5, 0, 0, 0, 'a', 'b', 'c'}));
    ASSERT_EQ(TQ_Client_queue(client, 17, 0, 1, nullptr, 0), TQ_CLIENT_OK);
    ASSERT_EQ(TQ_Client_queueRaw(client, "\x03\x00\x00\x00", 4), TQ_CLIENT_OK);
    EXPECT_TRUE(s.written().empty());
    ASSERT_EQ(TQ_Client_flush(client), TQ_CLIENT_OK);
    EXPECT_EQ(s.written(), join({dataset(17, 0, {1, 0, 0, 0}), Bytes{3, 0, 0, 0}}));
    EXPECT_EQ(TQ_Client_send(client, 16, 0, 0, "x", TQ_CLIENT_MAX_DATASET), TQ_CLIENT_BAD_ARGUMENT);

    /* A reject after the handshake, then the end of the stream. */
    s.write(verdictDataset(0));
    s.end();
    EXPECT_EQ(TQ_Client_receive(client, &d, 1000), TQ_CLIENT_REFUSED);
    EXPECT_NE(std::string(TQ_Client_errorText(client)).find("rejected"), std::string::npos);
    EXPECT_EQ(TQ_Client_receive(client, &d, 1000), TQ_CLIENT_REFUSED);
    TQ_Client_close(client);
}

/* Runs a handshake against `script` (the server's bytes, then the end of the stream): the client fails with `code` and
 * a message holding each of `texts`. Returns the bytes the client wrote. */
Bytes refused(const Bytes &script, TQ_ClientOptions o, int code, std::initializer_list<const char *> texts = {})
{
    Script s;
    s.write(script);
    s.end();
    TQ_ClientError error{};
    TQ_Client *client = TQ_Client_connectFd(s.client, &o, &error);
    EXPECT_EQ(client, nullptr);
    TQ_Client_close(client);
    EXPECT_EQ(error.code, code) << error.message;
    for (const char *text : texts)
        EXPECT_NE(strstr(error.message, text), nullptr) << error.message;
    return s.written();
}

TEST(Client, RefusalsAndMalformedServersGiveClearErrors)
{
    /* The server rejects a newer network version: the message names it. */
    refused(join({netIdDataset(3, 0, "Tessarc"), verdictDataset(0)}), options("*", 2, 1), TQ_CLIENT_REFUSED,
            {"\"Tessarc\" version 3.0"});

    /* The client rejects an old server or a foreign network itself and says so on the wire (verdict 0) without sending
     * its name. */
    EXPECT_EQ(refused(netIdDataset(2, 0, "Tessarc"), options("*"), TQ_CLIENT_REFUSED, {"older than 2.1"}),
              join({netIdDataset(2, 1, "*"), verdictDataset(0)}));
    EXPECT_EQ(
        refused(netIdDataset(2, 1, "Other"), options("Tessarc"), TQ_CLIENT_REFUSED, {"\"Other\" is not \"Tessarc\""}),
        join({netIdDataset(2, 1, "Tessarc"), verdictDataset(0)}));

    /* A 15-byte network-ID dataset carries an empty identifier; with a wildcard client the handshake goes on (and then
     * the server leaves). */
    Bytes shortest = dataset(2, 0x80, {0, 1, 2, 0, 1, 0, 'X'});
    EXPECT_EQ(refused(shortest, options("*"), TQ_CLIENT_CLOSED).size(), 16u + 10u + 18u);

    /* Malformed or missing server data: a network-ID dataset of 14 bytes, an accept of 11, a header too short for its
     * own length, a length of 1 MiB + 1, and nothing at all. */
    refused(dataset(2, 0x80, {0, 1, 2, 0, 1, 0}), options("*"), TQ_CLIENT_PROTOCOL);
    refused(join({netIdDataset(2, 1, "T"), dataset(2, 0x80, {1, 1, 0})}), options("*"), TQ_CLIENT_PROTOCOL,
            {"accept dataset of 11 bytes"});
    refused({7, 0, 0, 0, 2, 0x80, 0, 0}, options("*"), TQ_CLIENT_PROTOCOL);
    refused({1, 0, 0x10, 0, 2, 0x80, 0, 0}, options("*"), TQ_CLIENT_PROTOCOL);
    refused({}, options("*"), TQ_CLIENT_CLOSED, {"before the handshake"});

    /* A silent server: the time limit holds. */
    Script silent;
    TQ_ClientOptions o = options("*", 0, 0, 100);
    TQ_ClientError e;
    TQ_Client *client = TQ_Client_connectFd(silent.client, &o, &e);
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(e.code, TQ_CLIENT_TIMEOUT);

    /* Addresses that cannot be used. */
    for (const char *address : {"no-port", "127.0.0.1:"}) {
        EXPECT_EQ(TQ_Client_connect(address, nullptr, &e), nullptr);
        EXPECT_EQ(e.code, TQ_CLIENT_BAD_ARGUMENT) << address;
    }
}

} /* namespace */
