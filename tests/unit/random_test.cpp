// Random bytes: with getrandom refused (seccomp, in a fresh child) the call says so with -1 and still fills the buffer
// from the C library generator.
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

TEST(Random, WithoutKernelGeneratorFallbackFillsAndReportsIt)
{
    // A re-executed child, so no earlier call has found getrandom working.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(withoutKernelGenerator(), testing::ExitedWithCode(0), "");
}
