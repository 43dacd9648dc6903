// Hash vectors: the published values, seeds, empty input and high bytes.
#include <gtest/gtest.h>

#include "tessarc/runtime.h"

TEST(Hashes, KnownVectors)
{
    EXPECT_EQ(TQ_djb2hash(0, "abc", 3), 0x1a920u);
    EXPECT_EQ(TQ_djb2hash(5381, "abc", 3), 0xb873285u);
    EXPECT_EQ(TQ_oatHash(0, "abc", 3), 0x589993f5u);
    EXPECT_EQ(TQ_oatHashF(0, "abc", 3), 0xed131f5bu);
}

TEST(Hashes, EmptyInputAndHighBytes)
{
    EXPECT_EQ(TQ_djb2hash(77, "", 0), 77u);
    EXPECT_EQ(TQ_oatHash(77, "", 0), 77u);
    EXPECT_EQ(TQ_oatHashF(0, "", 0), 0u);
    // 0xFF must be added as 255, never as -1.
    const unsigned char hi[] = {0xff};
    EXPECT_EQ(TQ_djb2hash(0, hi, 1), 0xffu);
    EXPECT_EQ(TQ_oatHash(0, hi, 1), ((255u + (255u << 10)) ^ ((255u + (255u << 10)) >> 6)));
    // Only `length` bytes are read: the terminator is not part of the data.
    EXPECT_NE(TQ_djb2hash(0, "abc", 4), TQ_djb2hash(0, "abc", 3));
}
