// Network helpers; the readiness waits on real loopback sockets.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "tessarc/runtime.h"

namespace {

/* Every socket made here is closed when the test ends. */
struct Sockets {
    std::vector<int> fds;
    ~Sockets()
    {
        for (int fd : fds)
            close(fd);
    }
    /* A socket bound to 127.0.0.1 on a port of the system's choice. */
    int bound(int type, sockaddr_in *where)
    {
        fds.push_back(socket(AF_INET, type, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fds.back(), reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        socklen_t len = sizeof *where;
        getsockname(fds.back(), reinterpret_cast<sockaddr *>(where), &len);
        return fds.back();
    }
    /* A non-blocking TCP socket connecting to `to`. */
    int connecting(const sockaddr_in &to)
    {
        fds.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        connect(fds.back(), reinterpret_cast<const sockaddr *>(&to), sizeof to);
        return fds.back();
    }
};

} // namespace

TEST(Network, AddressTextsAtTheirBounds)
{
    EXPECT_EQ(TQ_stringToIp("10.0.0.1"), 0x0A000001u);
    EXPECT_EQ(TQ_stringToIp("255.255.255.255"), 0u);
    EXPECT_EQ(TQ_stringToIp("10.0.0.256"), 0u);
    char buf[16] = "untouched";
    EXPECT_EQ(TQ_ipToString(0x0A000001, buf, 15), nullptr);
    EXPECT_STREQ(buf, "untouched");
    EXPECT_STREQ(TQ_ipToString(0xFFFEFDFC, buf, 16), "255.254.253.252");
    char name[8];
    TQ_getHostname(name, 1); // a one-byte buffer holds the terminator only
    EXPECT_STREQ(name, "");
}

TEST(Network, HostAndPortParsingCutsTheHostAt15Characters)
{
    struct Case {
        const char *text;
        int result;
        uint32_t addr;
        uint16_t port; // 1 = left at the caller's default
    } cases[] = {
        {"127.0.0.1:8080", 1, 0x7F000001, 8080},
        {"127.0.0.1", 1, 0x7F000001, 1},
        {"127.0.0.1:70000", 1, 0x7F000001, 4464},
        {"127.000.000.001:9", 1, 0x7F000001, 9},  // 15-character host: port seen
        {"127.000.000.0001:9", 1, 0x7F000000, 1}, // 16: cut after 15, port unseen
        {":80", -1, 0, 80},                       // no address, still written
    };
    for (const Case &c : cases) {
        uint32_t addr = 5;
        uint16_t port = 1;
        EXPECT_EQ(TQ_parseAddrAndPort(c.text, &addr, &port), c.result) << c.text;
        EXPECT_EQ(addr, c.addr) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
    }
}

TEST(Network, WaitForReadDuplicatesAndTheCap)
{
    Sockets s;
    sockaddr_in where;
    std::vector<int> quiet;
    for (int i = 0; i < TQ_SOCKET_WAIT_MAX; ++i)
        quiet.push_back(s.bound(SOCK_DGRAM, &where));
    int ready[2];
    for (int &r : ready) {
        r = s.bound(SOCK_DGRAM, &where);
        ASSERT_EQ(sendto(quiet[0], "x", 1, 0, reinterpret_cast<sockaddr *>(&where), sizeof where), 1);
        int probe[1] = {r};
        ASSERT_EQ(TQ_socketWaitForRead(probe, 1, TQ_WAIT_FOREVER), 1);
        ASSERT_EQ(probe[0], r);
    }

    // Nothing ready: time-out, every entry -1.
    std::vector<int> arr(quiet.begin(), quiet.begin() + 2);
    EXPECT_EQ(TQ_socketWaitForRead(arr.data(), 2, 0), 0);
    EXPECT_EQ(arr, std::vector<int>({-1, -1}));
    // The 65th distinct socket is left out, ready or not.
    arr = quiet;
    arr.push_back(ready[0]);
    EXPECT_EQ(TQ_socketWaitForRead(arr.data(), static_cast<int>(arr.size()), 0), 0);
    EXPECT_EQ(arr, std::vector<int>(arr.size(), -1));
    // Duplicates do not use up the cap, and a ready one repeated once the set is full is reported there too, counted
    // once.
    arr.assign(1, ready[0]);
    arr.insert(arr.end(), quiet.begin(), quiet.end() - 2);
    arr.insert(arr.end(), {quiet[0], ready[1], quiet.back(), ready[0]});
    std::vector<int> expect(arr.size(), -1);
    expect.front() = expect.back() = ready[0];
    expect[arr.size() - 3] = ready[1];
    EXPECT_EQ(TQ_socketWaitForRead(arr.data(), static_cast<int>(arr.size()), 0), 2);
    EXPECT_EQ(arr, expect);

    // A closed descriptor fails the whole wait; so does an empty set.
    const int closed = dup(quiet[0]);
    close(closed);
    int three[3] = {ready[0], closed, ready[1]};
    EXPECT_EQ(TQ_socketWaitForRead(three, 3, 0), -1);
    EXPECT_EQ(TQ_getLastError(), TQ_ERR_SOCKETS | EBADF);
    EXPECT_EQ(three[0] & three[1] & three[2], -1);
    EXPECT_EQ(TQ_socketWaitForRead(arr.data(), 0, 0), -1);
    EXPECT_EQ(TQ_getLastError(), TQ_ERR_SOCKETS | EINVAL);
    EXPECT_EQ(TQ_socketWaitForWrite(closed, 0), -1);
    EXPECT_EQ(TQ_getLastError(), TQ_ERR_SOCKETS | EBADF);
}

TEST(Network, ARefusedConnectWakesBothWaitsAndItsErrorIsReadOnce)
{
    Sockets s;
    sockaddr_in where;
    s.bound(SOCK_STREAM, &where); // bound but never listening: connects are refused
    const int r1 = s.connecting(where), r2 = s.connecting(where);
    int arr[1] = {r1};
    EXPECT_EQ(TQ_socketWaitForRead(arr, 1, TQ_WAIT_FOREVER), 1);
    EXPECT_EQ(TQ_socketGetLastError(r1), ECONNREFUSED);
    EXPECT_EQ(TQ_socketGetLastError(r1), 0);
    EXPECT_EQ(TQ_socketWaitForWrite(r2, TQ_WAIT_FOREVER), -1);
    EXPECT_EQ(TQ_getLastError(), TQ_ERR_SOCKETS | ECONNREFUSED);
}
