/* The receive path as the tcp transport feeds it: the transport's own link
 * code (hello, framing, the connection's close, destroy and send queue)
 * over socket pairs, in front of the server core with relay.service
 * registered. The harness plays the transport's I/O thread: it opens links,
 * hands them what the input says their peers sent, in pieces of the sizes
 * the input gives, ends them as a peer would, and runs the transport's
 * attention handling after every step. A fake clock, advanced by the input,
 * lets broadcast records and neighbour ages expire.
 *
 * Input: a sequence of steps; the low three bits of a step's first byte pick
 * what it does, the rest pick a link slot or a flag:
 *   0, 1, 6, 7  the next byte n, then n bytes from the peer of link slot s
 *   2           a little-endian u16 n, then n bytes from the peer of slot s
 *   3           open a link in a free slot: a server link (bit 3 set), whose
 *               peer starts with the 16-byte hello, or a client link
 *   4           the peer of slot s closes its end
 *   5           the next byte times 100 ms passes on the fake clock
 * At the end every link is closed by its peer and every link must be gone
 * once the transport has handled that: a link the server never lets go of
 * is a reference leak and ends the run. */

/* The transport's I/O thread is compiled in here, so its private handling
 * (attention, reaping, handing a link to the server) is what runs. */
#include "../../modules/tcp/transport.cpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kSlots = 6;
constexpr int kSettleMs = 5000;

struct Slot {
    tcp::Link *link = nullptr;
    int peer = -1; /* the other end of the link's socket pair */
};

TQ_Allocator g_allocator;
TQ_Server_ProtocolCallbacks *g_callbacks;
Slot g_slots[kSlots];
uint64_t g_clock = 1000000;

uint64_t fakeNow()
{
    return __atomic_load_n(&g_clock, __ATOMIC_RELAXED);
}

int harnessRun(TQ_Server_ProtocolCallbacks *callbacks)
{
    g_callbacks = callbacks;
    return 1;
}
void nothing() {}
void protocolDataset(TQ_Connection *, TQ_Buffer *) {}
TQ_Server_Protocol g_protocol = {nullptr, nullptr, harnessRun, nothing,         nothing,
                                 nullptr, nullptr, nullptr,    protocolDataset, const_cast<char *>("tcp")};

bool alive(tcp::Link *link)
{
    return std::find(tcp::g_transport.links.begin(), tcp::g_transport.links.end(), link) !=
           tcp::g_transport.links.end();
}

/* Forgets the slots whose link the transport has freed. */
void sweep()
{
    for (Slot &slot : g_slots) {
        if (slot.link != nullptr && !alive(slot.link)) {
            close(slot.peer);
            slot = Slot();
        }
    }
}

/* What the transport wrote to the peers is read and dropped, so its
 * queues keep moving. */
void drainPeers()
{
    char sink[65536];
    for (Slot &slot : g_slots) {
        if (slot.link != nullptr) {
            while (read(slot.peer, sink, sizeof sink) > 0) {
            }
        }
    }
}

/* One round of the I/O thread's work that does not come from the sockets. */
void settle()
{
    drainPeers();
    tcp::handleAttention();
    sweep();
}

void openLink(bool forServer)
{
    sweep();
    Slot *slot = nullptr;
    for (Slot &candidate : g_slots) {
        if (candidate.link == nullptr) {
            slot = &candidate;
            break;
        }
    }
    if (slot == nullptr)
        return;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0)
        std::abort();
    tcp::Link *link = new tcp::Link();
    link->kind = tcp::Watched::LinkKind;
    link->fd = pair[0];
    link->forServer = forServer;
    std::snprintf(link->name, sizeof link->name, "%s fuzz:%d", forServer ? "server" : "client",
                  static_cast<int>(slot - g_slots));
    tcp::g_transport.links.push_back(link);
    tcp::setEvents(link, EPOLLIN, true);
    slot->link = link;
    slot->peer = pair[1];
    if (forServer)
        link->phase = tcp::Phase::Hello; /* as accepted: our hello is sent, the peer's awaited */
    else
        tcp::addToServer(link);
}

void feed(Slot &slot, const uint8_t *data, size_t size)
{
    tcp::Link *link = slot.link;
    if (link == nullptr || size == 0)
        return;
    /* A waiting link is not read; a dead one has no socket. */
    if (link->waiting || link->phase == tcp::Phase::Dead)
        return;
    tcp::consume(link, data, size);
}

void closeByPeer(Slot &slot)
{
    if (slot.link != nullptr && slot.link->phase != tcp::Phase::Dead)
        tcp::die(slot.link, TQ_LOG_INFO, "the peer closed it");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (std::getenv("TQ_FUZZ_LOG") == nullptr)
        TQ_logSetLevel(TQ_Server_getLog(), TQ_LOG_PRINT);
    initMallocAllocator(&g_allocator);
    TQ_Server_setBroadcastTimeSource(fakeNow);
    TQ_Server_init(&g_allocator);
    TQ_Server_addProtocol(&g_protocol);
    TQ_Server_Service *relay = getService();
    if (relay == nullptr || TQ_Server_addService(relay) != 1)
        std::abort();
    TQ_Server_setName("fuzz");
    TQ_Server_Services_preinit();
    TQ_Server_startCommunication();
    TQ_Server_Services_postinit();
    if (g_callbacks == nullptr)
        std::abort();

    tcp::Transport &t = tcp::g_transport;
    t.cb = g_callbacks;
    t.log = g_callbacks->log;
    t.own = *TQ_Server_getUuid();
    t.epfd = epoll_create1(EPOLL_CLOEXEC);
    t.wakefd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    t.iface.ops = &tcp::s_ifaceOps;
    t.iface.protocol = &g_protocol;
    t.iface.name = "tcp";
    g_callbacks->addInterface(&t.iface);
    /* This thread is the I/O thread: posting needs no wake-up. */
    tcp::t_onLoop = true;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t at = 0;
    while (at < size) {
        uint8_t step = data[at++];
        Slot &slot = g_slots[(step >> 3) % kSlots];
        switch (step & 7) {
        case 2: {
            size_t n = at + 2 <= size ? data[at] | data[at + 1] << 8 : 0;
            at = std::min(at + 2, size);
            n = std::min(n, size - at);
            feed(slot, data + at, n);
            at += n;
            break;
        }
        case 3:
            openLink(step & 8);
            break;
        case 4:
            closeByPeer(slot);
            break;
        case 5:
            if (at < size)
                __atomic_add_fetch(&g_clock, uint64_t(data[at++]) * 100, __ATOMIC_RELAXED);
            break;
        default: {
            size_t n = at < size ? data[at++] : 0;
            n = std::min(n, size - at);
            feed(slot, data + at, n);
            at += n;
            break;
        }
        }
        settle();
    }

    for (Slot &slot : g_slots)
        closeByPeer(slot);
    /* Broadcast records and neighbour entries of this input expire. */
    __atomic_add_fetch(&g_clock, 60000, __ATOMIC_RELAXED);
    uint64_t limit = TQ_getTimeMs() + kSettleMs;
    for (;;) {
        settle();
        if (tcp::g_transport.links.empty())
            break;
        if (TQ_getTimeMs() > limit) {
            std::fprintf(stderr, "%zu links still held by the server after their peers closed them\n",
                         tcp::g_transport.links.size());
            std::abort();
        }
        usleep(1000);
    }
    return 0;
}
