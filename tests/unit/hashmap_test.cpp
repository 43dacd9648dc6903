// Hash map over heap keys and values: which key and value each operation keeps, hands back or frees (the sanitizer
// build reports a missed or a double free), and the value slot of a lookup.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "tessarc/runtime.h"

namespace {

int keyEqual(const void *a, const void *b)
{
    return strcmp(static_cast<const char *>(a), static_cast<const char *>(b)) == 0;
}

uint32_t keyHash(const void *a)
{
    const char *s = static_cast<const char *>(a);
    return TQ_djb2hash(0, s, static_cast<uint32_t>(strlen(s)));
}

int *newValue(int v)
{
    int *p = static_cast<int *>(malloc(sizeof(int)));
    *p = v;
    return p;
}

char *key(int i)
{
    return strdup(("k" + std::to_string(i)).c_str());
}

} // namespace

TEST(HashMap, InsertKeepsTheFirstKeyAndHandsBackTheReplacedValue)
{
    TQ_HashMap *m = TQ_hashMapCreate(keyEqual, keyHash);
    char *first = key(0), *again = key(0);
    int *v1 = newValue(1), *v2 = newValue(2);
    EXPECT_EQ(TQ_hashMapInsert(m, first, v1), v1);
    EXPECT_EQ(TQ_hashMapInsert(m, again, v2), v1);
    free(again);
    free(v1);
    TQ_HashMapIterator it;
    it.m_key = first; // a miss must not write it
    EXPECT_EQ(TQ_hashMapFind(m, &it, "k1"), 0);
    EXPECT_TRUE(it.m_node == nullptr && it.m_key == first);
    ASSERT_EQ(TQ_hashMapFind(m, &it, "k0"), 1);
    EXPECT_TRUE(it.m_key == first && *it.m_valueRef == v2);
    free(*it.m_valueRef);
    *it.m_valueRef = newValue(3); // replaced through the slot
    ASSERT_EQ(TQ_hashMapFind(m, &it, "k0"), 1);
    EXPECT_EQ(*static_cast<int *>(*it.m_valueRef), 3);
    TQ_hashMapRemoveFreeBoth(m, "k0");
    EXPECT_EQ(TQ_hashMapEmpty(m), 1);
    TQ_hashMapDelete(m);
}

TEST(HashMap, EachRemoveFreesExactlyWhatItNamesAndClearFreesNothing)
{
    TQ_HashMap *m = TQ_hashMapCreate(keyEqual, keyHash);
    char *keys[4];
    int *values[4];
    for (int i = 0; i < 4; ++i)
        TQ_hashMapInsert(m, keys[i] = key(i), values[i] = newValue(i));
    TQ_hashMapRemoveNoFree(m, "k0");
    TQ_hashMapRemoveFreeKey(m, "k1");
    TQ_hashMapRemoveFreeValue(m, "k2");
    TQ_hashMapRemoveFreeBoth(m, "k2"); // gone already: nothing
    TQ_hashMapClear(m);
    EXPECT_EQ(TQ_hashMapSize(m), 0u);
    for (void *p :
         {(void *)keys[0], (void *)values[0], (void *)values[1], (void *)keys[2], (void *)keys[3], (void *)values[3]})
        free(p);
    TQ_hashMapDelete(m);
}
