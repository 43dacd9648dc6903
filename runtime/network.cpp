// Network helpers over POSIX sockets: IPv4 addresses and their texts, the
// local interface list, name resolution, host:port parsing, byte swaps and
// time-limited readiness waits.
#include "tessarc/runtime.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

/* The longest dotted-decimal address, "255.255.255.255". */
constexpr size_t kMaxHostPart = 15;

uint32_t hostOrder(const sockaddr *sa)
{
    if (sa == nullptr || sa->sa_family != AF_INET)
        return 0;
    return ntohl(reinterpret_cast<const sockaddr_in *>(sa)->sin_addr.s_addr);
}

} // namespace

/* ---- Start-up ---- */

extern "C" void TQ_checkInitSockets(void)
{
    // POSIX sockets are usable from the start of the process: there is no
    // socket library to start, so no operation here needs to call this.
}

/* ---- Addresses ---- */

extern "C" char *TQ_ipToString(uint32_t address, char *buf, size_t size)
{
    if (size <= kMaxHostPart)
        return nullptr;
    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    const socklen_t hostLen = size > 1024 ? 1024 : static_cast<socklen_t>(size);
    if (getnameinfo(reinterpret_cast<const sockaddr *>(&sa), sizeof sa, buf, hostLen, nullptr, 0, NI_NUMERICHOST) != 0)
        return nullptr;
    return buf;
}

extern "C" uint32_t TQ_stringToIp(const char *text)
{
    if (text == nullptr)
        return 0;
    // inet_addr answers INADDR_NONE for bad text, which is also the value of
    // 255.255.255.255: both give 0.
    const in_addr_t a = inet_addr(text);
    return a == INADDR_NONE ? 0 : ntohl(a);
}

extern "C" uint32_t TQ_ntohl(uint32_t value)
{
    return __builtin_bswap32(value);
}

extern "C" uint16_t TQ_ntohs(uint16_t value)
{
    return __builtin_bswap16(value);
}

/* ---- Interfaces and names ---- */

extern "C" uint32_t TQ_fillLocalAddrs(TQ_LocalAddr *addrs, uint32_t *capacity)
{
    const uint32_t room = addrs != nullptr ? *capacity : 0;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        *capacity = 0;
        return 0;
    }
    uint32_t found = 0;
    for (const ifaddrs *ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET || !(ifa->ifa_flags & IFF_UP))
            continue;
        if (found < room) {
            TQ_LocalAddr &out = addrs[found];
            out.address = hostOrder(ifa->ifa_addr);
            out.netmask = hostOrder(ifa->ifa_netmask);
            out.isBroadcast = (ifa->ifa_flags & IFF_BROADCAST) ? 1 : 0;
            out.isLoopback = (ifa->ifa_flags & IFF_LOOPBACK) ? 1 : 0;
            out.isMulticast = (ifa->ifa_flags & IFF_MULTICAST) ? 1 : 0;
            // An interface without broadcast (loopback, point-to-point) has
            // no broadcast address of its own; give its subnet's.
            out.broadcast = out.isBroadcast && ifa->ifa_broadaddr != nullptr ? hostOrder(ifa->ifa_broadaddr)
                                                                             : (out.address | ~out.netmask);
        }
        ++found;
    }
    freeifaddrs(list);
    *capacity = found < room ? found : room;
    return found;
}

extern "C" void TQ_getHostname(char *buf, size_t size)
{
    if (size == 0)
        return;
    buf[0] = '\0';
    if (gethostname(buf, size) != 0)
        buf[0] = '\0';
    buf[size - 1] = '\0';
}

extern "C" uint32_t TQ_getIpForHost(const char *host)
{
    addrinfo *res = nullptr;
    if (host == nullptr || getaddrinfo(host, nullptr, nullptr, &res) != 0)
        return 0;
    uint32_t address = 0;
    for (const addrinfo *ai = res; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET) {
            address = hostOrder(ai->ai_addr);
            break;
        }
    }
    freeaddrinfo(res);
    return address;
}

extern "C" int TQ_parseAddrAndPort(const char *text, uint32_t *address, uint16_t *port)
{
    char host[kMaxHostPart + 1];
    size_t n = 0;
    while (n < kMaxHostPart && text[n] != '\0' && text[n] != ':') {
        host[n] = text[n];
        ++n;
    }
    host[n] = '\0';
    // A longer host is cut; what stopped it is then not a ':' and any port
    // behind it goes unseen.
    if (text[n] == ':' && text[n + 1] != '\0')
        *port = static_cast<uint16_t>(strtol(text + n + 1, nullptr, 10));
    *address = TQ_getIpForHost(host);
    return *address != 0 ? 1 : -1;
}

/* ---- Socket state ---- */

extern "C" int TQ_socketSetNonblocking(int sock, int enable)
{
    int on = enable != 0 ? 1 : 0;
    if (ioctl(sock, FIONBIO, &on) != 0) {
        TQ_setLastErrorSys(TQ_ERR_SOCKETS, static_cast<uint32_t>(errno));
        return -1;
    }
    return 1;
}

extern "C" int TQ_socketGetLastError(int sock)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return 0;
    return err > 0 ? err : 0;
}

/* ---- Waits ---- */

namespace {

uint64_t monotonicNs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

/* poll() for at most `timeoutMs`, resumed after a signal with the time that
 * is left. ppoll takes the whole unsigned range, which an int of
 * milliseconds does not. */
int pollWithin(pollfd *fds, nfds_t n, uint32_t timeoutMs)
{
    const bool forever = timeoutMs == TQ_WAIT_FOREVER;
    const uint64_t deadline = forever ? 0 : monotonicNs() + static_cast<uint64_t>(timeoutMs) * 1000000u;
    for (;;) {
        timespec left{};
        if (!forever) {
            const uint64_t now = monotonicNs();
            const uint64_t ns = now < deadline ? deadline - now : 0;
            left.tv_sec = static_cast<time_t>(ns / 1000000000u);
            left.tv_nsec = static_cast<long>(ns % 1000000000u);
        }
        const int r = ppoll(fds, n, forever ? nullptr : &left, nullptr);
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

int failWait(int *sockets, int count, int err)
{
    for (int i = 0; i < count; ++i)
        sockets[i] = -1;
    TQ_setLastErrorSys(TQ_ERR_SOCKETS, static_cast<uint32_t>(err));
    return -1;
}

constexpr short kReadable = POLLIN | POLLHUP | POLLERR;

} // namespace

extern "C" int TQ_socketWaitForRead(int *sockets, int count, uint32_t timeoutMs)
{
    if (count < 1)
        return failWait(sockets, count, EINVAL);
    // The set of distinct sockets, capped; later duplicates and sockets past
    // the cap are not added.
    pollfd fds[TQ_SOCKET_WAIT_MAX];
    nfds_t n = 0;
    for (int i = 0; i < count && n < TQ_SOCKET_WAIT_MAX; ++i) {
        nfds_t j = 0;
        while (j < n && fds[j].fd != sockets[i])
            ++j;
        if (j < n)
            continue;
        // poll() would skip a negative descriptor silently; a socket that is
        // not one is an error, as it is for a closed descriptor.
        if (sockets[i] < 0)
            return failWait(sockets, count, EBADF);
        fds[n].fd = sockets[i];
        fds[n].events = POLLIN;
        fds[n].revents = 0;
        ++n;
    }
    const int ready = pollWithin(fds, n, timeoutMs);
    if (ready < 0)
        return failWait(sockets, count, errno);
    for (nfds_t j = 0; j < n; ++j)
        if (fds[j].revents & POLLNVAL)
            return failWait(sockets, count, EBADF);
    // Every entry, duplicates included, keeps its socket only if that socket
    // took part in the wait and is ready.
    for (int i = 0; i < count; ++i) {
        nfds_t j = 0;
        while (j < n && fds[j].fd != sockets[i])
            ++j;
        if (j == n || !(fds[j].revents & kReadable))
            sockets[i] = -1;
    }
    return ready;
}

extern "C" int TQ_socketWaitForWrite(int sock, uint32_t timeoutMs)
{
    if (sock < 0) {
        TQ_setLastErrorSys(TQ_ERR_SOCKETS, EBADF);
        return -1;
    }
    pollfd fd;
    fd.fd = sock;
    fd.events = POLLOUT;
    fd.revents = 0;
    const int r = pollWithin(&fd, 1, timeoutMs);
    if (r < 0) {
        TQ_setLastErrorSys(TQ_ERR_SOCKETS, static_cast<uint32_t>(errno));
        return -1;
    }
    if (r == 0) {
        TQ_setLastError(TQ_ERR_TIMEOUT);
        return -1;
    }
    if (fd.revents & POLLNVAL) {
        TQ_setLastErrorSys(TQ_ERR_SOCKETS, EBADF);
        return -1;
    }
    // A failed connect shows as an error event: report the socket's own
    // error rather than a writable socket that cannot be written.
    if (fd.revents & POLLERR) {
        const int err = TQ_socketGetLastError(sock);
        if (err != 0) {
            TQ_setLastErrorSys(TQ_ERR_SOCKETS, static_cast<uint32_t>(err));
            return -1;
        }
    }
    return 1;
}
