// Random bytes: the kernel's cryptographic generator, with the C library
// generator's bytes XORed over its output so that some randomness comes out
// even where the kernel's generator cannot be used.
#include "tessarc/runtime.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include <sys/random.h>
#include <unistd.h>

namespace {

/* Set once rand() has been seeded; two first callers at once may both seed. */
std::atomic<bool> g_seeded{false};
/* Set once getrandom() has been found to work; stays clear (and is tried
 * again on the next call) where the kernel refuses it. */
std::atomic<bool> g_providerOpen{false};

/* The wall clock as a count of 100-nanosecond intervals since 1601-01-01 UTC,
 * the form the seed and the stirring are taken from. */
uint64_t systemTime100ns()
{
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<uint64_t>(t.tv_sec) * 10000000u + static_cast<uint64_t>(t.tv_nsec) / 100u +
           116444736000000000ull;
}

void seedOnce()
{
    if (g_seeded.load(std::memory_order_acquire))
        return;
    const uint64_t now = systemTime100ns();
    const uint32_t pid = static_cast<uint32_t>(getpid());
    srand((pid << 16) ^ static_cast<uint32_t>(now >> 32) ^ static_cast<uint32_t>(now));
    g_seeded.store(true, std::memory_order_release);
}

/* A zero-length request tells whether the kernel offers the call at all; a
 * generator that is not initialised yet (EAGAIN) is there and will block the
 * fill until it is. */
void openProvider()
{
    if (g_providerOpen.load(std::memory_order_acquire))
        return;
    unsigned char none;
    if (getrandom(&none, 0, GRND_NONBLOCK) >= 0 || errno == EAGAIN || errno == EINTR)
        g_providerOpen.store(true, std::memory_order_release);
}

void fillFromKernel(unsigned char *p, size_t length)
{
    while (length > 0) {
        const ssize_t n = getrandom(p, length, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
}

} // namespace

/* ---- Bytes ---- */

extern "C" int TQ_getRandomBytes(void *buf, uint32_t length)
{
    seedOnce();
    openProvider();
    // Stir the C library generator by a time-dependent count (0 to 31) so
    // that calls with the same seed do not give the same bytes.
    for (uint32_t stir = systemTime100ns() & 0x1F; stir > 0; --stir)
        (void)rand();

    unsigned char *p = static_cast<unsigned char *>(buf);
    const bool provider = g_providerOpen.load(std::memory_order_acquire);
    if (provider)
        fillFromKernel(p, length);
    for (uint32_t i = 0; i < length; ++i)
        p[i] ^= static_cast<unsigned char>(rand() & 0xFF);
    return provider ? 1 : -1;
}

/* ---- Fixed-width values ---- */

namespace {

uint64_t randomLittleEndian(unsigned width)
{
    unsigned char bytes[8] = {0};
    TQ_getRandomBytes(bytes, width);
    uint64_t v = 0;
    for (unsigned i = width; i > 0; --i)
        v = (v << 8) | bytes[i - 1];
    return v;
}

} // namespace

extern "C" uint8_t TQ_randUint8(void)
{
    return static_cast<uint8_t>(randomLittleEndian(1));
}

extern "C" uint16_t TQ_randUint16(void)
{
    return static_cast<uint16_t>(randomLittleEndian(2));
}

extern "C" uint32_t TQ_randUint32(void)
{
    return static_cast<uint32_t>(randomLittleEndian(4));
}

extern "C" uint64_t TQ_randUint64(void)
{
    return randomLittleEndian(8);
}
