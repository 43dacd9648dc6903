// Random bytes: with the kernel's generator every bit of every width is
// reached; with getrandom refused (seccomp, in a fresh child) the call says
// so with -1 and still fills the buffer from the C library generator.
#include <gtest/gtest.h>

#include <errno.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "tessarc/runtime.h"

namespace {

void withoutKernelGenerator()
{
    // Native system call numbers only: the test runs no other ABI.
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0)
        _exit(3);
    unsigned char a[16] = {0}, b[16] = {0};
    if (TQ_getRandomBytes(a, sizeof a) != -1 || TQ_getRandomBytes(b, sizeof b) != -1)
        _exit(10);
    // Two fills of zeroed buffers differ: the fallback produced bytes.
    _exit(memcmp(a, b, sizeof a) != 0 && TQ_randUint64() != TQ_randUint64() ? 0 : 11);
}

} // namespace

TEST(Random, KernelGeneratorReachesEveryBitOfEveryWidth)
{
    unsigned char buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(TQ_getRandomBytes(buf, 0), 1);
    EXPECT_EQ(buf[0] + buf[1] + buf[2] + buf[3], 10);
    uint64_t bits[4] = {0, 0, 0, 0};
    for (int i = 0; i < 200; ++i) {
        bits[0] |= TQ_randUint8();
        bits[1] |= TQ_randUint16();
        bits[2] |= TQ_randUint32();
        bits[3] |= TQ_randUint64();
    }
    EXPECT_EQ(bits[0], 0xFFu);
    EXPECT_EQ(bits[1], 0xFFFFu);
    EXPECT_EQ(bits[2], 0xFFFFFFFFu);
    EXPECT_EQ(bits[3], ~0ull);
}

TEST(Random, WithoutKernelGeneratorFallbackFillsAndReportsIt)
{
    // A re-executed child, so no earlier call has found getrandom working.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(withoutKernelGenerator(), testing::ExitedWithCode(0), "");
}
