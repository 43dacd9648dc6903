// Tree set: randomized comparison against std::map (stored pointer answers)
// through both the inline pointer order and a comparator called through its
// pointer, with walks that erase in both directions; comparators; ownership;
// the printed tree.
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

struct Harness {
    bool byPtr; // elements are small integers ordered by TQ_ptrCompare
    TQ_TreeSet set;
    std::map<uint32_t, void *> model; // value -> stored pointer

    uint32_t valueOf(const void *e) const
    {
        return byPtr ? static_cast<uint32_t>(reinterpret_cast<uintptr_t>(e) - 1) : *static_cast<const uint32_t *>(e);
    }
    void *element(uint32_t v, unsigned copy) const
    {
        return byPtr ? reinterpret_cast<void *>(uintptr_t(v) + 1) : &g_pool[copy][v];
    }

    // A forward walk yields the model's pointers in order.
    void check()
    {
        ASSERT_EQ(TQ_treeSetSize(&set), model.size());
        TQ_TreeSetIterator it;
        TQ_treeSetBegin(&set, &it);
        for (auto &e : model) {
            ASSERT_TRUE(TQ_treeSetHasNext(&it));
            ASSERT_EQ(it.m_value, e.second);
            TQ_treeSetNext(&it);
        }
        ASSERT_FALSE(TQ_treeSetHasNext(&it));
    }

    void walk(std::mt19937 &rng, bool forward)
    {
        const unsigned eraseOneIn = 1 + rng() % 4; // 1: erase everything
        TQ_TreeSetIterator it;
        std::vector<uint32_t> order;
        for (auto &e : model)
            order.push_back(e.first);
        if (!forward)
            std::reverse(order.begin(), order.end());
        forward ? TQ_treeSetBegin(&set, &it) : TQ_treeSetReverseBegin(&set, &it);
        size_t pos = 0;
        while (forward ? TQ_treeSetHasNext(&it) : TQ_treeSetHasPrev(&it)) {
            ASSERT_LT(pos, order.size());
            ASSERT_EQ(valueOf(it.m_value), order[pos]);
            if (rng() % eraseOneIn == 0) {
                void *gone = forward ? TQ_treeSetErase(&it) : TQ_treeSetReverseErase(&it);
                ASSERT_EQ(gone, model[order[pos]]);
                model.erase(order[pos]);
            } else {
                forward ? TQ_treeSetNext(&it) : TQ_treeSetPrev(&it);
            }
            ++pos;
        }
        ASSERT_EQ(pos, order.size());
    }

    void run(unsigned seed, int rounds)
    {
        SCOPED_TRACE("seed " + std::to_string(seed) + (byPtr ? " pointer order" : " comparator"));
        std::mt19937 rng(seed);
        TQ_treeSetInit(&set, byPtr ? TQ_ptrCompare : valueLess);
        for (int round = 0; round < rounds; ++round) {
            const uint32_t v = rng() % kValues;
            void *e = element(v, rng() % 2);
            const unsigned op = rng() % 100;
            auto found = model.find(v);
            if (op < 50) {
                auto ins = model.emplace(v, e);
                ASSERT_EQ(TQ_treeSetInsert(&set, e), ins.first->second);
            } else if (op < 65) {
                TQ_TreeSetIterator it;
                const int hit = TQ_treeSetFind(&set, &it, e);
                ASSERT_EQ(hit, found != model.end() ? 1 : 0);
                if (!hit)
                    continue;
                ASSERT_EQ(it.m_value, found->second);
                // One step either way lands on the model's neighbour.
                const bool up = rng() % 2;
                up ? TQ_treeSetNext(&it) : TQ_treeSetPrev(&it);
                auto nb = up ? std::next(found) : found;
                if (up ? nb == model.end() : nb == model.begin()) {
                    ASSERT_EQ(it.m_node, nullptr);
                } else {
                    ASSERT_EQ(it.m_value, (up ? nb : std::prev(nb))->second);
                }
            } else if (op < 85) {
                ASSERT_EQ(TQ_treeSetRemoveNoFree(&set, e), found != model.end() ? found->second : nullptr);
                if (found != model.end())
                    model.erase(found);
            } else if (op < 97) {
                walk(rng, op % 2 == 0);
            } else if (op < 99) { // merge: dst keeps its own pointers
                TQ_TreeSet other;
                TQ_treeSetInit(&other, set.m_compare);
                for (int i = 0; i < 20; ++i) {
                    const uint32_t w = rng() % kValues;
                    void *o = element(w, 1);
                    TQ_treeSetInsert(&other, o);
                    model.emplace(w, o);
                }
                const uint32_t otherSize = other.m_size;
                TQ_treeSetMerge(&set, &other);
                ASSERT_EQ(other.m_size, otherSize);
                TQ_treeSetDestroy(&other);
            } else {
                TQ_treeSetClear(&set);
                model.clear();
            }
            check();
        }
        TQ_treeSetDestroy(&set);
        model.clear();
    }
};

} // namespace

TEST(TreeSet, RandomOperationsMatchStdMap)
{
    for (uint32_t v = 0; v < kValues; ++v)
        g_pool[0][v] = g_pool[1][v] = v;
    Harness{true, {}, {}}.run(31337, 12000);
    Harness{false, {}, {}}.run(27182, 12000);
}

TEST(TreeSet, ComparatorsOrderPointersUnsignedStringsAndUuidsBytewise)
{
    EXPECT_EQ(TQ_ptrCompare(reinterpret_cast<void *>(1), reinterpret_cast<void *>(uintptr_t(1) << 63)), 1);
    EXPECT_EQ(TQ_ptrCompare(reinterpret_cast<void *>(uintptr_t(1) << 32), reinterpret_cast<void *>(2)), 0);
    char x1[] = "x", x2[] = "x";
    EXPECT_EQ(TQ_stringCompare("a", "b"), 1);
    EXPECT_EQ(TQ_stringCompare(x1, x2) | TQ_stringCompare(x2, x1), 0);
    // The first byte decides, whatever the words' values.
    TQ_Uuid lo = {{0x00000100, 0, 0}}, hi = {{0x00000001, 0, 0}};
    EXPECT_EQ(TQ_uuidCompare(&lo, &hi), 1);
    EXPECT_EQ(TQ_uuidCompare(&hi, &lo), 0);
}

TEST(TreeSet, FreeingOperationsReleaseEachElementOnce)
{
    TQ_TreeSet owned; // the sanitizer build catches a double or missed free
    TQ_treeSetInit(&owned, TQ_stringCompare);
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 50; ++i)
            TQ_treeSetInsert(&owned, strdup(std::to_string(1000 + i).c_str()));
        TQ_treeSetRemoveAndFree(&owned, "1007");
        TQ_treeSetRemoveAndFree(&owned, "nope");
        EXPECT_EQ(TQ_treeSetSize(&owned), 49u);
        TQ_treeSetClearAndFree(&owned);
    }
    TQ_treeSetDestroy(&owned);
}

TEST(TreeSet, PrintWritesOneLinePerElementAscending)
{
    TQ_TreeSet s;
    TQ_treeSetInit(&s, TQ_stringCompare);
    testing::internal::CaptureStdout();
    TQ_treePrint(&s, [](const void *) {});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "<empty set>\n");
    for (int i = 0; i < 30; ++i)
        TQ_treeSetInsert(&s, strdup(std::to_string(100 + i).c_str()));
    testing::internal::CaptureStdout();
    TQ_treePrint(&s, [](const void *e) { printf("<%s>", static_cast<const char *>(e)); });
    const std::string out = testing::internal::GetCapturedStdout();
    size_t at = 0;
    for (int i = 0; i < 30; ++i) {
        at = out.find("<" + std::to_string(100 + i) + ">", at);
        ASSERT_NE(at, std::string::npos) << out;
    }
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 30);
    TQ_treeSetClearAndFree(&s);
    TQ_treeSetDestroy(&s);
}
