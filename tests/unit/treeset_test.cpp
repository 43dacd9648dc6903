// Tree set: randomized comparison against std::map (stored pointer answers) with walks that erase in both directions,
// and ownership.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tessarc/runtime.h"

namespace {

const uint32_t kValues = 400;
uint32_t g_pool[2][kValues]; // every value twice, at two addresses

int valueLess(const void *a, const void *b)
{
    return *static_cast<const uint32_t *>(a) < *static_cast<const uint32_t *>(b);
}

} // namespace

TEST(TreeSet, RandomOperationsMatchStdMap)
{
    for (uint32_t v = 0; v < kValues; ++v)
        g_pool[0][v] = g_pool[1][v] = v;
    std::mt19937 rng(27182);
    TQ_TreeSet set;
    TQ_treeSetInit(&set, valueLess);
    std::map<uint32_t, void *> model; // value -> stored pointer
    for (int round = 0; round < 20000; ++round) {
        const uint32_t v = rng() % kValues;
        void *e = &g_pool[rng() % 2][v];
        const unsigned op = rng() % 100;
        auto found = model.find(v);
        if (op < 50) {
            ASSERT_EQ(TQ_treeSetInsert(&set, e), model.emplace(v, e).first->second);
        } else if (op < 65) {
            TQ_TreeSetIterator it;
            ASSERT_EQ(TQ_treeSetFind(&set, &it, e), found != model.end() ? 1 : 0);
            if (found == model.end())
                continue;
            TQ_treeSetNext(&it); // one step lands on the model's neighbour
            auto nb = std::next(found);
            ASSERT_EQ(it.m_node ? it.m_value : nullptr, nb == model.end() ? nullptr : nb->second);
        } else if (op < 85) {
            ASSERT_EQ(TQ_treeSetRemoveNoFree(&set, e), found != model.end() ? found->second : nullptr);
            if (found != model.end())
                model.erase(found);
        } else if (op < 99) { // a walk either way, erasing some or all
            const bool forward = op % 2 == 0;
            const unsigned eraseOneIn = 1 + rng() % 4;
            std::vector<uint32_t> order;
            for (auto &m : model)
                order.push_back(m.first);
            if (!forward)
                std::reverse(order.begin(), order.end());
            TQ_TreeSetIterator it;
            forward ? TQ_treeSetBegin(&set, &it) : TQ_treeSetReverseBegin(&set, &it);
            size_t pos = 0;
            for (; forward ? TQ_treeSetHasNext(&it) : TQ_treeSetHasPrev(&it); ++pos) {
                ASSERT_LT(pos, order.size());
                ASSERT_EQ(*static_cast<uint32_t *>(it.m_value), order[pos]);
                if (rng() % eraseOneIn == 0) {
                    ASSERT_EQ(forward ? TQ_treeSetErase(&it) : TQ_treeSetReverseErase(&it), model[order[pos]]);
                    model.erase(order[pos]);
                } else {
                    forward ? TQ_treeSetNext(&it) : TQ_treeSetPrev(&it);
                }
            }
            ASSERT_EQ(pos, order.size());
        } else {
            TQ_treeSetClear(&set);
            model.clear();
        }
        ASSERT_EQ(TQ_treeSetSize(&set), model.size());
    }
    TQ_treeSetDestroy(&set);
}

TEST(TreeSet, FreeingOperationsReleaseEachElementOnceAndMergeKeepsTheSource)
{
    TQ_TreeSet owned, other; // the sanitizer build catches a double or missed free
    TQ_treeSetInit(&owned, TQ_stringCompare);
    TQ_treeSetInit(&other, TQ_stringCompare);
    for (int i = 0; i < 50; ++i)
        TQ_treeSetInsert(&owned, strdup(std::to_string(1000 + i).c_str()));
    TQ_treeSetInsert(&other, const_cast<char *>("1007"));
    TQ_treeSetMerge(&other, &owned);
    EXPECT_EQ(TQ_treeSetSize(&other), 50u);
    EXPECT_EQ(TQ_treeSetSize(&owned), 50u);
    TQ_treeSetDestroy(&other);
    TQ_treeSetRemoveAndFree(&owned, "1007");
    TQ_treeSetRemoveAndFree(&owned, "nope");
    EXPECT_EQ(TQ_treeSetSize(&owned), 49u);
    TQ_treeSetClearAndFree(&owned);
    TQ_treeSetDestroy(&owned);
}
