// Random bytes: the kernel-backed path fills whole buffers and every width,
// and with getrandom refused (seccomp, in a fresh child) the bytes are exactly
// the C library generator's, XORed over the buffer, read little-endian.
#include <gtest/gtest.h>

#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <vector>

#include "tessarc/runtime.h"

namespace {

#if defined(__x86_64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#endif

/* Makes every later getrandom() of this process fail with ENOSYS. */
bool refuseGetrandom()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getrandom, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

/* The stirring skips 0 to 31 generator values, so after srand(seed) the
 * output must equal the generator's low bytes from some offset 0..31 on. */
bool matchesGeneratorWindow(const std::vector<unsigned> &low, const unsigned char *bytes, size_t n)
{
    for (size_t k = 0; k < 32; ++k) {
        size_t i = 0;
        while (i < n && bytes[i] == low[k + i])
            ++i;
        if (i == n)
            return true;
    }
    return false;
}

std::vector<unsigned> generatorLowBytes(unsigned seed)
{
    std::vector<unsigned> low;
    srand(seed);
    for (int i = 0; i < 64; ++i)
        low.push_back(static_cast<unsigned>(rand()) & 0xFF);
    return low;
}

void fallbackChild()
{
    if (!refuseGetrandom()) {
        fprintf(stderr, "seccomp unavailable\n");
        _exit(3);
    }
    unsigned char buf[16] = {0};
    if (TQ_getRandomBytes(buf, sizeof buf) != -1)
        _exit(10);

    const unsigned seed = 12345;
    const std::vector<unsigned> low = generatorLowBytes(seed);

    // A zeroed buffer receives the generator's bytes, and the generator is
    // not seeded a second time.
    srand(seed);
    memset(buf, 0, sizeof buf);
    if (TQ_getRandomBytes(buf, sizeof buf) != -1 || !matchesGeneratorWindow(low, buf, sizeof buf))
        _exit(11);
    // Earlier contents are XORed, not replaced.
    srand(seed);
    for (unsigned i = 0; i < sizeof buf; ++i)
        buf[i] = static_cast<unsigned char>(0xA5 ^ i);
    TQ_getRandomBytes(buf, sizeof buf);
    for (unsigned i = 0; i < sizeof buf; ++i)
        buf[i] ^= static_cast<unsigned char>(0xA5 ^ i);
    if (!matchesGeneratorWindow(low, buf, sizeof buf))
        _exit(12);
    // Fixed widths are the bytes read little-endian.
    srand(seed);
    uint64_t v = TQ_randUint64();
    unsigned char le[8];
    for (int i = 0; i < 8; ++i)
        le[i] = static_cast<unsigned char>(v >> (8 * i));
    if (!matchesGeneratorWindow(low, le, 8))
        _exit(13);
    srand(seed);
    uint16_t w = TQ_randUint16();
    const unsigned char le16[2] = {static_cast<unsigned char>(w), static_cast<unsigned char>(w >> 8)};
    if (!matchesGeneratorWindow(low, le16, 2))
        _exit(14);
    _exit(0);
}

} // namespace

TEST(Random, KernelGeneratorFillsExactlyTheBufferAndEveryWidth)
{
    unsigned char sentinel[4] = {1, 2, 3, 4};
    EXPECT_EQ(TQ_getRandomBytes(sentinel, 0), 1);
    EXPECT_EQ(sentinel[0] + sentinel[1] + sentinel[2] + sentinel[3], 10);

    // 64 KiB: every byte value turns up (a missing one has odds far below
    // 2^-300), and the byte after the buffer is untouched.
    std::vector<unsigned char> big(65536 + 1, 0);
    big.back() = 0x5A;
    EXPECT_EQ(TQ_getRandomBytes(big.data(), 65536), 1);
    std::vector<int> seen(256, 0);
    for (size_t i = 0; i < 65536; ++i)
        ++seen[big[i]];
    for (int b = 0; b < 256; ++b)
        EXPECT_GT(seen[b], 0) << "byte value " << b;
    EXPECT_EQ(big.back(), 0x5A);

    // Every bit of every width is reached.
    unsigned or8 = 0, or16 = 0;
    uint32_t or32 = 0;
    uint64_t or64 = 0;
    for (int i = 0; i < 200; ++i) {
        or8 |= TQ_randUint8();
        or16 |= TQ_randUint16();
        or32 |= TQ_randUint32();
        or64 |= TQ_randUint64();
    }
    EXPECT_EQ(or8, 0xFFu);
    EXPECT_EQ(or16, 0xFFFFu);
    EXPECT_EQ(or32, 0xFFFFFFFFu);
    EXPECT_EQ(or64, ~0ull);
    EXPECT_NE(TQ_randUint64(), TQ_randUint64());

    // The kernel's bytes lie under the C library generator's: with a known
    // generator state the output is not the generator's alone.
    const std::vector<unsigned> low = generatorLowBytes(777);
    unsigned char buf[16] = {0};
    srand(777);
    EXPECT_EQ(TQ_getRandomBytes(buf, sizeof buf), 1);
    EXPECT_FALSE(matchesGeneratorWindow(low, buf, sizeof buf));
}

TEST(Random, WithoutKernelGeneratorBytesAreTheCLibraryGenerators)
{
    // A re-executed child, so no earlier call has found getrandom working.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(fallbackChild(), testing::ExitedWithCode(0), "");
}
