/* The receive path as a peer meets it: the tcp protocol module, configured
 * and run through its entry points like the server loads it, in front of the
 * server core with relay.service registered. tcp listens on 127.0.0.1 port 0
 * for servers and for clients; the ports come from its "listening" log
 * lines. The harness plays the peers over real loopback sockets: it opens
 * links, writes what the input says in pieces of the sizes the input gives,
 * and closes them. A fake clock, advanced by the input, lets broadcast
 * records and neighbour ages expire.
 *
 * Input: a sequence of steps; the low three bits of a step's first byte pick
 * what it does, the rest pick a link slot or a flag:
 *   0, 1, 6, 7  the next byte n, then n bytes from the peer of link slot s
 *   2           a little-endian u16 n, then n bytes from the peer of slot s
 *   3           open a link in a free slot: a server link (bit 3 set), whose
 *               peer must start with its 16-byte hello, or a client link
 *   4           the peer of slot s closes its end
 *   5           the next byte times 100 ms passes on the fake clock
 * At the end every peer closes, and within 5 s the core must have removed
 * every connection it was given and tcp closed every socket it accepted: a
 * connection held longer is a reference leak and ends the run. */
#include <tessarc/module.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

namespace {

constexpr int kSlots = 6;
constexpr uint64_t kSettleMs = 5000;
constexpr const char *kSettings = R"(tcp = { name = "tcp"; listen = "127.0.0.1:0"; clientListen = "127.0.0.1:0"; };)";

TQ_Allocator g_allocator;
TQ_Server_CommManager g_manager;
std::atomic<long> g_added{0}, g_removed{0}, g_clientsAdded{0};
long g_clientsOpened = 0;
unsigned g_serverPort = 0, g_clientPort = 0;
bool g_echo = false;
int g_slots[kSlots] = {-1, -1, -1, -1, -1, -1}; /* the peers' sockets */
std::atomic<uint64_t> g_clock{1000000};

uint64_t fakeNow()
{
    return g_clock.load(std::memory_order_relaxed);
}

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_receive: %s\n", what);
        std::abort();
    }
}

/* Takes the ports from "tcp: listening for servers on 127.0.0.1:40517". */
int logOutput(void *, int, const char *format, va_list args)
{
    char text[512], kind[16];
    unsigned port;
    va_list copy;
    va_copy(copy, args);
    std::vsnprintf(text, sizeof text, format, copy);
    va_end(copy);
    const char *at = std::strstr(text, "tcp: listening for ");
    if (at != nullptr && std::sscanf(at, "tcp: listening for %15s on %*[^:]:%u", kind, &port) == 2)
        (std::strcmp(kind, "servers") == 0 ? g_serverPort : g_clientPort) = port;
    if (g_echo)
        std::fputs(text, stderr);
    return 0;
}

template <typename Done>
void waitFor(Done done, const char *what)
{
    uint64_t limit = TQ_getTimeMs() + kSettleMs;
    while (!done()) {
        check(TQ_getTimeMs() <= limit, what);
        usleep(100);
    }
}

long openFds()
{
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

/* What tcp sends is read and dropped, so its queues keep moving; a link
 * tcp ended is closed on this side too, as a peer would. */
void drain()
{
    char sink[65536];
    for (int &fd : g_slots) {
        ssize_t n = 1;
        while (fd >= 0 && (n = recv(fd, sink, sizeof sink, MSG_DONTWAIT)) > 0) {
        }
        if (n == 0 || (n < 0 && errno != EAGAIN))
            close(std::exchange(fd, -1));
    }
}

void openLink(bool forServer)
{
    int *slot = std::find(g_slots, g_slots + kSlots, -1);
    if (slot == g_slots + kSlots)
        return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(forServer ? g_serverPort : g_clientPort));
    int fd = *slot = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    /* From an address of its own in 127.0.0.0/8, so the closed links' ports
     * waiting out TIME_WAIT spread over many local addresses. */
    static uint32_t s_source = 0;
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = htonl(0x7F000002u + (s_source++ % 0xFFFFFCu));
    bind(fd, reinterpret_cast<sockaddr *>(&source), sizeof source);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        /* Should the local ports still run out, that input opens one link
         * fewer. Anything else means the transport stopped listening. */
        check(errno == EADDRNOTAVAIL || errno == EAGAIN, "cannot connect to tcp");
        close(std::exchange(*slot, -1));
        return;
    }
    int one = 1;
    timeval limit = {kSettleMs / 1000, 0};
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (!forServer) {
        /* Accepted and handed to the core before the next step. */
        ++g_clientsOpened;
        waitFor([] { return g_clientsAdded.load() == g_clientsOpened; }, "a client link never reached the core");
        return;
    }
    /* tcp speaks first on a server link: its hello names this server. The
     * fuzzer's alarm signal may interrupt the read. */
    uint8_t hello[4 + sizeof(TQ_Uuid)];
    size_t got = 0;
    for (ssize_t n = 1; got < sizeof hello && n != 0 && (n > 0 || errno == EINTR);)
        got += (n = recv(fd, hello + got, sizeof hello - got, 0)) > 0 ? n : 0;
    check(got == sizeof hello && std::memcmp(hello, "TQT1", 4) == 0 &&
              std::memcmp(hello + 4, TQ_Server_getUuid(), sizeof(TQ_Uuid)) == 0,
          "tcp's hello on a server link is not \"TQT1\" and this server's identifier");
}

/* tcp's I/O thread must end before the program does, as at a server's stop. */
void shutDown()
{
    TQ_Server_Services_predestroy();
    TQ_Server_stopCommunication();
    TQ_Server_Services_postdestroy();
    TQ_Server_destroyCommunication();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    g_echo = std::getenv("TQ_FUZZ_LOG") != nullptr;
    TQ_Logger *log = TQ_Server_getLog();
    TQ_logSetOutput(log, logOutput);
    TQ_logSetLevel(log, TQ_LOG_INFO);
    initMallocAllocator(&g_allocator);
    TQ_Server_setBroadcastTimeSource(fakeNow);
    TQ_Server_init(&g_allocator);
    TQ_Server_Protocol *tcp = getProtocol();
    TQ_Server_Service *relay = getService();
    check(tcp != nullptr && relay != nullptr && TQ_Server_addService(relay) == 1, "cannot register tcp and relay");
    TQ_Server_addProtocol(tcp);
    libconfig::Config settings;
    settings.readString(kSettings);
    configure(settings.lookup("tcp"), log);
    g_manager = g_TQ_Server_defaultCommManager;
    /* The default manager runs the handshake; the counts tell when the core
     * has let go of every connection tcp gave it. */
    g_manager.addConnection = [](TQ_Connection *connection) {
        g_clientsAdded += connection->isServer ? 0 : 1;
        ++g_added;
        return g_TQ_Server_defaultCommManager.addConnection(connection);
    };
    g_manager.removeConnection = [](TQ_Connection *connection) {
        g_TQ_Server_defaultCommManager.removeConnection(connection);
        ++g_removed;
    };
    TQ_Server_setCommunicationManager(&g_manager);
    TQ_Server_setName("fuzz");
    TQ_Server_Services_preinit();
    TQ_Server_startCommunication();
    TQ_Server_Services_postinit();
    std::atexit(shutDown);
    check(g_serverPort != 0 && g_clientPort != 0, "tcp logged no listening ports");
    if (!g_echo)
        TQ_logSetLevel(log, TQ_LOG_PRINT);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    long fdsBefore = openFds();
    size_t at = 0;
    while (at < size) {
        uint8_t step = data[at++];
        int &slot = g_slots[(step >> 3) % kSlots];
        size_t n = 0;
        switch (step & 7) {
        case 2:
            n = at + 2 <= size ? data[at] | data[at + 1] << 8 : 0;
            at = std::min(at + 2, size);
            break;
        case 3:
            openLink(step & 8);
            break;
        case 4:
            close(std::exchange(slot, -1));
            break;
        case 5:
            if (at < size)
                g_clock += uint64_t(data[at++]) * 100;
            break;
        default:
            n = at < size ? data[at++] : 0;
            break;
        }
        /* A waiting link is not read; what does not fit is dropped. */
        n = std::min(n, size - at);
        if (slot >= 0 && n > 0 && send(slot, data + at, n, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno != EAGAIN)
            close(std::exchange(slot, -1));
        at += n;
        drain();
    }

    for (int &fd : g_slots)
        close(std::exchange(fd, -1));
    /* Broadcast records and neighbour entries of this input expire. */
    g_clock += 60000;
    waitFor([&] { return g_removed.load() == g_added.load() && openFds() <= fdsBefore; },
            "the core still holds connections, or tcp sockets, after every peer closed");
    return 0;
}
