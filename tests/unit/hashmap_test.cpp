// Hash map: randomized comparison against std::map with heap keys and values,
// so that every release the map does or does not do is checked by the
// sanitizer build (a missed free leaks, a wrong one double-frees).
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <map>
#include <random>
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

struct Stored {
    char *key;
    int *value;
};

int *newValue(int v)
{
    int *p = static_cast<int *>(malloc(sizeof(int)));
    *p = v;
    return p;
}

} // namespace

TEST(HashMap, RandomOperationsMatchStdMap)
{
    const unsigned seed = 4242;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    TQ_HashMap *m = TQ_hashMapCreate(keyEqual, keyHash);
    std::map<std::string, Stored> model;

    for (int round = 0; round < 20000; ++round) {
        const std::string name = "k" + std::to_string(rng() % 300);
        char *key = strdup(name.c_str()); // a fresh pointer to an equal key
        const unsigned op = rng() % 100;
        auto found = model.find(name);
        if (op < 45) {
            int *value = newValue(round);
            void *r = TQ_hashMapInsert(m, key, value);
            if (found == model.end()) {
                ASSERT_EQ(r, value);
                model[name] = Stored{key, value};
                key = nullptr;
            } else { // old key kept, old value handed back
                ASSERT_EQ(r, found->second.value);
                free(r);
                found->second.value = value;
            }
        } else if (op < 65) {
            TQ_HashMapIterator it;
            it.m_key = key; // must not be written on a miss
            const int hit = TQ_hashMapFind(m, &it, key);
            ASSERT_EQ(hit, found != model.end() ? 1 : 0);
            if (hit) {
                ASSERT_EQ(it.m_key, found->second.key);
                ASSERT_EQ(*it.m_valueRef, found->second.value);
                if (rng() % 2) { // replace through m_valueRef
                    free(*it.m_valueRef);
                    *it.m_valueRef = found->second.value = newValue(-round);
                }
            } else {
                ASSERT_EQ(it.m_node, nullptr);
                ASSERT_EQ(it.m_key, key);
            }
        } else if (op < 90) {
            Stored st = found != model.end() ? found->second : Stored{nullptr, nullptr};
            switch (op % 4) {
            case 0:
                TQ_hashMapRemoveNoFree(m, key);
                free(st.key);
                free(st.value);
                break;
            case 1:
                TQ_hashMapRemoveFreeKey(m, key);
                free(st.value);
                break;
            case 2:
                TQ_hashMapRemoveFreeValue(m, key);
                free(st.key);
                break;
            case 3:
                TQ_hashMapRemoveFreeBoth(m, key);
                break;
            }
            if (found != model.end())
                model.erase(found);
        } else if (op < 99) { // walk, erasing some entries
            TQ_HashMapIterator it;
            TQ_hashMapBegin(m, &it);
            const size_t before = model.size();
            size_t visited = 0;
            while (TQ_hashMapHasNext(&it)) {
                ++visited;
                auto mf = model.find(static_cast<char *>(it.m_key));
                ASSERT_NE(mf, model.end());
                ASSERT_EQ(it.m_key, mf->second.key);
                ASSERT_EQ(*it.m_valueRef, mf->second.value);
                if (rng() % 3 == 0) {
                    free(mf->second.key);
                    free(mf->second.value);
                    model.erase(mf);
                    TQ_hashMapErase(&it);
                } else {
                    TQ_hashMapNext(&it);
                }
            }
            ASSERT_EQ(it.m_key, nullptr);
            ASSERT_EQ(it.m_valueRef, nullptr);
            TQ_hashMapErase(&it); // past the end: nothing
            ASSERT_EQ(visited, before);
        } else { // clear releases no key or value
            TQ_hashMapClear(m);
            ASSERT_EQ(TQ_hashMapCapacity(m), 32u);
            for (auto &e : model) {
                free(e.second.key);
                free(e.second.value);
            }
            model.clear();
        }
        free(key);
        ASSERT_EQ(TQ_hashMapSize(m), model.size());
        ASSERT_EQ(TQ_hashMapEmpty(m), model.empty() ? 1 : 0);
    }
    EXPECT_GE(TQ_hashMapCapacity(m), TQ_hashMapSize(m));
    TQ_hashMapResize(m, 0);
    EXPECT_GE(TQ_hashMapCapacity(m), TQ_hashMapSize(m));
    TQ_hashMapDelete(m); // entries only
    for (auto &e : model) {
        free(e.second.key);
        free(e.second.value);
    }
}
