/* One client used by a sending and a receiving thread at once, as the library allows: every dataset crosses intact and
 * in order both ways, and when the server goes away both sides fail cleanly. */
#include <gtest/gtest.h>

#include <tessarc/client.h>

#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace {

const uint32_t c_count = 20000;

/* The server's side of a handshake: network ID "T" version 2.1, accept, group exchange. */
const uint8_t c_serverHandshake[] = {
    17, 0, 0, 0, 2, 0x80, 0, 0, 0, 1, 2, 0, 1, 0, 'T', 0, 0, /* network ID (padded name) */
    10, 0, 0, 0, 2, 0x80, 0, 0, 1, 1,                        /* accept */
    9,  0, 0, 0, 4, 0x80, 0, 0, 0,                           /* group exchange */
};

TEST(ClientThreads, SendingAndReceivingSidesRunAtOnce)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    int server = fds[0];
    ASSERT_EQ(write(server, c_serverHandshake, sizeof c_serverHandshake), (ssize_t)sizeof c_serverHandshake);
    TQ_ClientError error;
    TQ_Client *client = TQ_Client_connectFd(fds[1], nullptr, &error);
    ASSERT_NE(client, nullptr) << error.message;
    /* Its network ID ("*"), accept and node name ("tessarc-cli"). */
    uint8_t handshake[16 + 10 + 12 + sizeof "tessarc-cli"];
    ASSERT_EQ(recv(server, handshake, sizeof handshake, MSG_WAITALL), (ssize_t)sizeof handshake);

    /* Client → server: sequence numbers as subtypes, queued and flushed. */
    int sendResult = -1;
    std::thread sender([&] {
        for (uint32_t i = 0; i < c_count; ++i) {
            sendResult =
                i % 3 == 0 ? TQ_Client_send(client, 16, 0, i, &i, 4) : TQ_Client_queue(client, 16, 0, i, &i, 4);
            if (sendResult != TQ_CLIENT_OK)
                return;
        }
        sendResult = TQ_Client_flush(client);
    });
    /* Server → client, read on another thread. */
    uint32_t received = 0;
    bool inOrder = true;
    std::thread receiver([&] {
        TQ_ClientDataset d;
        while (received < c_count && TQ_Client_receive(client, &d, 10000) == TQ_CLIENT_OK) {
            inOrder = inOrder && d.subtype == received && d.payloadLength == 0;
            ++received;
        }
    });
    std::thread writer([&] {
        uint8_t dataset[12] = {12, 0, 0, 0, 17, 0, 0, 0};
        for (uint32_t i = 0; i < c_count; ++i) {
            memcpy(dataset + 8, &i, 4);
            ASSERT_EQ(write(server, dataset, sizeof dataset), (ssize_t)sizeof dataset);
        }
    });
    for (uint32_t i = 0; i < c_count; ++i) {
        uint8_t dataset[16];
        ASSERT_EQ(recv(server, dataset, sizeof dataset, MSG_WAITALL), (ssize_t)sizeof dataset);
        uint32_t subtype, payload;
        memcpy(&subtype, dataset + 8, 4);
        memcpy(&payload, dataset + 12, 4);
        ASSERT_TRUE(dataset[0] == 16 && dataset[4] == 16 && subtype == i && payload == i) << "dataset " << i;
    }
    sender.join();
    receiver.join();
    writer.join();
    EXPECT_EQ(sendResult, TQ_CLIENT_OK);
    EXPECT_EQ(received, c_count);
    EXPECT_TRUE(inOrder);

    /* The server goes away while both sides are busy. */
    int sendEnd = TQ_CLIENT_OK, receiveEnd = TQ_CLIENT_OK;
    std::thread lateSender([&] {
        while ((sendEnd = TQ_Client_send(client, 16, 0, 0, "x", 1)) == TQ_CLIENT_OK) {
        }
    });
    std::thread lateReceiver([&] {
        TQ_ClientDataset d;
        receiveEnd = TQ_Client_receive(client, &d, 10000);
    });
    close(server);
    lateSender.join();
    lateReceiver.join();
    EXPECT_TRUE(sendEnd == TQ_CLIENT_CLOSED || sendEnd == TQ_CLIENT_IO) << sendEnd;
    EXPECT_EQ(receiveEnd, TQ_CLIENT_CLOSED);
    EXPECT_STRNE(TQ_Client_errorText(client), "");
    TQ_Client_close(client);
}

} /* namespace */
