/* The client library reading what a server sends: the input after its first
 * byte is everything the "server" end of a socket pair says before it ends
 * the stream, and the client runs its handshake on the other end and then
 * receives until the stream is used up. The first byte picks what the
 * client announces (network identifier and version), so both verdicts and
 * the refusal paths are reached. Every dataset handed out must lie within
 * the bytes read and agree with its own header. */
#include <tessarc/client.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

/* A socket pair holds this much unread without blocking the writer. */
constexpr size_t kMaxInput = 60000;

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > kMaxInput)
        return 0;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        std::abort();
    int buffer = 1 << 20;
    setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    uint8_t choice = data[0];
    if (size > 1 && write(pair[1], data + 1, size - 1) != (ssize_t)(size - 1))
        std::abort();
    shutdown(pair[1], SHUT_WR);

    TQ_ClientOptions options;
    std::memset(&options, 0, sizeof options);
    options.networkId = (choice & 1) ? "Tessarc" : nullptr;
    options.nodeName = "fuzz";
    if (choice & 2) {
        options.versionMajor = 2;
        options.versionMinor = 0;
    }
    options.timeoutMs = 1000;
    TQ_ClientError error;
    TQ_Client *client = TQ_Client_connectFd(pair[0], &options, &error);
    if (client == nullptr) {
        check(error.code != TQ_CLIENT_OK && error.message[0] != '\0');
        check(error.code != TQ_CLIENT_TIMEOUT); /* the stream ended: nothing is waited for */
    } else {
        TQ_ClientDataset dataset;
        int result;
        while ((result = TQ_Client_receive(client, &dataset, 0)) == TQ_CLIENT_OK) {
            uint32_t announced;
            std::memcpy(&announced, dataset.bytes, 4);
            check(announced == dataset.length && dataset.length >= 8 && dataset.length <= TQ_CLIENT_MAX_DATASET);
            check(dataset.type == dataset.bytes[4] && dataset.flags == dataset.bytes[5]);
            check(dataset.payload >= dataset.bytes + 8 &&
                  dataset.payload + dataset.payloadLength == dataset.bytes + dataset.length);
            if (dataset.payloadLength > 0) /* touched, so a stale pointer shows */
                check(std::memchr(dataset.payload, dataset.payload[0], dataset.payloadLength) != nullptr);
        }
        check(result != TQ_CLIENT_TIMEOUT && result != TQ_CLIENT_OK);
        check(TQ_Client_errorText(client)[0] != '\0');
        /* Usable for sending until the peer is gone; a failure is reported. */
        TQ_Client_send(client, 16, 0, 1, "x", 1);
        TQ_Client_close(client);
    }
    close(pair[1]);
    return 0;
}
