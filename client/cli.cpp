/* tessarc-cli: a client of a Tessarc server from the command line. It sends
 * datasets, prints the datasets it receives, and measures throughput and
 * round-trip latency through one or more servers. */
#include <tessarc/client.h>

#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

const char c_usage[] = "usage: tessarc-cli [options] send ADDRESS [TEXT...]\n"
                       "       tessarc-cli [options] listen ADDRESS\n"
                       "       tessarc-cli [options] bench ADDRESS\n"
                       "\n"
                       "ADDRESS is the host:port a server takes clients on.\n"
                       "  send    sends each TEXT as one dataset, or each line of standard input\n"
                       "  listen  prints every dataset received, one line each\n"
                       "  bench   sends --count datasets of --size payload bytes from one client and\n"
                       "          receives them on a second one (on --to, else on ADDRESS): prints\n"
                       "          datasets/s and MB/s; with --rtt the second client echoes each\n"
                       "          dataset and round-trip percentiles are printed\n"
                       "\n"
                       "options:\n"
                       "  --network ID     network identifier to announce (default \"*\", any)\n"
                       "  --name NAME      client name (default tessarc-cli)\n"
                       "  --protocol-version M.N\n"
                       "                   protocol version to announce (default 2.1)\n"
                       "  --type T         dataset type (default 16, the relay service's)\n"
                       "  --subtype N      subtype of datasets sent (default 0)\n"
                       "  --timeout MS     connect and handshake limit (default 10000)\n"
                       "  --count N        listen: stop after N datasets; bench: datasets to send\n"
                       "                   (default 100000, with --rtt 10000)\n"
                       "  --for MS         listen: stop after MS milliseconds\n"
                       "  --echo           listen: send every dataset received back to the server\n"
                       "                   (through the relay two echoing listeners echo each other)\n"
                       "  --size BYTES     bench: payload bytes after the subtype (default 64, at least 16)\n"
                       "  --to ADDRESS     bench: where the receiving client connects\n"
                       "  --window N       bench: datasets in flight at most (default 4096)\n"
                       "  --rtt            bench: measure round trips, one dataset in flight\n"
                       "  --tls-ca FILE    connect with TLS 1.3; the server's certificate must chain\n"
                       "                   to a CA in FILE (PEM)\n"
                       "  --tls-pin SHA256 connect with TLS 1.3; the server's certificate must have\n"
                       "                   this SHA-256 fingerprint (hex, colons allowed)\n"
                       "  --tls-server-name NAME\n"
                       "                   the name the server's certificate must carry\n"
                       "  --tls-cert FILE  client certificate chain (PEM), for servers that ask\n"
                       "  --tls-key FILE   its key (PEM; default: in --tls-cert)\n"
                       "  -h, --help       print this help and exit\n"
                       "  --version        print the version of tessarc-cli and exit\n"
                       "\n"
                       "Exit codes: 0 done, 1 bad command line, 2 the connection failed or was\n"
                       "refused, 3 bench: datasets did not arrive.\n";

struct Options {
    TQ_ClientOptions client{};
    std::string networkId = "*", name = "tessarc-cli";
    int type = 16;
    uint32_t subtype = 0;
    long count = -1, forMs = -1;
    bool echo = false, rtt = false;
    uint32_t size = 64;
    long window = 4096;
    std::string to;
    std::string command, address;
    std::vector<std::string> texts;
};

/* A command-line mistake: one line, and where the whole usage is. */
[[noreturn]] void usage(const std::string &problem)
{
    std::fprintf(stderr, "tessarc-cli: %s; see tessarc-cli --help\n", problem.c_str());
    std::exit(1);
}

/* Checks the host:port given as `argument` (ADDRESS or --to) before the
 * client library connects, so that a port out of range is a command-line
 * mistake and a name the resolver cannot find is reported as such, with the
 * resolver's reason (exit code 2), rather than as a refused connection. */
void checkAddress(const char *argument, const std::string &address)
{
    size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == address.size())
        usage(std::string(argument) + " \"" + address + "\" is not host:port");
    std::string host = address.substr(0, colon), port = address.substr(colon + 1);
    if (port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5 || std::stol(port) < 1 ||
        std::stol(port) > 65535)
        usage(std::string(argument) + " \"" + address + "\": the port must be a number from 1 to 65535");
    struct addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *found = nullptr;
    int resolved = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (resolved != 0) {
        std::fprintf(stderr, "tessarc-cli: lookup of \"%s\" (%s) failed: %s\n", host.c_str(), argument,
                     gai_strerror(resolved));
        std::exit(2);
    }
    freeaddrinfo(found);
}

long number(const std::string &option, const char *text, long low, long high)
{
    char *end = nullptr;
    long value = std::strtol(text, &end, 0);
    if (*text == '\0' || *end != '\0' || value < low || value > high)
        usage(option + " wants a number from " + std::to_string(low) + " to " + std::to_string(high));
    return value;
}

Options parse(int argc, char **argv)
{
    Options o;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc)
                usage(arg + " wants a value");
            return argv[++i];
        };
        if (arg == "--network")
            o.networkId = value();
        else if (arg == "--name")
            o.name = value();
        else if (arg == "--version") {
            std::printf("tessarc-cli %s\n", TQ_CLI_VERSION);
            std::exit(0);
        } else if (arg == "--protocol-version") {
            unsigned major = 0, minor = 0;
            const char *text = value();
            if (std::sscanf(text, "%u.%u", &major, &minor) != 2 || major == 0 || major > 65535 || minor > 65535)
                usage("--protocol-version wants MAJOR.MINOR");
            o.client.versionMajor = (uint16_t)major;
            o.client.versionMinor = (uint16_t)minor;
        } else if (arg == "--type")
            o.type = (int)number(arg, value(), 4, 255);
        else if (arg == "--subtype")
            o.subtype = (uint32_t)number(arg, value(), 0, 0xFFFFFFFFL);
        else if (arg == "--timeout")
            o.client.timeoutMs = (int)number(arg, value(), 1, 3600000);
        else if (arg == "--count")
            o.count = number(arg, value(), 1, 1000000000L);
        else if (arg == "--for")
            o.forMs = number(arg, value(), 0, 86400000L);
        else if (arg == "--echo")
            o.echo = true;
        else if (arg == "--rtt")
            o.rtt = true;
        else if (arg == "--size")
            o.size = (uint32_t)number(arg, value(), 16, 1000000);
        else if (arg == "--window")
            o.window = number(arg, value(), 1, 1000000);
        else if (arg == "--to")
            o.to = value();
        else if (arg == "--tls-ca")
            o.client.tlsCaFile = value();
        else if (arg == "--tls-pin")
            o.client.tlsPin = value();
        else if (arg == "--tls-server-name")
            o.client.tlsServerName = value();
        else if (arg == "--tls-cert")
            o.client.tlsCertificate = value();
        else if (arg == "--tls-key")
            o.client.tlsKey = value();
        else if (arg == "-h" || arg == "--help") {
            std::fputs(c_usage, stdout);
            std::exit(0);
        } else if (arg.size() > 1 && arg[0] == '-')
            usage("unknown option " + arg);
        else
            words.push_back(arg);
    }
    if (words.size() < 2)
        usage("a command and an address are needed");
    o.command = words[0];
    o.address = words[1];
    o.texts.assign(words.begin() + 2, words.end());
    if (o.command != "send" && o.command != "listen" && o.command != "bench")
        usage("unknown command " + o.command);
    if (o.command != "send" && !o.texts.empty())
        usage("unexpected " + o.texts[0]);
    checkAddress("ADDRESS", o.address);
    if (!o.to.empty())
        checkAddress("--to", o.to);
    o.client.networkId = o.networkId.c_str();
    o.client.nodeName = o.name.c_str();
    return o;
}

/* Connects or ends the program with the server's reason (exit code 2). */
TQ_Client *connectOrExit(const Options &o, const std::string &address)
{
    TQ_ClientError error;
    TQ_Client *client = TQ_Client_connect(address.c_str(), &o.client, &error);
    if (!client) {
        std::fprintf(stderr, "tessarc-cli: %s: %s\n", TQ_Client_codeName(error.code), error.message);
        std::exit(2);
    }
    uint16_t major = 0, minor = 0;
    TQ_Client_serverVersion(client, &major, &minor);
    std::printf("connected to %s: network \"%s\", version %u.%u\n", address.c_str(), TQ_Client_serverNetworkId(client),
                major, minor);
    std::fflush(stdout);
    return client;
}

[[noreturn]] void failed(TQ_Client *client, int code)
{
    std::fprintf(stderr, "tessarc-cli: %s: %s\n", TQ_Client_codeName(code), TQ_Client_errorText(client));
    std::exit(2);
}

/* ---- send and listen ---- */

int sendCommand(const Options &o)
{
    TQ_Client *client = connectOrExit(o, o.address);
    auto sendText = [&](const std::string &text) {
        int code = TQ_Client_send(client, (uint8_t)o.type, 0, o.subtype, text.data(), (uint32_t)text.size());
        if (code != TQ_CLIENT_OK)
            failed(client, code);
    };
    if (!o.texts.empty()) {
        for (const std::string &text : o.texts)
            sendText(text);
    } else {
        std::string line;
        while (std::getline(std::cin, line))
            sendText(line);
    }
    TQ_Client_close(client);
    return 0;
}

/* The payload as text when it is printable, else in hex. */
std::string show(const uint8_t *bytes, uint32_t length)
{
    bool printable = std::all_of(bytes, bytes + length, [](uint8_t c) { return c >= 0x20 && c < 0x7f; });
    if (printable)
        return std::string((const char *)bytes, length);
    std::string hex = "0x";
    char digits[3];
    for (uint32_t i = 0; i < length && i < 64; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
        hex += digits;
    }
    return length > 64 ? hex + "..." : hex;
}

int listenCommand(const Options &o)
{
    TQ_Client *client = connectOrExit(o, o.address);
    auto start = std::chrono::steady_clock::now();
    long seen = 0;
    while (o.count < 0 || seen < o.count) {
        int wait = -1;
        if (o.forMs >= 0) {
            long spent =
                (long)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                    .count();
            if (spent >= o.forMs)
                break;
            wait = (int)(o.forMs - spent);
        }
        TQ_ClientDataset dataset;
        int code = TQ_Client_receive(client, &dataset, wait);
        if (code == TQ_CLIENT_TIMEOUT)
            break;
        if (code != TQ_CLIENT_OK)
            failed(client, code);
        ++seen;
        std::printf("dataset type %u subtype %u, %u bytes: %s\n", dataset.type, dataset.subtype, dataset.payloadLength,
                    show(dataset.payload, dataset.payloadLength).c_str());
        std::fflush(stdout);
        if (o.echo) {
            code = TQ_Client_send(client, dataset.type, 0, dataset.subtype, dataset.payload, dataset.payloadLength);
            if (code != TQ_CLIENT_OK)
                failed(client, code);
        }
    }
    TQ_Client_close(client);
    return 0;
}

/* ---- bench ---- */

/* Every bench dataset starts with the run's tag and its sequence number, so
 * other traffic on the server is told apart. */
struct Stamp {
    uint64_t tag;
    uint64_t sequence;
};

double seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

/* Receives until a dataset of this run arrives; its sequence number, or -1
 * when nothing came within `timeoutMs`. */
long long receiveStamp(TQ_Client *client, uint64_t tag, int timeoutMs)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        long left =
            (long)std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
                .count();
        TQ_ClientDataset dataset;
        int code = TQ_Client_receive(client, &dataset, left < 0 ? 0 : (int)left);
        if (code == TQ_CLIENT_TIMEOUT)
            return -1;
        if (code != TQ_CLIENT_OK)
            failed(client, code);
        Stamp stamp;
        if (dataset.payloadLength < sizeof stamp)
            continue;
        std::memcpy(&stamp, dataset.payload, sizeof stamp);
        if (stamp.tag == tag)
            return (long long)stamp.sequence;
    }
}

/* Sends probes from `from` until `to` sees one: the relay then knows both
 * clients. Probes carry sequence numbers past every real one. */
void warmUp(TQ_Client *from, TQ_Client *to, const Options &o, uint64_t tag, std::vector<uint8_t> &payload)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        Stamp stamp{tag, (uint64_t)1 << 62};
        std::memcpy(payload.data(), &stamp, sizeof stamp);
        int code = TQ_Client_send(from, (uint8_t)o.type, 0, o.subtype, payload.data(), o.size);
        if (code != TQ_CLIENT_OK)
            failed(from, code);
        if (receiveStamp(to, tag, 100) >= 0) {
            while (receiveStamp(to, tag, 50) >= 0) {
            }
            return;
        }
    }
    std::fprintf(stderr, "tessarc-cli: datasets from the sending client do not reach the receiving one\n");
    std::exit(3);
}

int benchThroughput(const Options &o, TQ_Client *sender, TQ_Client *receiver, uint64_t tag,
                    std::vector<uint8_t> &payload)
{
    long count = o.count > 0 ? o.count : 100000;
    std::atomic<long> received{0};
    std::atomic<bool> stalled{false};
    std::mutex lock;
    std::condition_variable progress;
    std::chrono::steady_clock::time_point last;
    std::thread reader([&] {
        while (received.load() < count) {
            long long sequence = receiveStamp(receiver, tag, 10000);
            if (sequence < 0) {
                stalled = true;
                break;
            }
            if (sequence >= count)
                continue; /* a late probe */
            long now = received.fetch_add(1) + 1;
            if (now % 256 == 0 || now == count) {
                std::lock_guard<std::mutex> guard(lock);
                progress.notify_one();
            }
        }
        last = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> guard(lock);
        progress.notify_one();
    });
    auto first = std::chrono::steady_clock::now();
    for (long i = 0; i < count && !stalled; ++i) {
        if (i - received.load() >= o.window) {
            int code = TQ_Client_flush(sender);
            if (code != TQ_CLIENT_OK)
                failed(sender, code);
            std::unique_lock<std::mutex> guard(lock);
            progress.wait_for(guard, std::chrono::milliseconds(1),
                              [&] { return i - received.load() < o.window || stalled.load(); });
            --i;
            continue;
        }
        Stamp stamp{tag, (uint64_t)i};
        std::memcpy(payload.data(), &stamp, sizeof stamp);
        int code = TQ_Client_queue(sender, (uint8_t)o.type, 0, o.subtype, payload.data(), o.size);
        if (code == TQ_CLIENT_OK && (i % 64 == 63 || i + 1 == count))
            code = TQ_Client_flush(sender);
        if (code != TQ_CLIENT_OK)
            failed(sender, code);
    }
    reader.join();
    if (stalled) {
        std::fprintf(stderr, "tessarc-cli: %ld of %ld datasets arrived; nothing for 10 s\n", received.load(), count);
        return 3;
    }
    double elapsed = seconds(last - first);
    double wire = (double)o.size + 12;
    std::printf("bench: %ld datasets of %u payload bytes (%.0f on the wire) in %.3f s: %.0f datasets/s, %.2f MB/s\n",
                count, o.size, wire, elapsed, count / elapsed, count * wire / elapsed / 1e6);
    return 0;
}

int benchRoundTrip(const Options &o, TQ_Client *sender, TQ_Client *echoer, uint64_t tag, std::vector<uint8_t> &payload)
{
    long count = o.count > 0 ? o.count : 10000;
    std::vector<double> samples;
    samples.reserve((size_t)count);
    for (long i = 0; i < count; ++i) {
        Stamp stamp{tag, (uint64_t)i};
        std::memcpy(payload.data(), &stamp, sizeof stamp);
        auto start = std::chrono::steady_clock::now();
        int code = TQ_Client_send(sender, (uint8_t)o.type, 0, o.subtype, payload.data(), o.size);
        if (code != TQ_CLIENT_OK)
            failed(sender, code);
        if (receiveStamp(echoer, tag, 10000) != i) {
            std::fprintf(stderr, "tessarc-cli: dataset %ld did not reach the echoing client\n", i);
            return 3;
        }
        code = TQ_Client_send(echoer, (uint8_t)o.type, 0, o.subtype, payload.data(), o.size);
        if (code != TQ_CLIENT_OK)
            failed(echoer, code);
        if (receiveStamp(sender, tag, 10000) != i) {
            std::fprintf(stderr, "tessarc-cli: the echo of dataset %ld did not come back\n", i);
            return 3;
        }
        samples.push_back(seconds(std::chrono::steady_clock::now() - start) * 1e6);
    }
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) { return samples[std::min(samples.size() - 1, (size_t)(q * (double)samples.size()))]; };
    std::printf("rtt: %ld round trips of %u payload bytes: p50 %.1f us, p99 %.1f us, p99.9 %.1f us, max %.1f us\n",
                count, o.size, at(0.5), at(0.99), at(0.999), samples.back());
    return 0;
}

int benchCommand(const Options &o)
{
    TQ_Client *receiver = connectOrExit(o, o.to.empty() ? o.address : o.to);
    TQ_Client *sender = connectOrExit(o, o.address);
    std::random_device seed;
    uint64_t tag =
        ((uint64_t)seed() << 32) ^ seed() ^ (uint64_t)std::chrono::steady_clock::now().time_since_epoch().count();
    std::vector<uint8_t> payload(o.size, 0x5a);
    warmUp(sender, receiver, o, tag, payload);
    int result =
        o.rtt ? benchRoundTrip(o, sender, receiver, tag, payload) : benchThroughput(o, sender, receiver, tag, payload);
    std::fflush(stdout);
    TQ_Client_close(sender);
    TQ_Client_close(receiver);
    return result;
}

} /* namespace */

int main(int argc, char **argv)
{
    Options o = parse(argc, argv);
    if (o.command == "send")
        return sendCommand(o);
    if (o.command == "listen")
        return listenCommand(o);
    return benchCommand(o);
}
