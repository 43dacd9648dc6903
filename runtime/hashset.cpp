// Hash set: opaque element pointers in a power-of-two array of TQ_List
// buckets, with caller-supplied equality and hash functions; and the element
// functions for integers, pointers and node identifiers.
#include <stdlib.h>
#include <string.h>

#include "heap.h"
#include "tessarc/runtime.h"

namespace {

const uint32_t kInitialCapacity = 32;
const uint32_t kMinCapacity = 4;
const uint32_t kMaxCapacity = 0x80000000u;

TQ_List *newBuckets(uint32_t capacity)
{
    // Initialised in place rather than by TQ_listInit: a set made per
    // dataset pays for its 32 buckets, and a call per bucket would double it.
    TQ_List *buckets = static_cast<TQ_List *>(TQ_heapAlloc(sizeof(TQ_List) * capacity));
    for (uint32_t i = 0; i < capacity; ++i) {
        buckets[i].m_size = 0;
        buckets[i].m_head = nullptr;
        buckets[i].m_tail = nullptr;
    }
    return buckets;
}

// Appends an existing node to the tail of a bucket list.
inline void linkBack(TQ_List *list, TQ_ListNode *node)
{
    node->m_prev = list->m_tail;
    node->m_next = nullptr;
    if (list->m_tail)
        list->m_tail->m_next = node;
    else
        list->m_head = node;
    list->m_tail = node;
    ++list->m_size;
}

// djb2 (XOR form, start value 0) over the 8 bytes of a pointer, least
// significant first, unrolled on the value itself: fewer instructions per
// hash lets more lookups overlap their memory accesses. The top two bytes of
// a user-space address are zero, and two steps over zero bytes are a
// multiplication by 33 * 33.
inline uint32_t pointerHash(const void *element)
{
    static_assert(sizeof(void *) == 8, "pointer hash written for 8-byte pointers");
    uint64_t v;
    memcpy(&v, &element, sizeof v);
    uint32_t h = static_cast<uint32_t>(v & 0xff);
    h = (h * 33u) ^ static_cast<uint32_t>((v >> 8) & 0xff);
    h = (h * 33u) ^ static_cast<uint32_t>((v >> 16) & 0xff);
    h = (h * 33u) ^ static_cast<uint32_t>((v >> 24) & 0xff);
    h = (h * 33u) ^ static_cast<uint32_t>((v >> 32) & 0xff);
    h = (h * 33u) ^ static_cast<uint32_t>((v >> 40) & 0xff);
    if ((v >> 48) == 0)
        return h * 1089u;
    h = (h * 33u) ^ static_cast<uint32_t>((v >> 48) & 0xff);
    return (h * 33u) ^ static_cast<uint32_t>(v >> 56);
}

// djb2 (XOR form, start value 0) over the 12 bytes of a node identifier,
// written out for the fixed length: the loop of TQ_djb2hash takes three
// times as long for the same result.
inline uint32_t uuidHash(const void *element)
{
    uint32_t words[3];
    static_assert(sizeof words == sizeof(TQ_Uuid), "an identifier is three words");
    memcpy(words, element, sizeof words);
    uint32_t h = 0;
    for (uint32_t w : words) // bytes in memory order: least significant first
        h = ((((((h * 33u) ^ (w & 0xff)) * 33u) ^ ((w >> 8) & 0xff)) * 33u ^ ((w >> 16) & 0xff)) * 33u) ^ (w >> 24);
    return h;
}

inline bool uuidEqual(const void *a, const void *b)
{
    const TQ_Uuid *x = static_cast<const TQ_Uuid *>(a);
    const TQ_Uuid *y = static_cast<const TQ_Uuid *>(b);
    return x->data[0] == y->data[0] && x->data[1] == y->data[1] && x->data[2] == y->data[2];
}

inline bool isPointerSet(const TQ_HashSet *set)
{
    return set->m_hash == TQ_ptrHash && set->m_equal == TQ_ptrEqual;
}

// The element's bucket under `mask` (capacity - 1). The capacity is a power
// of two, so the mask picks the bucket a modulo would.
inline uint32_t bucketOf(const TQ_HashSet *set, const void *element, uint32_t mask)
{
    if (set->m_hash == TQ_ptrHash)
        return pointerHash(element) & mask;
    if (set->m_hash == TQ_uuidHash)
        return uuidHash(element) & mask;
    return set->m_hash(element) & mask;
}

struct Located {
    TQ_List *bucket;
    uint32_t index;
    TQ_ListNode *node; // holds the element equal to the key, or null
};

// Walks the key's bucket head to tail asking equal(key, stored). Sets of
// pointers and of node identifiers are hashed and compared inline, which
// gives the same answers as calling their element functions; other sets
// call their functions.
inline Located locate(const TQ_HashSet *set, const void *key)
{
    const uint32_t index = bucketOf(set, key, set->m_capacity - 1);
    TQ_List *bucket = &set->m_buckets[index];
    TQ_ListNode *node = bucket->m_head;
    if (isPointerSet(set)) {
        while (node && node->m_value != key)
            node = node->m_next;
    } else if (set->m_equal == TQ_uuidEqual) {
        while (node && !uuidEqual(key, node->m_value))
            node = node->m_next;
    } else {
        TQ_EqualFn equal = set->m_equal;
        while (node && !equal(key, node->m_value))
            node = node->m_next;
    }
    return Located{bucket, index, node};
}

// Sets the iterator on the head of the first non-empty bucket at or after
// `from`, or past the end.
inline void seekBucket(TQ_HashSetIterator *it, uint32_t from)
{
    const TQ_HashSet *set = it->m_set;
    for (uint32_t b = from; b < set->m_capacity; ++b) {
        TQ_ListNode *head = set->m_buckets[b].m_head;
        if (head) {
            it->m_bucket = b;
            it->m_node = head;
            it->m_value = head->m_value;
            return;
        }
    }
    it->m_node = nullptr;
    it->m_value = nullptr;
}

// Stops after the last element: a set of a few elements in many buckets
// (a fresh set has 32) is cleared without reading the buckets past it.
void clearBuckets(TQ_HashSet *set, bool freeElements)
{
    uint32_t left = set->m_size;
    for (uint32_t i = 0; left > 0 && i < set->m_capacity; ++i) {
        if (!set->m_buckets[i].m_head)
            continue;
        left -= set->m_buckets[i].m_size < left ? set->m_buckets[i].m_size : left;
        if (freeElements)
            TQ_listClearAndFree(&set->m_buckets[i]);
        else
            TQ_listClear(&set->m_buckets[i]);
    }
}

void clearSet(TQ_HashSet *set, bool freeElements)
{
    clearBuckets(set, freeElements);
    set->m_size = 0;
    TQ_hashSetResize(set, kInitialCapacity);
}

} // namespace

/* ---- Lifetime ---- */

extern "C" TQ_HashSet *TQ_hashSetCreate(TQ_EqualFn equal, TQ_HashFn hash)
{
    TQ_HashSet *set = static_cast<TQ_HashSet *>(TQ_heapAlloc(sizeof(TQ_HashSet)));
    TQ_hashSetInit(set, equal, hash);
    return set;
}

extern "C" void TQ_hashSetInit(TQ_HashSet *set, TQ_EqualFn equal, TQ_HashFn hash)
{
    set->m_equal = equal;
    set->m_hash = hash;
    set->m_capacity = kInitialCapacity;
    set->m_buckets = newBuckets(kInitialCapacity);
    set->m_size = 0;
}

extern "C" void TQ_hashSetDestroy(TQ_HashSet *set)
{
    clearBuckets(set, false);
    free(set->m_buckets);
    set->m_buckets = nullptr;
}

extern "C" void TQ_hashSetDestroyAndFree(TQ_HashSet *set)
{
    clearBuckets(set, true);
    free(set->m_buckets);
    set->m_buckets = nullptr;
}

extern "C" void TQ_hashSetDelete(TQ_HashSet *set)
{
    TQ_hashSetDestroy(set);
    free(set);
}

extern "C" void TQ_hashSetCopy(TQ_HashSet *dst, const TQ_HashSet *src)
{
    dst->m_equal = src->m_equal;
    dst->m_hash = src->m_hash;
    dst->m_capacity = src->m_capacity;
    dst->m_size = src->m_size;
    dst->m_buckets = static_cast<TQ_List *>(TQ_heapAlloc(sizeof(TQ_List) * src->m_capacity));
    for (uint32_t i = 0; i < src->m_capacity; ++i)
        TQ_listCopy(&dst->m_buckets[i], &src->m_buckets[i]);
}

/* ---- Size and capacity ---- */

extern "C" uint32_t TQ_hashSetSize(const TQ_HashSet *set)
{
    return set->m_size;
}

extern "C" int TQ_hashSetEmpty(const TQ_HashSet *set)
{
    return set->m_size == 0 ? 1 : 0;
}

extern "C" uint32_t TQ_hashSetCapacity(const TQ_HashSet *set)
{
    return set->m_capacity;
}

extern "C" void TQ_hashSetResize(TQ_HashSet *set, uint32_t requested)
{
    uint32_t capacity = kMinCapacity;
    while ((capacity < requested || capacity < set->m_size) && capacity < kMaxCapacity)
        capacity <<= 1;
    if (set->m_size > capacity)
        return;

    // Move every node, in iteration order, to the tail of its new bucket.
    // The nodes are relinked rather than copied: the new lists hold the same
    // elements in the same order, without an allocation per element.
    TQ_List *buckets = newBuckets(capacity);
    const uint32_t mask = capacity - 1;
    for (uint32_t i = 0; i < set->m_capacity; ++i) {
        TQ_ListNode *node = set->m_buckets[i].m_head;
        while (node) {
            TQ_ListNode *next = node->m_next;
            linkBack(&buckets[bucketOf(set, node->m_value, mask)], node);
            node = next;
        }
    }
    free(set->m_buckets);
    set->m_buckets = buckets;
    set->m_capacity = capacity;
}

extern "C" void TQ_hashSetClear(TQ_HashSet *set)
{
    clearSet(set, false);
}

extern "C" void TQ_hashSetClearAndFree(TQ_HashSet *set)
{
    clearSet(set, true);
}

/* ---- Elements ---- */

extern "C" void *TQ_hashSetInsert(TQ_HashSet *set, void *element)
{
    // Growth comes before the duplicate test, so the load never exceeds one.
    if (set->m_size >= set->m_capacity)
        TQ_hashSetResize(set, set->m_capacity << 1);
    const Located at = locate(set, element);
    if (at.node)
        return at.node->m_value;
    TQ_ListNode *node = static_cast<TQ_ListNode *>(TQ_heapAlloc(sizeof(TQ_ListNode)));
    node->m_value = element;
    linkBack(at.bucket, node);
    ++set->m_size;
    return element;
}

extern "C" int TQ_hashSetFind(TQ_HashSet *set, TQ_HashSetIterator *it, const void *key)
{
    it->m_set = set;
    const Located at = locate(set, key);
    it->m_bucket = at.index;
    it->m_node = at.node;
    it->m_value = at.node ? at.node->m_value : nullptr;
    return at.node ? 1 : 0;
}

extern "C" void *TQ_hashSetRemoveNoFree(TQ_HashSet *set, const void *key)
{
    // Unlinks straight from the bucket: stepping an iterator past the
    // removed node could scan many empty buckets for nothing.
    const Located at = locate(set, key);
    if (!at.node)
        return nullptr;
    --set->m_size;
    return TQ_listRemoveItem(at.bucket, at.node);
}

extern "C" int TQ_hashSetRemoveAndFree(TQ_HashSet *set, const void *key)
{
    const Located at = locate(set, key);
    if (!at.node)
        return 0;
    --set->m_size;
    free(TQ_listRemoveItem(at.bucket, at.node));
    return 1;
}

/* ---- Iteration ---- */

extern "C" void TQ_hashSetBegin(TQ_HashSet *set, TQ_HashSetIterator *it)
{
    it->m_set = set;
    it->m_bucket = 0;
    seekBucket(it, 0);
}

extern "C" int TQ_hashSetHasNext(const TQ_HashSetIterator *it)
{
    return it->m_node != nullptr ? 1 : 0;
}

extern "C" void TQ_hashSetNext(TQ_HashSetIterator *it)
{
    TQ_ListNode *next = it->m_node->m_next;
    if (next) {
        it->m_node = next;
        it->m_value = next->m_value;
        return;
    }
    seekBucket(it, it->m_bucket + 1);
}

extern "C" void *TQ_hashSetErase(TQ_HashSetIterator *it)
{
    TQ_ListNode *node = it->m_node;
    if (!node)
        return nullptr;
    TQ_HashSet *set = it->m_set;
    const uint32_t bucket = it->m_bucket;
    TQ_hashSetNext(it);
    --set->m_size;
    return TQ_listRemoveItem(&set->m_buckets[bucket], node);
}

/* ---- Element functions ---- */

extern "C" int TQ_intEqual(const void *a, const void *b)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(a)) ==
                   static_cast<uint32_t>(reinterpret_cast<uintptr_t>(b))
               ? 1
               : 0;
}

// Robert Jenkins' 32-bit integer mix.
extern "C" uint32_t TQ_intHash(const void *element)
{
    uint32_t a = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(element));
    a = (a + 0x7ed55d16u) + (a << 12);
    a = (a ^ 0xc761c23cu) ^ (a >> 19);
    a = (a + 0x165667b1u) + (a << 5);
    a = (a + 0xd3a2646cu) ^ (a << 9);
    a = (a + 0xfd7046c5u) + (a << 3);
    a = (a ^ 0xb55a4f09u) ^ (a >> 16);
    return a;
}

extern "C" int TQ_ptrEqual(const void *a, const void *b)
{
    return a == b ? 1 : 0;
}

extern "C" uint32_t TQ_ptrHash(const void *element)
{
    return pointerHash(element);
}

extern "C" int TQ_uuidEqual(const void *a, const void *b)
{
    return uuidEqual(a, b) ? 1 : 0;
}

extern "C" uint32_t TQ_uuidHash(const void *element)
{
    return uuidHash(element);
}
