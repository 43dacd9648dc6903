// Byte-string hash functions: djb2 (XOR form) and Jenkins' one-at-a-time.
#include "tessarc/runtime.h"

extern "C" uint32_t TQ_djb2hash(uint32_t seed, const void *data, uint32_t length)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    uint32_t h = seed;
    for (uint32_t i = 0; i < length; ++i)
        h = (h * 33u) ^ p[i];
    return h;
}

extern "C" uint32_t TQ_oatHash(uint32_t seed, const void *data, uint32_t length)
{
    const unsigned char *p = static_cast<const unsigned char *>(data);
    uint32_t h = seed;
    for (uint32_t i = 0; i < length; ++i) {
        h += p[i];
        h += h << 10;
        h ^= h >> 6;
    }
    return h;
}

extern "C" uint32_t TQ_oatHashF(uint32_t seed, const void *data, uint32_t length)
{
    uint32_t h = TQ_oatHash(seed, data, length);
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
}
