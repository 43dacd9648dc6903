/* The client library's own cost per dataset, without a server: sending
 * (queued, written 64 at a time) and receiving (framing out of large reads),
 * over a socket pair whose other end a thread drains or fills. */
#include <benchmark/benchmark.h>

#include <tessarc/client.h>

#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

/* A connected client over a socket pair; `server` is the other end. */
struct Pair {
    int server = -1;
    TQ_Client *client = nullptr;

    Pair()
    {
        static const uint8_t handshake[] = {
            16, 0, 0, 0, 2, 0x80, 0, 0, 0, 1, 2, 0, 1, 0, 'T', 0, /* network ID */
            10, 0, 0, 0, 2, 0x80, 0, 0, 1, 1,                     /* accept */
            9,  0, 0, 0, 4, 0x80, 0, 0, 0,                        /* group exchange */
        };
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0 ||
            write(fds[0], handshake, sizeof handshake) != (ssize_t)sizeof handshake)
            return;
        server = fds[0];
        client = TQ_Client_connectFd(fds[1], nullptr, nullptr);
    }
    ~Pair()
    {
        shutdown(server, SHUT_RDWR);
        TQ_Client_close(client);
        close(server);
    }
};

void BM_ClientSendQueued(benchmark::State &state)
{
    Pair pair;
    std::thread drain([&] {
        std::vector<char> sink(1 << 18);
        while (read(pair.server, sink.data(), sink.size()) > 0) {
        }
    });
    std::vector<uint8_t> payload((size_t)state.range(0), 0x5a);
    uint64_t sent = 0;
    for (auto _ : state) {
        TQ_Client_queue(pair.client, 16, 0, 0, payload.data(), (uint32_t)payload.size());
        if (++sent % 64 == 0)
            TQ_Client_flush(pair.client);
    }
    TQ_Client_flush(pair.client);
    shutdown(pair.server, SHUT_RD);
    shutdown(pair.server, SHUT_WR);
    drain.join();
    state.SetItemsProcessed((int64_t)sent);
    state.SetBytesProcessed((int64_t)(sent * (payload.size() + 12)));
}
BENCHMARK(BM_ClientSendQueued)->Arg(64)->Arg(1024);

void BM_ClientReceive(benchmark::State &state)
{
    Pair pair;
    /* 256 datasets back to back, written over and over. */
    uint32_t length = 12 + (uint32_t)state.range(0);
    std::vector<uint8_t> block(256 * (size_t)length, 0x5a);
    for (size_t at = 0; at < block.size(); at += length) {
        memcpy(&block[at], &length, 4);
        block[at + 4] = 16;
        block[at + 5] = 0;
    }
    std::atomic<bool> stop{false};
    std::thread fill([&] {
        while (!stop && send(pair.server, block.data(), block.size(), MSG_NOSIGNAL) > 0) {
        }
    });
    TQ_ClientDataset dataset;
    uint64_t received = 0;
    for (auto _ : state) {
        if (TQ_Client_receive(pair.client, &dataset, 1000) != TQ_CLIENT_OK)
            state.SkipWithError("receive failed");
        ++received;
    }
    stop = true;
    shutdown(pair.server, SHUT_RDWR);
    fill.join();
    state.SetItemsProcessed((int64_t)received);
    state.SetBytesProcessed((int64_t)(received * length));
}
BENCHMARK(BM_ClientReceive)->Arg(64)->Arg(1024);

} /* namespace */
