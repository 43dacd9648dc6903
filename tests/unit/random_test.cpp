// Random bytes: with the kernel's generator the output is not the C library
// generator's alone and every bit of every width is reached; with getrandom
// refused (seccomp, in a fresh child) the bytes are exactly the generator's,
// XORed over the buffer and read little-endian.
#include <gtest/gtest.h>

#include <errno.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <vector>

#include "tessarc/runtime.h"

namespace {

/* Low bytes of the generator's first 64 values after srand(seed). */
std::vector<unsigned> generatorBytes(unsigned seed)
{
    std::vector<unsigned> low;
    srand(seed);
    for (int i = 0; i < 64; ++i)
        low.push_back(static_cast<unsigned>(rand()) & 0xFF);
    srand(seed);
    return low;
}

/* Each fill first skips 0 to 31 generator values, so after srand(seed) its
 * bytes are the generator's from some offset 0..31 on. */
bool isGeneratorRun(const std::vector<unsigned> &low, const unsigned char *bytes, size_t n)
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

    unsigned char buf[16] = {0};
    if (TQ_getRandomBytes(buf, sizeof buf) != -1)
        _exit(10);
    // A zeroed buffer receives the generator's bytes (and the generator is
    // not seeded again behind our srand).
    std::vector<unsigned> low = generatorBytes(12345);
    for (unsigned char &b : buf)
        b = 0;
    if (TQ_getRandomBytes(buf, sizeof buf) != -1 || !isGeneratorRun(low, buf, sizeof buf))
        _exit(11);
    // Earlier contents are XORed, not replaced.
    generatorBytes(12345);
    for (unsigned i = 0; i < sizeof buf; ++i)
        buf[i] = static_cast<unsigned char>(0xA5 ^ i);
    TQ_getRandomBytes(buf, sizeof buf);
    for (unsigned i = 0; i < sizeof buf; ++i)
        buf[i] ^= static_cast<unsigned char>(0xA5 ^ i);
    if (!isGeneratorRun(low, buf, sizeof buf))
        _exit(12);
    // Fixed widths are those bytes read little-endian.
    generatorBytes(12345);
    const uint64_t v = TQ_randUint64();
    unsigned char le[8];
    for (int i = 0; i < 8; ++i)
        le[i] = static_cast<unsigned char>(v >> (8 * i));
    _exit(isGeneratorRun(low, le, 8) ? 0 : 13);
}

} // namespace

TEST(Random, KernelGeneratorUnderEveryWidth)
{
    unsigned char buf[16] = {1, 2, 3, 4};
    EXPECT_EQ(TQ_getRandomBytes(buf, 0), 1);
    EXPECT_EQ(buf[0] + buf[1] + buf[2] + buf[3], 10);

    // The call above seeded the generator, so this srand is not undone.
    const std::vector<unsigned> low = generatorBytes(777);
    EXPECT_EQ(TQ_getRandomBytes(buf, sizeof buf), 1);
    EXPECT_FALSE(isGeneratorRun(low, buf, sizeof buf));

    // Every bit of every width is reached.
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
    EXPECT_NE(TQ_randUint64(), TQ_randUint64());
}

TEST(Random, WithoutKernelGeneratorBytesAreTheCLibraryGenerators)
{
    // A re-executed child, so no earlier call has found getrandom working.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(withoutKernelGenerator(), testing::ExitedWithCode(0), "");
}
