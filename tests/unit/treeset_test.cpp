// Tree set: randomized comparison against std::map (stored pointer answers)
// with the tree's shape checked after every change, through both the inline
// pointer order and a comparator called through its pointer; walks that
// erase in both directions; comparators; ownership; the printed tree.
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

    // Walks the nodes: 1 to 3 elements, used slots a prefix, leaves all at
    // one depth, parent links, and the in-order sequence equal to the model.
    void checkNode(const TQ_TreeNode *n, const TQ_TreeNode *parent, int depth, int &leafDepth, std::vector<void *> &out)
    {
        ASSERT_EQ(n->m_parent, parent);
        unsigned k = 0;
        while (k < 3 && n->m_children[k + 1] != TQ_TREE_VACANT)
            ++k;
        for (unsigned i = k + 1; i < 4; ++i)
            ASSERT_EQ(n->m_children[i], TQ_TREE_VACANT);
        ASSERT_GE(k, 1u);
        const bool leaf = n->m_children[0] == TQ_TREE_LEAF;
        if (leaf) {
            if (leafDepth < 0)
                leafDepth = depth;
            ASSERT_EQ(depth, leafDepth);
        }
        for (unsigned i = 0; i <= k; ++i) {
            if (leaf) {
                ASSERT_EQ(n->m_children[i], TQ_TREE_LEAF);
            } else {
                ASSERT_GT(reinterpret_cast<uintptr_t>(n->m_children[i]), 2u);
                checkNode(n->m_children[i], n, depth + 1, leafDepth, out);
            }
            if (i < k)
                out.push_back(n->m_keys[i]);
        }
    }

    void check()
    {
        ASSERT_EQ(set.m_size, model.size());
        ASSERT_NE(set.m_root, nullptr);
        if (model.empty())
            return;
        std::vector<void *> out;
        int leafDepth = -1;
        checkNode(set.m_root, nullptr, 0, leafDepth, out);
        ASSERT_EQ(out.size(), model.size());
        size_t i = 0;
        for (auto &e : model)
            ASSERT_EQ(out[i++], e.second);
    }

    // The iterator designates its own m_value.
    void checkIterator(const TQ_TreeSetIterator &it)
    {
        if (it.m_node) {
            ASSERT_EQ(it.m_node->m_keys[it.m_index], it.m_value);
        }
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
                check();
                checkIterator(it);
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
                if (!hit) {
                    ASSERT_EQ(it.m_node, nullptr);
                    continue;
                }
                ASSERT_EQ(it.m_value, found->second);
                checkIterator(it);
                // One step either way lands on the model's neighbour.
                const bool up = rng() % 2;
                up ? TQ_treeSetNext(&it) : TQ_treeSetPrev(&it);
                auto nb = up ? std::next(found) : found;
                if (up ? nb == model.end() : nb == model.begin()) {
                    ASSERT_EQ(it.m_node, nullptr);
                } else {
                    ASSERT_EQ(it.m_value, (up ? nb : std::prev(nb))->second);
                    checkIterator(it);
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
                TQ_TreeNode *root = set.m_root;
                const bool wasEmpty = model.empty();
                TQ_treeSetClear(&set);
                model.clear();
                if (wasEmpty) {
                    ASSERT_EQ(set.m_root, root);
                }
                TQ_treeSetClear(&set); // empty: keeps the root it has
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

TEST(TreeSet, ShapesComparatorsOwnershipAndPrint)
{
    // Four ascending inserts split into root {2}, leaves {1} and {3, 4}.
    TQ_TreeSet *s = TQ_treeSetCreate(TQ_ptrCompare);
    for (uintptr_t v = 1; v <= 4; ++v)
        TQ_treeSetInsert(s, reinterpret_cast<void *>(v));
    const TQ_TreeNode *r = s->m_root, *left = r->m_children[0], *right = r->m_children[1];
    EXPECT_TRUE(r->m_children[2] == TQ_TREE_VACANT && left->m_children[2] == TQ_TREE_VACANT);
    EXPECT_EQ(std::vector<void *>({r->m_keys[0], left->m_keys[0], right->m_keys[0], right->m_keys[1]}),
              std::vector<void *>({reinterpret_cast<void *>(2), reinterpret_cast<void *>(1),
                                   reinterpret_cast<void *>(3), reinterpret_cast<void *>(4)}));
    // Erasing the only element keeps the root (walks over an emptied set and
    // reuse after it are the randomized test's).
    TQ_treeSetClear(s);
    TQ_TreeNode *root = s->m_root;
    TQ_TreeSetIterator it;
    TQ_treeSetInsert(s, reinterpret_cast<void *>(9));
    TQ_treeSetBegin(s, &it);
    EXPECT_EQ(TQ_treeSetErase(&it), reinterpret_cast<void *>(9));
    EXPECT_EQ(s->m_root, root);
    TQ_treeSetDelete(s);

    // Pointers order as unsigned 64-bit numbers.
    EXPECT_EQ(TQ_ptrCompare(reinterpret_cast<void *>(1), reinterpret_cast<void *>(uintptr_t(1) << 63)), 1);
    EXPECT_EQ(TQ_ptrCompare(reinterpret_cast<void *>(uintptr_t(1) << 32), reinterpret_cast<void *>(2)), 0);
    char x1[] = "x", x2[] = "x";
    EXPECT_EQ(TQ_stringCompare("a", "b"), 1);
    EXPECT_EQ(TQ_stringCompare(x1, x2) | TQ_stringCompare(x2, x1), 0);
    // Bytewise: the first byte decides, whatever the words' values.
    TQ_Uuid lo = {{0x00000100, 0, 0}}, hi = {{0x00000001, 0, 0}};
    EXPECT_EQ(TQ_uuidCompare(&lo, &hi), 1);
    EXPECT_EQ(TQ_uuidCompare(&hi, &lo), 0);

    // The freeing operations release each element once (sanitizer build).
    TQ_TreeSet owned;
    TQ_treeSetInit(&owned, TQ_stringCompare);
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 50; ++i)
            TQ_treeSetInsert(&owned, strdup(std::to_string(1000 + i).c_str()));
        TQ_treeSetRemoveAndFree(&owned, "1007");
        TQ_treeSetRemoveAndFree(&owned, "nope");
        EXPECT_EQ(TQ_treeSetSize(&owned), 49u);
        TQ_treeSetClearAndFree(&owned);
    }

    // One printed line per element, ascending.
    testing::internal::CaptureStdout();
    TQ_treePrint(&owned, [](const void *) {});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "<empty set>\n");
    for (int i = 0; i < 30; ++i)
        TQ_treeSetInsert(&owned, strdup(std::to_string(100 + i).c_str()));
    testing::internal::CaptureStdout();
    TQ_treePrint(&owned, [](const void *e) { printf("<%s>", static_cast<const char *>(e)); });
    const std::string out = testing::internal::GetCapturedStdout();
    size_t at = 0;
    for (int i = 0; i < 30; ++i) {
        const size_t next = out.find("<" + std::to_string(100 + i) + ">", at);
        ASSERT_NE(next, std::string::npos) << out;
        at = next;
    }
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 30);
    TQ_treeSetClearAndFree(&owned);
    TQ_treeSetDestroy(&owned);
}
