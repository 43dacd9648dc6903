// The heap-backed allocator with its 256- and 32-byte block pools, the
// reference-counted buffers it makes and the cursor that reads and writes
// them, and strings kept in allocator blocks.
#include <atomic>
#include <stdlib.h>
#include <string.h>

#include "heap.h"
#include "tessarc/runtime.h"

#if defined(TQ_SANITIZE_ADDRESS)
#include <sanitizer/asan_interface.h>
#endif

namespace {

/* ---- Heap requests and the failure seam ---- */

// While the seam is off a heap request costs one relaxed load and a branch
// that is always predicted right.
std::atomic<bool> g_failSeamOn{false};
std::atomic<unsigned long> g_heapRequests{0};
std::atomic<long> g_failAt{-1};

void *heapAlloc(size_t size)
{
    if (__builtin_expect(g_failSeamOn.load(std::memory_order_relaxed), false)) {
        unsigned long k = g_heapRequests.fetch_add(1, std::memory_order_relaxed);
        if (static_cast<long>(k) == g_failAt.load(std::memory_order_relaxed))
            return nullptr;
    }
    return malloc(size);
}

// The one end of a failed container allocation: kept out of line so that
// the fast path of TQ_heapAlloc stays a call to malloc and a test.
[[noreturn]] __attribute__((cold, noinline)) void heapExhausted(size_t size)
{
    TQ_log(&g_TQ_LOG, TQ_LOG_FATAL, "Out of memory: %zu bytes could not be allocated... exiting\n", size);
    TQ_exitProcess(1);
}

/* ---- Pool poisoning ---- */

// In AddressSanitizer builds a block that waits in a free list is poisoned, so
// that a use after free or a second free of a pool block is reported as it
// would be for heap memory. The allocator itself unpoisons a block before it
// reads the link stored in it.
inline void poison(void *p, size_t n)
{
#if defined(TQ_SANITIZE_ADDRESS)
    ASAN_POISON_MEMORY_REGION(p, n);
#else
    (void)p;
    (void)n;
#endif
}

inline void unpoison(void *p, size_t n)
{
#if defined(TQ_SANITIZE_ADDRESS)
    ASAN_UNPOISON_MEMORY_REGION(p, n);
#else
    (void)p;
    (void)n;
#endif
}

/* ---- Pools ---- */

constexpr size_t kChunkBytes = 4096;
// Each chunk carries a small header in front of its 4096 bytes that links it
// into the allocator's chunk list, so that destroy can give it back. 16 bytes
// keep the blocks at the heap's alignment.
constexpr size_t kChunkHeader = 16;
constexpr size_t kBufferHeader = TQ_BUFFER_HEADER_SIZE;
// A buffer whose header and payload take at most this many bytes lives in a
// 256-byte pool block.
constexpr size_t kPoolBufferLimit = 255;

struct Chunk {
    Chunk *next;
};
static_assert(sizeof(Chunk) <= kChunkHeader, "chunk header too small");

struct Pool {
    void *head; // first free block, null when empty
    size_t blockSize;
    int failureKind;
};

struct MallocState {
    Pool large;
    Pool small;
    intptr_t mutex;
    Chunk *chunks; // every chunk either pool ever took, newest first
};

inline MallocState *stateOf(TQ_Allocator *allocator)
{
    return static_cast<MallocState *>(allocator->state);
}

inline void *linkOf(void *block)
{
    void *next;
    memcpy(&next, block, sizeof next);
    return next;
}

inline void setLink(void *block, void *next)
{
    memcpy(block, &next, sizeof next);
}

// Takes one chunk from the heap and carves it into blocks linked in address
// order. Called with the mutex held and the pool empty.
bool refill(MallocState *state, Pool *pool)
{
    unsigned char *raw = static_cast<unsigned char *>(heapAlloc(kChunkHeader + kChunkBytes));
    if (!raw)
        return false;
    Chunk *chunk = reinterpret_cast<Chunk *>(raw);
    chunk->next = state->chunks;
    state->chunks = chunk;
    unsigned char *first = raw + kChunkHeader;
    size_t count = kChunkBytes / pool->blockSize;
    for (size_t i = 0; i < count; ++i) {
        unsigned char *block = first + i * pool->blockSize;
        setLink(block, i + 1 < count ? block + pool->blockSize : nullptr);
        poison(block, pool->blockSize);
    }
    pool->head = first;
    return true;
}

void *poolAlloc(TQ_Allocator *allocator, Pool *pool)
{
    MallocState *state = stateOf(allocator);
    TQ_mutexLock(state->mutex);
    if (!pool->head && !refill(state, pool)) {
        TQ_mutexUnlock(state->mutex);
        if (allocator->allocationFailure)
            allocator->allocationFailure(pool->failureKind, static_cast<uint32_t>(pool->blockSize));
        return nullptr;
    }
    void *block = pool->head;
    unpoison(block, pool->blockSize);
    pool->head = linkOf(block);
    TQ_mutexUnlock(state->mutex);
    return block;
}

// Puts a block on its pool's free list. Called with the mutex held.
inline void pushFree(Pool *pool, void *block)
{
    // A block that is already free is poisoned: writing its link is what
    // reports a second free in AddressSanitizer builds.
    setLink(block, pool->head);
    poison(block, pool->blockSize);
    pool->head = block;
}

void poolFree(TQ_Allocator *allocator, Pool *pool, void *block)
{
    if (!block)
        return;
    MallocState *state = stateOf(allocator);
    TQ_mutexLock(state->mutex);
    pushFree(pool, block);
    TQ_mutexUnlock(state->mutex);
}

/* ---- Allocator slots ---- */

void mallocDestroy(TQ_Allocator *allocator)
{
    MallocState *state = stateOf(allocator);
    if (!state)
        return;
    TQ_mutexDelete(state->mutex);
    Chunk *chunk = state->chunks;
    while (chunk) {
        Chunk *next = chunk->next;
        unpoison(chunk, kChunkHeader + kChunkBytes);
        free(chunk);
        chunk = next;
    }
    free(state);
    allocator->state = nullptr;
}

void *mallocAllocBlock256(TQ_Allocator *allocator)
{
    return poolAlloc(allocator, &stateOf(allocator)->large);
}

void mallocFreeBlock256(TQ_Allocator *allocator, void *block)
{
    poolFree(allocator, &stateOf(allocator)->large, block);
}

void *mallocAllocBlock32(TQ_Allocator *allocator)
{
    return poolAlloc(allocator, &stateOf(allocator)->small);
}

void mallocFreeBlock32(TQ_Allocator *allocator, void *block)
{
    poolFree(allocator, &stateOf(allocator)->small, block);
}

TQ_Buffer *mallocAllocBuffer(TQ_Allocator *allocator, uint32_t payloadSize)
{
    size_t total = kBufferHeader + payloadSize;
    TQ_Buffer *buffer;
    if (total <= kPoolBufferLimit) {
        buffer = static_cast<TQ_Buffer *>(poolAlloc(allocator, &stateOf(allocator)->large));
        // The rest of the block stays poisoned, so that writing past the
        // payload is reported as it would be for a heap buffer.
        if (buffer)
            poison(reinterpret_cast<unsigned char *>(buffer) + total, 256 - total);
    } else {
        buffer = static_cast<TQ_Buffer *>(heapAlloc(total));
    }
    if (!buffer) {
        if (allocator->allocationFailure)
            allocator->allocationFailure(TQ_ALLOC_FAIL_BUFFER, payloadSize);
        return nullptr;
    }
    buffer->refCount = 0;
    buffer->allocator = allocator;
    buffer->size = payloadSize;
    buffer->first.next = nullptr;
    buffer->first.length = payloadSize;
    return buffer;
}

void mallocFreeBuffer(TQ_Allocator *allocator, TQ_Buffer *buffer)
{
    if (!buffer)
        return;
    // A pool buffer already given back is poisoned, so reading its length
    // here reports a second free in AddressSanitizer builds.
    if (kBufferHeader + buffer->first.length <= kPoolBufferLimit) {
        poolFree(allocator, &stateOf(allocator)->large, buffer);
    } else {
        free(buffer);
    }
}

/* ---- Cursor walk ---- */

// The general walk of `walk` below, across segment ends and short chains;
// kept out of line so that the common case needs no stack frame.
template <typename Process>
__attribute__((noinline)) int walkChain(TQ_BufferIter *iter, uint32_t n, Process process)
{
    if (iter->remaining < n) {
        iter->remaining = 0;
        return -1;
    }
    iter->remaining -= n;
    TQ_BufferSegment *segment = iter->segment;
    uint32_t offset = iter->offset;
    // A stretch that ends exactly at a segment's end leaves the cursor at the
    // start of the next segment.
    while (segment && segment->length - offset <= n) {
        uint32_t left = segment->length - offset;
        if (!process(segment->data + offset, left)) {
            iter->remaining = 0;
            return -1;
        }
        n -= left;
        segment = segment->next;
        offset = 0;
    }
    if (segment) {
        if (!process(segment->data + offset, n)) {
            iter->remaining = 0;
            return -1;
        }
        offset += n;
        n = 0;
    }
    iter->segment = segment;
    iter->offset = offset;
    if (n == 0)
        return 1;
    // The chain ended before the size said it would.
    iter->remaining = 0;
    return -1;
}

// Moves the cursor `n` bytes on, handing each stretch of segment bytes it
// passes to `process(bytes, count)`, which returns false to stop the walk.
template <typename Process>
inline int walk(TQ_BufferIter *iter, uint32_t n, Process process)
{
    // Fast path: the stretch lies inside the current segment and ends before
    // its last byte, so the cursor stays in that segment. This is every read
    // of a dataset header from a one-segment buffer.
    TQ_BufferSegment *current = iter->segment;
    if (__builtin_expect(current && iter->remaining >= n && current->length - iter->offset > n, true)) {
        if (!process(current->data + iter->offset, n)) {
            iter->remaining = 0;
            return -1;
        }
        iter->offset += n;
        iter->remaining -= n;
        return 1;
    }
    return walkChain(iter, n, process);
}

// memcpy for the walk's stretches, which may be empty at a null caller
// pointer (a copy of 0 bytes).
// Dataset and broadcast headers are read and written in pieces of 4 and 8
// bytes; those copies are inlined instead of calling memcpy.
inline void copyBytes(void *to, const void *from, uint32_t n)
{
    if (n == 8)
        memcpy(to, from, 8);
    else if (n == 4)
        memcpy(to, from, 4);
    else if (n)
        memcpy(to, from, n);
}

} // namespace

/* ---- Allocator ---- */

extern "C" int initMallocAllocator(TQ_Allocator *allocator)
{
    *allocator = TQ_Allocator{};
    MallocState *state = static_cast<MallocState *>(heapAlloc(sizeof(MallocState)));
    if (!state)
        return -1;
    state->mutex = TQ_mutexCreate();
    if (state->mutex == -1) {
        free(state);
        return -1;
    }
    state->large = Pool{nullptr, 256, TQ_ALLOC_FAIL_BLOCK256};
    state->small = Pool{nullptr, 32, TQ_ALLOC_FAIL_BLOCK32};
    state->chunks = nullptr;
    allocator->destroy = mallocDestroy;
    allocator->allocBuffer = mallocAllocBuffer;
    allocator->freeBuffer = mallocFreeBuffer;
    allocator->allocBlock256 = mallocAllocBlock256;
    allocator->freeBlock256 = mallocFreeBlock256;
    allocator->allocBlock32 = mallocAllocBlock32;
    allocator->freeBlock32 = mallocFreeBlock32;
    allocator->flags = 1;
    allocator->allocationFailure = nullptr;
    allocator->state = state;
    return 1;
}

extern "C" void TQ_allocFailAfter(long n)
{
    if (n < 0) {
        g_failSeamOn.store(false);
        g_failAt.store(-1);
        return;
    }
    g_failSeamOn.store(false);
    g_heapRequests.store(0);
    g_failAt.store(n);
    g_failSeamOn.store(true);
}

extern "C" unsigned long TQ_allocHeapRequests(void)
{
    return g_heapRequests.load();
}

void *TQ_heapAlloc(size_t size)
{
    void *memory = heapAlloc(size);
    if (__builtin_expect(memory == nullptr, false))
        heapExhausted(size);
    return memory;
}

/* ---- Buffers ---- */

extern "C" TQ_Buffer *TQ_bufferAcquire(TQ_Buffer *buffer)
{
    __atomic_add_fetch(&buffer->refCount, 1, __ATOMIC_RELAXED);
    return buffer;
}

extern "C" int32_t TQ_bufferRelease(TQ_Buffer *buffer)
{
    // Acquire-release: every holder's use of the buffer happens before the
    // last holder gives it back.
    int32_t count = __atomic_sub_fetch(&buffer->refCount, 1, __ATOMIC_ACQ_REL);
    if (count == 0)
        buffer->allocator->freeBuffer(buffer->allocator, buffer);
    return count;
}

extern "C" void TQ_bufferReleaseAll(TQ_Buffer *const *buffers, size_t count)
{
    size_t i = 0;
    while (i < count) {
        TQ_Buffer *buffer = buffers[i++];
        if (__atomic_sub_fetch(&buffer->refCount, 1, __ATOMIC_ACQ_REL) != 0)
            continue;
        TQ_Allocator *allocator = buffer->allocator;
        if (allocator->freeBuffer != mallocFreeBuffer || kBufferHeader + buffer->first.length > kPoolBufferLimit) {
            allocator->freeBuffer(allocator, buffer);
            continue;
        }
        // A run of pool buffers of this allocator goes back under one hold
        // of its mutex; the run ends before any other buffer that is let go,
        // whose allocator is called with no lock held.
        MallocState *state = stateOf(allocator);
        TQ_mutexLock(state->mutex);
        pushFree(&state->large, buffer);
        while (i < count) {
            TQ_Buffer *next = buffers[i];
            if (next->allocator != allocator || kBufferHeader + next->first.length > kPoolBufferLimit)
                break;
            ++i;
            if (__atomic_sub_fetch(&next->refCount, 1, __ATOMIC_ACQ_REL) == 0)
                pushFree(&state->large, next);
        }
        TQ_mutexUnlock(state->mutex);
    }
}

extern "C" void TQ_bufferFree(TQ_Buffer *buffer)
{
    buffer->allocator->freeBuffer(buffer->allocator, buffer);
}

extern "C" uint32_t TQ_bufferSize(const TQ_Buffer *buffer)
{
    return buffer->size;
}

/* ---- Cursor ---- */

extern "C" void TQ_bufferInitIter(TQ_Buffer *buffer, TQ_BufferIter *iter)
{
    iter->segment = &buffer->first;
    iter->offset = 0;
    iter->remaining = buffer->size;
}

extern "C" uint32_t TQ_bufferSpaceRemaining(const TQ_BufferIter *iter)
{
    return iter->remaining;
}

extern "C" int TQ_bufferSkip(TQ_BufferIter *iter, uint32_t count)
{
    return walk(iter, count, [](uint8_t *, uint32_t) { return true; });
}

extern "C" int TQ_bufferCopyTo(TQ_BufferIter *iter, const void *source, uint32_t count)
{
    const uint8_t *from = static_cast<const uint8_t *>(source);
    return walk(iter, count, [&from](uint8_t *bytes, uint32_t n) {
        copyBytes(bytes, from, n);
        from += n;
        return true;
    });
}

extern "C" int TQ_bufferCopyFrom(void *destination, TQ_BufferIter *iter, uint32_t count)
{
    uint8_t *to = static_cast<uint8_t *>(destination);
    return walk(iter, count, [&to](uint8_t *bytes, uint32_t n) {
        copyBytes(to, bytes, n);
        to += n;
        return true;
    });
}

extern "C" int TQ_bufferCopyToBuf(TQ_BufferIter *destination, TQ_BufferIter *source, uint32_t count)
{
    return walk(destination, count,
                [source](uint8_t *bytes, uint32_t n) { return TQ_bufferCopyFrom(bytes, source, n) == 1; });
}

/* ---- Strings ---- */

extern "C" char *TQ_allocStringWithAllocator(TQ_Allocator *allocator, uint32_t length)
{
    if (length > 255)
        return nullptr;
    void *block = length + 1 <= 32 ? allocator->allocBlock32(allocator) : allocator->allocBlock256(allocator);
    return static_cast<char *>(block);
}

extern "C" char *TQ_copyStringWithAllocator(TQ_Allocator *allocator, const char *string)
{
    if (!string)
        return nullptr;
    size_t n = 1;
    while (n < 256 && string[n - 1] != '\0')
        ++n;
    char *copy =
        static_cast<char *>(n <= 32 ? allocator->allocBlock32(allocator) : allocator->allocBlock256(allocator));
    if (!copy)
        return nullptr;
    memcpy(copy, string, n);
    copy[n - 1] = '\0';
    return copy;
}

extern "C" void TQ_freeStringWithAllocator(TQ_Allocator *allocator, char *string)
{
    if (!string)
        return;
    // Only whether the terminator lies within the first 32 bytes matters.
    size_t length = 0;
    while (length < 32 && string[length] != '\0')
        ++length;
    if (length <= 31)
        allocator->freeBlock32(allocator, string);
    else
        allocator->freeBlock256(allocator, string);
}
