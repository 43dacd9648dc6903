// The heap-backed allocator, buffer cursors, and strings in blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tessarc/runtime.h"

namespace {

std::vector<std::pair<int, uint32_t>> g_failures;

struct Allocator {
    TQ_Allocator a;
    Allocator()
    {
        g_failures.clear();
        if (initMallocAllocator(&a) == 1)
            a.allocationFailure = [](int kind, uint32_t size) { g_failures.emplace_back(kind, size); };
    }
    ~Allocator() // the leak checker sees any chunk destroy keeps
    {
        if (a.destroy)
            a.destroy(&a);
    }
    void *take(size_t size) { return size == 256 ? a.allocBlock256(&a) : a.allocBlock32(&a); }
    void give(size_t size, void *b) { size == 256 ? a.freeBlock256(&a, b) : a.freeBlock32(&a, b); }
};

} // namespace

TEST(Allocator, BufferUsesThePoolExactlyWhenHeaderAndPayloadFitIn255Bytes)
{
    Allocator al;
    const uint32_t fits = 255 - offsetof(TQ_Buffer, first.data);
    void *warm = al.take(256);
    al.give(256, warm);
    TQ_Buffer *pooled = al.a.allocBuffer(&al.a, fits), *heap = al.a.allocBuffer(&al.a, fits + 1);
    EXPECT_EQ(static_cast<void *>(pooled), warm);
    for (TQ_Buffer *b : {pooled, heap}) // the whole payload is there
        memset(b->first.data, 0xab, b->size);
    EXPECT_TRUE(pooled->first.length == fits && heap->size == fits + 1 && heap->allocator == &al.a);
    // Each goes back where it came from.
    TQ_bufferFree(pooled);
    TQ_bufferFree(heap);
    void *first = al.take(256), *second = al.take(256);
    EXPECT_TRUE(first == pooled && second != heap);
    al.give(256, second);
    al.give(256, first);
}

TEST(Buffer, ReleaseAllFreesOnlyLastReferencesEachToItsOwnAllocator)
{
    Allocator al, other;
    TQ_Buffer *a1 = al.a.allocBuffer(&al.a, 64), *shared = al.a.allocBuffer(&al.a, 64);
    TQ_Buffer *heap = al.a.allocBuffer(&al.a, 4096), *b1 = other.a.allocBuffer(&other.a, 64);
    TQ_Buffer *a3 = al.a.allocBuffer(&al.a, 64);
    for (TQ_Buffer *b : {a1, shared, heap, b1, a3})
        TQ_bufferAcquire(b);
    TQ_bufferAcquire(shared);
    memset(shared->first.data, 0x5a, shared->size);
    TQ_Buffer *const all[] = {a1, shared, heap, b1, a3};
    TQ_bufferReleaseAll(all, 5); // the heap buffer ends the first run of pool buffers
    // The shared one keeps its reference and its bytes; the pool buffers went
    // back last in, first out, each to its own allocator's pool.
    EXPECT_EQ(shared->refCount, 1);
    EXPECT_EQ(shared->first.data[shared->size - 1], 0x5a);
    void *first = al.take(256), *second = al.take(256), *fromOther = other.take(256);
    EXPECT_TRUE(first == a3 && second == a1 && fromOther == b1);
    al.give(256, second);
    al.give(256, first);
    other.give(256, fromOther);
    EXPECT_EQ(TQ_bufferRelease(shared), 0);
    EXPECT_EQ(al.take(256), static_cast<void *>(shared));
}

TEST(Allocator, EveryHeapFailureIsReportedAndLeavesTheAllocatorWhole)
{
    long n = 0;
    for (;; ++n) {
        SCOPED_TRACE(n);
        TQ_allocFailAfter(n);
        Allocator al;
        if (!al.a.state) { // its own state could not be had
            EXPECT_EQ(al.a.allocBuffer, nullptr);
            continue;
        }
        TQ_Buffer *heap = al.a.allocBuffer(&al.a, 1000);
        TQ_Buffer *pooled = al.a.allocBuffer(&al.a, 10);
        char *name = TQ_copyStringWithAllocator(&al.a, "node-1");
        const bool failed = TQ_allocHeapRequests() > static_cast<unsigned long>(n);
        TQ_allocFailAfter(-1);
        std::vector<std::pair<int, uint32_t>> expected;
        if (!heap)
            expected = {{TQ_ALLOC_FAIL_BUFFER, 1000}};
        if (!pooled) // the refill, then the buffer
            expected = {{TQ_ALLOC_FAIL_BLOCK256, 256}, {TQ_ALLOC_FAIL_BUFFER, 10}};
        if (!name)
            expected = {{TQ_ALLOC_FAIL_BLOCK32, 32}};
        EXPECT_EQ(g_failures, expected);
        EXPECT_EQ(failed, !expected.empty());
        // A failed refill leaves the pool usable.
        if (!pooled)
            pooled = al.a.allocBuffer(&al.a, 10);
        if (!name)
            name = TQ_copyStringWithAllocator(&al.a, "node-1");
        EXPECT_TRUE(pooled && name);
        al.a.freeBuffer(&al.a, heap);
        al.a.freeBuffer(&al.a, pooled);
        TQ_freeStringWithAllocator(&al.a, name);
        if (!failed)
            break;
    }
    EXPECT_EQ(n, 4) << "state, large buffer, 256-byte chunk, 32-byte chunk";
}

// 9 bytes in segments of 3, 0, 5 and 1, read at every offset and length.
TEST(Buffer, CursorWalksAcrossSegmentEdges)
{
    Allocator al;
    auto chain = [&](std::vector<uint32_t> lengths) {
        TQ_Buffer *b = al.a.allocBuffer(&al.a, lengths[0]);
        TQ_BufferSegment *tail = &b->first;
        for (size_t i = 1; i < lengths.size(); ++i) {
            tail = tail->next = static_cast<TQ_BufferSegment *>(malloc(sizeof(TQ_BufferSegment) + lengths[i]));
            tail->next = nullptr;
            b->size += tail->length = lengths[i];
        }
        return b;
    };
    TQ_Buffer *src = chain({3, 0, 5, 1}), *dst = chain({4, 1, 0, 5});
    const unsigned char bytes[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    TQ_BufferIter it, d;
    TQ_bufferInitIter(src, &it);
    EXPECT_TRUE(TQ_bufferCopyTo(&it, bytes, 2) == 1 && TQ_bufferCopyTo(&it, bytes + 2, 4) == 1 &&
                TQ_bufferCopyTo(&it, bytes + 6, 3) == 1);
    TQ_bufferInitIter(dst, &d);
    EXPECT_EQ(TQ_bufferCopyTo(&d, bytes, 10), 1);

    for (uint32_t skip = 0; skip <= 9; ++skip) {
        for (uint32_t count = 0; skip + count <= 9; ++count) {
            SCOPED_TRACE(testing::Message() << "skip " << skip << " read " << count);
            unsigned char out[9];
            TQ_bufferInitIter(src, &it);
            ASSERT_EQ(TQ_bufferSkip(&it, skip), 1);
            ASSERT_EQ(TQ_bufferCopyFrom(out, &it, count), 1);
            EXPECT_EQ(memcmp(out, bytes + skip, count), 0);
            EXPECT_EQ(TQ_bufferSpaceRemaining(&it), 9 - skip - count);
        }
    }
    // Asking for more than remains copies nothing and spends the cursor.
    unsigned char out[10] = {0xee};
    TQ_bufferInitIter(src, &it);
    ASSERT_EQ(TQ_bufferSkip(&it, 4), 1);
    EXPECT_EQ(TQ_bufferCopyFrom(out, &it, 6), -1);
    EXPECT_EQ(out[0], 0xee);
    EXPECT_EQ(TQ_bufferSpaceRemaining(&it), 0u);
    EXPECT_EQ(TQ_bufferSkip(&it, 1), -1);
    // A size that claims more than the chain holds ends the walk with -1.
    src->size = 12;
    TQ_bufferInitIter(src, &it);
    EXPECT_EQ(TQ_bufferSkip(&it, 10), -1);
    EXPECT_EQ(TQ_bufferSpaceRemaining(&it), 0u);
    src->size = 9;

    // Buffer to buffer across both chains' edges; a short destination copies nothing, a short source stops after the
    // stretches it could fill.
    TQ_bufferInitIter(src, &it);
    TQ_bufferInitIter(dst, &d);
    EXPECT_TRUE(TQ_bufferSkip(&it, 1) == 1 && TQ_bufferSkip(&d, 3) == 1 && TQ_bufferCopyToBuf(&d, &it, 7) == 1);
    EXPECT_EQ(TQ_bufferCopyToBuf(&d, &it, 1), -1);
    EXPECT_EQ(TQ_bufferSpaceRemaining(&it), 1u);
    TQ_bufferInitIter(src, &it);
    TQ_bufferInitIter(dst, &d);
    EXPECT_TRUE(TQ_bufferSkip(&it, 7) == 1 && TQ_bufferSkip(&d, 3) == 1 && TQ_bufferCopyToBuf(&d, &it, 5) == -1);
    EXPECT_EQ(TQ_bufferSpaceRemaining(&it) + TQ_bufferSpaceRemaining(&d), 0u);
    TQ_bufferInitIter(dst, &d);
    ASSERT_EQ(TQ_bufferCopyFrom(out, &d, 10), 1);
    const unsigned char want[10] = {1, 2, 3, 8, 9, 4, 5, 6, 7, 8};
    EXPECT_EQ(memcmp(out, want, 10), 0);

    for (TQ_Buffer *b : {src, dst}) {
        for (TQ_BufferSegment *s = b->first.next, *next; s; s = next) {
            next = s->next;
            free(s);
        }
        TQ_bufferFree(b);
    }
}

TEST(Strings, BlockFollowsLengthLongStringsAreCutAndGoBackWhereTheyCame)
{
    Allocator al;
    for (auto [length, block] : {std::pair<size_t, size_t>{0, 32}, {31, 32}, {32, 256}, {300, 256}}) {
        SCOPED_TRACE(length);
        const std::string text(length, 'a');
        char *s = TQ_copyStringWithAllocator(&al.a, text.c_str());
        EXPECT_EQ(std::string(s), text.substr(0, 255));
        TQ_freeStringWithAllocator(&al.a, s);
        EXPECT_EQ(al.take(block), static_cast<void *>(s));
        al.give(block, s);
    }
    TQ_freeStringWithAllocator(&al.a, nullptr);
    EXPECT_EQ(TQ_copyStringWithAllocator(&al.a, nullptr), nullptr);
    EXPECT_EQ(TQ_allocStringWithAllocator(&al.a, 256), nullptr);
}

TEST(HeapDeathTest, AFailedContainerRequestLogsOneFatalLineAndEndsTheProcessWithCode1)
{
    // Each statement runs in a child whose first heap request fails.
    auto expectEnd = [](void (*request)(), size_t size) {
        EXPECT_EXIT(
            {
                TQ_logToFile(&g_TQ_LOG, stderr);
                TQ_allocFailAfter(0);
                request();
            },
            testing::ExitedWithCode(1),
            "Tessarc: Out of memory: " + std::to_string(size) + " bytes could not be allocated\\.\\.\\. exiting");
    };
    expectEnd(
        [] {
            TQ_List list;
            TQ_listInit(&list);
            TQ_listPushBack(&list, nullptr);
        },
        sizeof(TQ_ListNode));
    expectEnd([] { TQ_hashMapCreate(TQ_ptrEqual, TQ_ptrHash); }, sizeof(TQ_HashMap));
    expectEnd([] { TQ_treeSetCreate(TQ_ptrCompare); }, sizeof(TQ_TreeSet));
}
