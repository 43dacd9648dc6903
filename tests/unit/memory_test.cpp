// The heap-backed allocator's pools and buffers, cursor walks over hand-built
// segment chains, strings in blocks, and every heap failure made to happen
// through the failure seam.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tessarc/runtime.h"

namespace {

using Failure = std::pair<int, uint32_t>;
std::vector<Failure> g_failures;

void recordFailure(int kind, uint32_t size)
{
    g_failures.emplace_back(kind, size);
}

struct Allocator {
    TQ_Allocator a;
    Allocator()
    {
        EXPECT_EQ(initMallocAllocator(&a), 1);
        a.allocationFailure = recordFailure;
        g_failures.clear();
    }
    ~Allocator() { a.destroy(&a); }
    void *block(size_t size) { return size == 256 ? a.allocBlock256(&a) : a.allocBlock32(&a); }
    void give(size_t size, void *b) { size == 256 ? a.freeBlock256(&a, b) : a.freeBlock32(&a, b); }
};

// The heap requests `fn` makes, counted through the seam without failing any.
template <typename F>
unsigned long heapRequests(F fn)
{
    TQ_allocFailAfter(LONG_MAX);
    fn();
    unsigned long n = TQ_allocHeapRequests();
    TQ_allocFailAfter(-1);
    return n;
}

// A buffer whose payload lies in segments of the given lengths: the first is
// the buffer's own, the others are linked on by hand. Byte i of the payload is
// i + 1 once fill() has run.
struct Chain {
    TQ_Buffer *buf;
    std::vector<TQ_BufferSegment *> extra;
    Chain(TQ_Allocator *a, std::vector<uint32_t> lengths)
    {
        buf = a->allocBuffer(a, lengths[0]);
        TQ_BufferSegment *tail = &buf->first;
        for (size_t i = 1; i < lengths.size(); ++i) {
            auto *s = static_cast<TQ_BufferSegment *>(malloc(sizeof(TQ_BufferSegment) + lengths[i]));
            s->next = nullptr;
            s->length = lengths[i];
            tail->next = s;
            tail = s;
            buf->size += lengths[i];
            extra.push_back(s);
        }
    }
    ~Chain()
    {
        for (TQ_BufferSegment *s : extra)
            free(s);
        TQ_bufferFree(buf);
    }
    TQ_BufferIter iter()
    {
        TQ_BufferIter it;
        TQ_bufferInitIter(buf, &it);
        return it;
    }
};

} // namespace

TEST(Allocator, PoolsRefillByChunksHandOutDisjointBlocksAndReuseLastFreedFirst)
{
    for (size_t size : {256u, 32u}) {
        SCOPED_TRACE(size);
        Allocator al;
        const size_t perChunk = 4096 / size;
        std::vector<unsigned char *> blocks;
        // One chunk more than a refill gives: exactly two refills.
        EXPECT_EQ(heapRequests([&] {
                      for (size_t i = 0; i <= perChunk; ++i)
                          blocks.push_back(static_cast<unsigned char *>(al.block(size)));
                  }),
                  2u);
        for (size_t i = 1; i < perChunk; ++i)
            EXPECT_EQ(blocks[i], blocks[i - 1] + size) << "carved in address order";
        for (size_t i = 0; i < blocks.size(); ++i)
            memset(blocks[i], static_cast<int>(i), size);
        for (size_t i = 0; i < blocks.size(); ++i) {
            std::vector<unsigned char> expect(size, static_cast<unsigned char>(i));
            EXPECT_EQ(memcmp(blocks[i], expect.data(), size), 0) << "block " << i << " overlaps another";
        }
        al.give(size, blocks[3]);
        al.give(size, blocks[7]);
        al.give(size, nullptr);
        EXPECT_EQ(heapRequests([&] {
                      EXPECT_EQ(al.block(size), blocks[7]);
                      EXPECT_EQ(al.block(size), blocks[3]);
                      EXPECT_EQ(al.block(size), blocks[perChunk] + size);
                  }),
                  0u);
        for (unsigned char *b : blocks)
            al.give(size, b);
        al.give(size, blocks[perChunk] + size);
        EXPECT_TRUE(g_failures.empty());
        // destroy gives both chunks back; the leak checker sees any it keeps.
    }
}

TEST(Allocator, BufferUsesThePoolExactlyWhenHeaderAndPayloadFitIn255Bytes)
{
    Allocator al;
    const uint32_t header = offsetof(TQ_Buffer, first.data);
    ASSERT_GT(header, 20u); // this build's header is not the 32-bit one
    const uint32_t fits = 255 - header;

    void *warm = al.block(256);
    al.give(256, warm);
    TQ_Buffer *pooled = nullptr, *heap = nullptr;
    EXPECT_EQ(heapRequests([&] { pooled = al.a.allocBuffer(&al.a, fits); }), 0u);
    EXPECT_EQ(static_cast<void *>(pooled), warm);
    EXPECT_EQ(heapRequests([&] { heap = al.a.allocBuffer(&al.a, fits + 1); }), 1u);
    for (TQ_Buffer *b : {pooled, heap}) {
        EXPECT_EQ(b->refCount, 0);
        EXPECT_EQ(b->allocator, &al.a);
        EXPECT_EQ(b->first.next, nullptr);
        EXPECT_EQ(TQ_bufferSize(b), b->first.length);
        memset(b->first.data, 0xab, b->size); // the whole payload is writable
    }
    EXPECT_EQ(pooled->size, fits);
    EXPECT_EQ(heap->size, fits + 1);

    // Each goes back where it came from: only the pooled one is handed out
    // again as a 256-byte block.
    TQ_bufferFree(pooled);
    TQ_bufferFree(heap);
    void *first = al.block(256), *second = al.block(256);
    EXPECT_EQ(first, static_cast<void *>(pooled));
    EXPECT_NE(second, static_cast<void *>(heap));
    al.give(256, first);
    al.give(256, second);

    // Two holders: the first release leaves it, the second gives it back.
    TQ_Buffer *b = al.a.allocBuffer(&al.a, 10);
    EXPECT_EQ(TQ_bufferAcquire(b), b);
    TQ_bufferAcquire(b);
    EXPECT_EQ(TQ_bufferRelease(b), 1);
    EXPECT_EQ(TQ_bufferRelease(b), 0);
    void *again = al.block(256);
    EXPECT_EQ(again, static_cast<void *>(b));
    al.give(256, again);
}

TEST(Allocator, EveryHeapFailureIsReportedAndLeavesTheAllocatorWhole)
{
    const uint32_t big = 1000, small = 10;
    long n = 0;
    for (;; ++n) {
        SCOPED_TRACE(n);
        g_failures.clear();
        std::vector<Failure> expected;
        TQ_allocFailAfter(n);
        TQ_Allocator a;
        if (initMallocAllocator(&a) != 1) {
            EXPECT_EQ(a.state, nullptr);
            EXPECT_EQ(a.destroy, nullptr);
            TQ_allocFailAfter(-1);
            continue;
        }
        a.allocationFailure = recordFailure;
        TQ_Buffer *heap = a.allocBuffer(&a, big);
        if (!heap)
            expected.push_back({TQ_ALLOC_FAIL_BUFFER, big});
        TQ_Buffer *pooled = a.allocBuffer(&a, small);
        if (!pooled) {
            expected.push_back({TQ_ALLOC_FAIL_BLOCK256, 256});
            expected.push_back({TQ_ALLOC_FAIL_BUFFER, small});
        }
        char *name = TQ_copyStringWithAllocator(&a, "node-1");
        if (!name)
            expected.push_back({TQ_ALLOC_FAIL_BLOCK32, 32});
        const bool failed = TQ_allocHeapRequests() > static_cast<unsigned long>(n);
        TQ_allocFailAfter(-1);
        EXPECT_EQ(g_failures, expected);
        EXPECT_EQ(failed, !expected.empty());

        // A failed refill leaves the pool as it was: the next request works.
        if (!pooled) {
            EXPECT_NE(pooled = a.allocBuffer(&a, small), nullptr);
        }
        if (!name) {
            EXPECT_STREQ(name = TQ_copyStringWithAllocator(&a, "node-1"), "node-1");
        }
        a.freeBuffer(&a, heap);
        a.freeBuffer(&a, pooled);
        TQ_freeStringWithAllocator(&a, name);
        a.destroy(&a);
        if (!failed)
            break;
    }
    EXPECT_EQ(n, 4) << "state, large buffer, 256-byte chunk, 32-byte chunk";
}

TEST(Buffer, CursorWalksAcrossSegmentEdges)
{
    Allocator al;
    Chain c(&al.a, {3, 0, 5, 1});
    const uint32_t size = 9;
    ASSERT_EQ(c.buf->size, size);
    // Written in pieces that straddle the edges.
    unsigned char bytes[size];
    for (uint32_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>(i + 1);
    TQ_BufferIter w = c.iter();
    EXPECT_EQ(TQ_bufferCopyTo(&w, bytes, 2), 1);
    EXPECT_EQ(TQ_bufferCopyTo(&w, bytes + 2, 4), 1);
    EXPECT_EQ(TQ_bufferCopyTo(&w, bytes + 6, 3), 1);
    EXPECT_EQ(w.segment, nullptr);

    // Where byte p lives: empty segments and the end of a segment are never
    // cursor positions.
    std::vector<TQ_BufferSegment *> segs = {&c.buf->first, c.extra[0], c.extra[1], c.extra[2]};
    auto at = [&](uint32_t p) -> std::pair<TQ_BufferSegment *, uint32_t> {
        for (TQ_BufferSegment *s : segs) {
            if (p < s->length)
                return {s, p};
            p -= s->length;
        }
        return {nullptr, 0};
    };
    for (uint32_t skip = 0; skip <= size; ++skip) {
        for (uint32_t count = 0; skip + count <= size; ++count) {
            SCOPED_TRACE(testing::Message() << "skip " << skip << " read " << count);
            TQ_BufferIter it = c.iter();
            unsigned char out[size] = {};
            ASSERT_EQ(TQ_bufferSkip(&it, skip), 1);
            ASSERT_EQ(TQ_bufferCopyFrom(out, &it, count), 1);
            EXPECT_EQ(memcmp(out, bytes + skip, count), 0);
            EXPECT_EQ(TQ_bufferSpaceRemaining(&it), size - skip - count);
            EXPECT_EQ(std::make_pair(it.segment, it.offset), at(skip + count));
        }
    }

    // Asking for more than remains moves and copies nothing.
    TQ_BufferIter it = c.iter();
    ASSERT_EQ(TQ_bufferSkip(&it, 4), 1);
    const TQ_BufferIter before = it;
    unsigned char out[16];
    memset(out, 0xee, sizeof out);
    EXPECT_EQ(TQ_bufferCopyFrom(out, &it, 6), -1);
    EXPECT_EQ(out[0], 0xee);
    EXPECT_EQ(it.segment, before.segment);
    EXPECT_EQ(it.offset, before.offset);
    EXPECT_EQ(TQ_bufferSpaceRemaining(&it), 0u);
    EXPECT_EQ(TQ_bufferSkip(&it, 1), -1);
    EXPECT_EQ(TQ_bufferSkip(&it, 0), 1);

    // A size that claims more than the chain holds ends the walk with -1.
    c.buf->size = size + 3;
    it = c.iter();
    EXPECT_EQ(TQ_bufferSkip(&it, size + 1), -1);
    EXPECT_EQ(it.segment, nullptr);
    EXPECT_EQ(TQ_bufferSpaceRemaining(&it), 0u);
    c.buf->size = size;

    // An empty buffer: skipping nothing moves the cursor past the end.
    TQ_Buffer *empty = al.a.allocBuffer(&al.a, 0);
    TQ_bufferInitIter(empty, &it);
    EXPECT_EQ(TQ_bufferSkip(&it, 0), 1);
    EXPECT_EQ(it.segment, nullptr);
    TQ_bufferFree(empty);
}

TEST(Buffer, CopyBetweenChainsStopsOnEitherSideRunningShort)
{
    Allocator al;
    Chain src(&al.a, {2, 4, 3}), dst(&al.a, {4, 1, 0, 5});
    unsigned char bytes[9];
    for (int i = 0; i < 9; ++i)
        bytes[i] = static_cast<unsigned char>(0x10 + i);
    TQ_BufferIter s = src.iter(), d = dst.iter();
    ASSERT_EQ(TQ_bufferCopyTo(&s, bytes, 9), 1);
    unsigned char zero[10] = {};
    ASSERT_EQ(TQ_bufferCopyTo(&d, zero, 10), 1);

    s = src.iter();
    d = dst.iter();
    ASSERT_EQ(TQ_bufferSkip(&s, 1), 1);
    ASSERT_EQ(TQ_bufferSkip(&d, 3), 1);
    EXPECT_EQ(TQ_bufferCopyToBuf(&d, &s, 7), 1);
    EXPECT_EQ(TQ_bufferSpaceRemaining(&s), 1u);
    EXPECT_EQ(TQ_bufferSpaceRemaining(&d), 0u);
    unsigned char out[10];
    TQ_BufferIter r = dst.iter();
    ASSERT_EQ(TQ_bufferCopyFrom(out, &r, 10), 1);
    const unsigned char want[10] = {0, 0, 0, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17};
    EXPECT_EQ(memcmp(out, want, 10), 0);

    // Destination too short: nothing copied, the source untouched.
    s = src.iter();
    d = dst.iter();
    ASSERT_EQ(TQ_bufferSkip(&d, 8), 1);
    EXPECT_EQ(TQ_bufferCopyToBuf(&d, &s, 3), -1);
    EXPECT_EQ(TQ_bufferSpaceRemaining(&s), 9u);

    // Source too short: the destination's stretches (1 and 1 byte up to the
    // empty segment) that the source could fill are copied, then -1.
    s = src.iter();
    d = dst.iter();
    ASSERT_EQ(TQ_bufferSkip(&s, 7), 1);
    ASSERT_EQ(TQ_bufferSkip(&d, 3), 1);
    EXPECT_EQ(TQ_bufferCopyToBuf(&d, &s, 5), -1);
    EXPECT_EQ(TQ_bufferSpaceRemaining(&s), 0u);
    EXPECT_EQ(TQ_bufferSpaceRemaining(&d), 0u);
    r = dst.iter();
    ASSERT_EQ(TQ_bufferCopyFrom(out, &r, 10), 1);
    const unsigned char partial[10] = {0, 0, 0, 0x17, 0x18, 0x13, 0x14, 0x15, 0x16, 0x17};
    EXPECT_EQ(memcmp(out, partial, 10), 0);
}

TEST(Strings, BlockFollowsLengthLongStringsAreCutAndGoBackWhereTheyCame)
{
    Allocator al;
    struct Case {
        std::string text;
        size_t block;
    };
    for (const Case &k : {Case{"", 32}, Case{std::string(31, 'a'), 32}, Case{std::string(32, 'b'), 256},
                          Case{std::string(300, 'c'), 256}}) {
        SCOPED_TRACE(k.text.size());
        char *s = TQ_copyStringWithAllocator(&al.a, k.text.c_str());
        EXPECT_EQ(std::string(s), k.text.substr(0, 255));
        // It came from, and goes back to, the pool of its size: the next block
        // of that size is the same one.
        TQ_freeStringWithAllocator(&al.a, s);
        void *b = al.block(k.block);
        EXPECT_EQ(b, static_cast<void *>(s));
        al.give(k.block, b);
    }
    TQ_freeStringWithAllocator(&al.a, nullptr);
    EXPECT_EQ(TQ_copyStringWithAllocator(&al.a, nullptr), nullptr);

    void *b32 = al.block(32), *b256 = al.block(256);
    al.give(32, b32);
    al.give(256, b256);
    char *s31 = TQ_allocStringWithAllocator(&al.a, 31);
    char *s32 = TQ_allocStringWithAllocator(&al.a, 32);
    EXPECT_EQ(static_cast<void *>(s31), b32);
    EXPECT_EQ(static_cast<void *>(s32), b256);
    memset(s32, 'x', 255); // room for 255 characters and the terminator
    s32[255] = '\0';
    EXPECT_EQ(TQ_allocStringWithAllocator(&al.a, 256), nullptr);
    s31[0] = '\0';
    TQ_freeStringWithAllocator(&al.a, s31);
    TQ_freeStringWithAllocator(&al.a, s32);
}

TEST(AllocatorDeathTest, PoolMisuseIsCaughtInAddressSanitizerBuilds)
{
#if !defined(TQ_SANITIZE_ADDRESS)
    GTEST_SKIP() << "free pool blocks are poisoned only in AddressSanitizer builds";
#else
    Allocator al;
    EXPECT_DEATH(
        {
            void *b = al.block(32);
            al.give(32, b);
            al.give(32, b);
        },
        "use-after-poison");
    EXPECT_DEATH(
        {
            volatile char *b = static_cast<char *>(al.block(256));
            al.give(256, const_cast<char *>(b));
            b[100] = 1;
        },
        "use-after-poison");
    EXPECT_DEATH(
        {
            TQ_Buffer *b = al.a.allocBuffer(&al.a, 10);
            TQ_bufferAcquire(b);
            TQ_bufferRelease(b);
            TQ_bufferRelease(b);
        },
        "use-after-poison");
    EXPECT_DEATH(
        {
            TQ_Buffer *b = al.a.allocBuffer(&al.a, 10);
            volatile uint8_t *past = b->first.data + 10;
            *past = 1;
        },
        "use-after-poison");
#endif
}
