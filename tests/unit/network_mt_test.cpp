// A socket wait interrupted by signals goes on waiting: it neither fails with EINTR nor misses the data that arrives
// afterwards.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tessarc/runtime.h"

namespace {
std::atomic<int> g_signals{0};
void onSignal(int)
{
    g_signals.fetch_add(1);
}
} // namespace

TEST(NetworkMt, SignalsDoNotEndAWait)
{
    struct sigaction sa = {};
    sa.sa_handler = onSignal; // no SA_RESTART: poll() sees EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &sa, nullptr), 0);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    std::atomic<bool> waiting{false};
    int arr[1] = {pair[0]};
    int result = 0;
    std::thread waiter([&] {
        waiting = true;
        result = TQ_socketWaitForRead(arr, 1, 10000);
    });
    while (!waiting)
        std::this_thread::yield();
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        pthread_kill(waiter.native_handle(), SIGUSR1);
    }
    ASSERT_EQ(send(pair[1], "x", 1, 0), 1);
    waiter.join();
    EXPECT_GT(g_signals.load(), 0);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(arr[0], pair[0]);
    close(pair[0]);
    close(pair[1]);
}
