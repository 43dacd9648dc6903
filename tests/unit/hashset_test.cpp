// Hash set: randomized comparison against std::unordered_map (which stored pointer answers) with walks that erase, and
// ownership of the AndFree variants.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <random>
#include <set>
#include <unordered_map>

#include "tessarc/runtime.h"

namespace {

// Elements are pointers into a pool holding every value twice, so an equal element at another address tells "the stored
// one" from "the one passed".
const uint32_t kValues = 600;
uint32_t g_pool[2][kValues];

int valueEqual(const void *a, const void *b)
{
    return *static_cast<const uint32_t *>(a) == *static_cast<const uint32_t *>(b);
}

// Deliberately weak: few distinct hashes, so buckets hold long chains.
uint32_t valueHash(const void *a)
{
    return (*static_cast<const uint32_t *>(a) % 97) * 0x10001u;
}

} // namespace

TEST(HashSet, RandomOperationsMatchStdUnorderedMap)
{
    for (uint32_t v = 0; v < kValues; ++v)
        g_pool[0][v] = g_pool[1][v] = v;
    std::mt19937 rng(77031);
    TQ_HashSet s;
    TQ_hashSetInit(&s, valueEqual, valueHash);
    std::unordered_map<uint32_t, uint32_t *> model;

    for (int round = 0; round < 30000; ++round) {
        const uint32_t v = rng() % kValues;
        uint32_t *elem = &g_pool[rng() % 2][v];
        const unsigned op = rng() % 100;
        if (op < 50) {
            auto ins = model.emplace(v, elem);
            ASSERT_EQ(TQ_hashSetInsert(&s, elem), ins.first->second);
        } else if (op < 70) {
            TQ_HashSetIterator it;
            auto found = model.find(v);
            const int hit = TQ_hashSetFind(&s, &it, elem);
            ASSERT_EQ(hit, found != model.end() ? 1 : 0);
            ASSERT_EQ(it.m_value, hit ? found->second : nullptr);
            ASSERT_EQ(it.m_node == nullptr, !hit);
        } else if (op < 90) {
            auto found = model.find(v);
            ASSERT_EQ(TQ_hashSetRemoveNoFree(&s, elem), found != model.end() ? found->second : nullptr);
            if (found != model.end())
                model.erase(found);
        } else if (op < 97) { // walk, erasing some: each element once
            TQ_HashSetIterator it;
            TQ_hashSetBegin(&s, &it);
            std::set<void *> seen;
            while (TQ_hashSetHasNext(&it)) {
                ASSERT_TRUE(seen.insert(it.m_value).second);
                if (rng() % 3 == 0) {
                    uint32_t *gone = static_cast<uint32_t *>(TQ_hashSetErase(&it));
                    ASSERT_EQ(model.erase(*gone), 1u);
                } else {
                    TQ_hashSetNext(&it);
                }
            }
            ASSERT_EQ(it.m_value, nullptr);
            ASSERT_EQ(TQ_hashSetErase(&it), nullptr);
        } else if (op < 99) {
            TQ_hashSetResize(&s, rng() % 300);
        } else {
            TQ_hashSetClear(&s);
            model.clear();
        }
        ASSERT_EQ(TQ_hashSetSize(&s), model.size());
    }
    TQ_hashSetDestroy(&s);
}

TEST(HashSet, FreeingOperationsReleaseEachElementOnce)
{
    TQ_HashSet owned; // the sanitizer build catches a double or missed free
    TQ_hashSetInit(&owned, TQ_uuidEqual, TQ_uuidHash);
    TQ_Uuid probe = {{5, 6, 7}};
    for (uint32_t i = 0; i < 41; ++i) {
        if (i == 40) { // after a clear the set is used again
            EXPECT_EQ(TQ_hashSetRemoveAndFree(&owned, &probe), 1);
            EXPECT_EQ(TQ_hashSetRemoveAndFree(&owned, &probe), 0);
            TQ_hashSetClearAndFree(&owned);
            EXPECT_EQ(TQ_hashSetSize(&owned), 0u);
        }
        TQ_Uuid *u = static_cast<TQ_Uuid *>(malloc(sizeof(TQ_Uuid)));
        *u = TQ_Uuid{{i, 6, 7}};
        TQ_hashSetInsert(&owned, u);
    }
    TQ_hashSetDestroyAndFree(&owned);
}
