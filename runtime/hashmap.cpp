// Hash map: key -> value associations kept as entry records in a hash set
// whose equality and hash look only at the entry's key.
#include <stdlib.h>

#include "heap.h"
#include "tessarc/runtime.h"

namespace {

// The entry functions receive only entries; each entry carries the map's
// key functions. The set calls equality with (new or probe entry, stored
// entry), so the key functions see the key asked about first.
int entryEqual(const void *a, const void *b)
{
    const TQ_HashMapEntry *x = static_cast<const TQ_HashMapEntry *>(a);
    const TQ_HashMapEntry *y = static_cast<const TQ_HashMapEntry *>(b);
    return x->m_keyEqual(x->m_key, y->m_key);
}

uint32_t entryHash(const void *e)
{
    const TQ_HashMapEntry *x = static_cast<const TQ_HashMapEntry *>(e);
    return x->m_keyHash(x->m_key);
}

// A probe entry on the stack, for lookups that must not allocate.
inline TQ_HashMapEntry probeFor(const TQ_HashMap *map, const void *key)
{
    return TQ_HashMapEntry{map->m_keyEqual, map->m_keyHash, const_cast<void *>(key), nullptr};
}

// The map iterator's first four fields are a set iterator's; these move them
// across so the set's walk code does the stepping.
inline TQ_HashSetIterator setPart(const TQ_HashMapIterator *it)
{
    return TQ_HashSetIterator{it->m_set, it->m_bucket, it->m_node, it->m_value};
}

// Stores the stepped set iterator back and derives m_key and m_valueRef.
inline void takeSetPart(TQ_HashMapIterator *it, const TQ_HashSetIterator &s)
{
    it->m_set = s.m_set;
    it->m_bucket = s.m_bucket;
    it->m_node = s.m_node;
    it->m_value = s.m_value;
    TQ_HashMapEntry *entry = s.m_node ? static_cast<TQ_HashMapEntry *>(s.m_value) : nullptr;
    it->m_key = entry ? entry->m_key : nullptr;
    it->m_valueRef = entry ? &entry->m_value : nullptr;
}

// Unhooks the entry for `key` and returns it (the caller frees it), or null.
inline TQ_HashMapEntry *detach(TQ_HashMap *map, const void *key)
{
    TQ_HashMapEntry probe = probeFor(map, key);
    return static_cast<TQ_HashMapEntry *>(TQ_hashSetRemoveNoFree(&map->m_entries, &probe));
}

} // namespace

/* ---- Lifetime and size ---- */

extern "C" TQ_HashMap *TQ_hashMapCreate(TQ_EqualFn keyEqual, TQ_HashFn keyHash)
{
    TQ_HashMap *map = static_cast<TQ_HashMap *>(TQ_heapAlloc(sizeof(TQ_HashMap)));
    TQ_hashMapInit(map, keyEqual, keyHash);
    return map;
}

extern "C" void TQ_hashMapInit(TQ_HashMap *map, TQ_EqualFn keyEqual, TQ_HashFn keyHash)
{
    TQ_hashSetInit(&map->m_entries, entryEqual, entryHash);
    map->m_keyEqual = keyEqual;
    map->m_keyHash = keyHash;
}

extern "C" void TQ_hashMapDestroy(TQ_HashMap *map)
{
    TQ_hashSetDestroyAndFree(&map->m_entries);
}

extern "C" void TQ_hashMapDelete(TQ_HashMap *map)
{
    TQ_hashMapDestroy(map);
    free(map);
}

extern "C" uint32_t TQ_hashMapSize(const TQ_HashMap *map)
{
    return TQ_hashSetSize(&map->m_entries);
}

extern "C" int TQ_hashMapEmpty(const TQ_HashMap *map)
{
    return TQ_hashSetEmpty(&map->m_entries);
}

extern "C" uint32_t TQ_hashMapCapacity(const TQ_HashMap *map)
{
    return TQ_hashSetCapacity(&map->m_entries);
}

extern "C" void TQ_hashMapResize(TQ_HashMap *map, uint32_t requested)
{
    TQ_hashSetResize(&map->m_entries, requested);
}

extern "C" void TQ_hashMapClear(TQ_HashMap *map)
{
    TQ_hashSetClearAndFree(&map->m_entries);
}

/* ---- Associations ---- */

extern "C" void *TQ_hashMapInsert(TQ_HashMap *map, void *key, void *value)
{
    TQ_HashMapEntry *entry = static_cast<TQ_HashMapEntry *>(TQ_heapAlloc(sizeof(TQ_HashMapEntry)));
    *entry = TQ_HashMapEntry{map->m_keyEqual, map->m_keyHash, key, value};
    TQ_HashMapEntry *stored = static_cast<TQ_HashMapEntry *>(TQ_hashSetInsert(&map->m_entries, entry));
    if (stored == entry)
        return value;
    free(entry);
    void *previous = stored->m_value;
    stored->m_value = value;
    return previous;
}

extern "C" int TQ_hashMapFind(TQ_HashMap *map, TQ_HashMapIterator *it, const void *key)
{
    TQ_HashMapEntry probe = probeFor(map, key);
    TQ_HashSetIterator s;
    if (!TQ_hashSetFind(&map->m_entries, &s, &probe)) {
        it->m_set = s.m_set;
        it->m_bucket = s.m_bucket;
        it->m_node = nullptr;
        it->m_value = nullptr;
        return 0;
    }
    takeSetPart(it, s);
    return 1;
}

extern "C" void TQ_hashMapRemoveNoFree(TQ_HashMap *map, const void *key)
{
    free(detach(map, key));
}

extern "C" void TQ_hashMapRemoveFreeKey(TQ_HashMap *map, const void *key)
{
    if (TQ_HashMapEntry *entry = detach(map, key)) {
        free(entry->m_key);
        free(entry);
    }
}

extern "C" void TQ_hashMapRemoveFreeValue(TQ_HashMap *map, const void *key)
{
    if (TQ_HashMapEntry *entry = detach(map, key)) {
        free(entry->m_value);
        free(entry);
    }
}

extern "C" void TQ_hashMapRemoveFreeBoth(TQ_HashMap *map, const void *key)
{
    if (TQ_HashMapEntry *entry = detach(map, key)) {
        free(entry->m_key);
        free(entry->m_value);
        free(entry);
    }
}

/* ---- Iteration ---- */

extern "C" void TQ_hashMapBegin(TQ_HashMap *map, TQ_HashMapIterator *it)
{
    TQ_HashSetIterator s;
    TQ_hashSetBegin(&map->m_entries, &s);
    takeSetPart(it, s);
}

extern "C" int TQ_hashMapHasNext(const TQ_HashMapIterator *it)
{
    return it->m_node != nullptr ? 1 : 0;
}

extern "C" void TQ_hashMapNext(TQ_HashMapIterator *it)
{
    TQ_HashSetIterator s = setPart(it);
    TQ_hashSetNext(&s);
    takeSetPart(it, s);
}

extern "C" void TQ_hashMapErase(TQ_HashMapIterator *it)
{
    if (!it->m_node)
        return;
    TQ_HashSetIterator s = setPart(it);
    free(TQ_hashSetErase(&s));
    takeSetPart(it, s);
}
