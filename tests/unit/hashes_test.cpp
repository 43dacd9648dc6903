// Hash vectors: the published values, seeds, empty input and high bytes.
#include <gtest/gtest.h>

#include "tessarc/runtime.h"

TEST(Hashes, KnownVectorsEmptyInputAndHighBytes)
{
    EXPECT_EQ(TQ_djb2hash(0, "abc", 3), 0x1a920u);
    EXPECT_EQ(TQ_djb2hash(5381, "abc", 3), 0xb873285u);
    EXPECT_EQ(TQ_oatHash(0, "abc", 3), 0x589993f5u);
    EXPECT_EQ(TQ_oatHashF(0, "abc", 3), 0xed131f5bu);

    EXPECT_EQ(TQ_djb2hash(77, "", 0), 77u);
    EXPECT_EQ(TQ_oatHash(77, "", 0), 77u);
    EXPECT_EQ(TQ_oatHashF(0, "", 0), 0u);
    // Bytes at or above 0x80 count as 128 to 255, never as negative values.
    const unsigned char high[] = {0xff, 0x80};
    EXPECT_EQ(TQ_djb2hash(0, high, 2), 0x205fu);
    EXPECT_EQ(TQ_oatHash(0, high, 2), 0xfed6b02u);
    // Only `length` bytes are read: the terminator is not part of the data.
    EXPECT_NE(TQ_djb2hash(0, "abc", 4), TQ_djb2hash(0, "abc", 3));
}
