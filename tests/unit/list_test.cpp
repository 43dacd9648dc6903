// Linked list: randomized comparison against std::list (ends, walks that erase and insert in both directions) and the
// boundaries of the ends.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>

#include <list>
#include <random>

#include "tessarc/runtime.h"

namespace {

void *P(uintptr_t v)
{
    return reinterpret_cast<void *>(v);
}

// Links in both directions, ends and count agree with the model.
void expectSame(const TQ_List &l, const std::list<uintptr_t> &model)
{
    std::list<uintptr_t> forward, backward;
    for (const TQ_ListNode *n = l.m_head; n && forward.size() <= model.size(); n = n->m_next)
        forward.push_back(reinterpret_cast<uintptr_t>(n->m_value));
    for (const TQ_ListNode *n = l.m_tail; n && backward.size() <= model.size(); n = n->m_prev)
        backward.push_front(reinterpret_cast<uintptr_t>(n->m_value));
    ASSERT_TRUE(l.m_size == model.size() && forward == model && backward == model);
}

} // namespace

TEST(List, RandomOperationsMatchStdList)
{
    std::mt19937 rng(20261205);
    TQ_List l;
    TQ_listInit(&l);
    std::list<uintptr_t> model;
    uintptr_t next = 1;

    for (int round = 0; round < 20000; ++round) {
        const unsigned op = rng() % 6;
        const bool front = op % 2 == 0;
        switch (op) {
        case 0: // push at either end
        case 1:
            front ? TQ_listPushFront(&l, P(next)) : TQ_listPushBack(&l, P(next));
            front ? model.push_front(next++) : model.push_back(next++);
            break;
        case 2: // pop at either end
        case 3: {
            void *v = front ? TQ_listPopFront(&l) : TQ_listPopBack(&l);
            ASSERT_EQ(v, model.empty() ? nullptr : P(front ? model.front() : model.back()));
            if (!model.empty())
                front ? model.pop_front() : model.pop_back();
            break;
        }
        case 4: { // forward walk: keep, erase, insert before or after
            TQ_ListIterator it;
            TQ_listBegin(&l, &it);
            auto m = model.begin();
            while (TQ_listHasNext(&it)) {
                ASSERT_NE(m, model.end());
                ASSERT_EQ(it.m_value, P(*m));
                unsigned r = rng() % 8;
                if (r == 0) {
                    ASSERT_EQ(TQ_listErase(&it), P(*m));
                    m = model.erase(m);
                    continue;
                }
                if (r == 1) {
                    TQ_listInsertBefore(&it, P(next));
                    model.insert(m, next++);
                } else if (r == 2) {
                    TQ_listInsertAfter(&it, P(next));
                    model.insert(std::next(m), next++);
                    ++m; // the walk visits the inserted element next
                    TQ_listNext(&it);
                    ASSERT_EQ(it.m_value, P(next - 1));
                }
                ASSERT_EQ(it.m_value, P(*m)); // insertion leaves m_value alone
                TQ_listNext(&it);
                ++m;
            }
            ASSERT_EQ(m, model.end());
            ASSERT_EQ(it.m_value, nullptr);
            ASSERT_EQ(TQ_listErase(&it), nullptr); // harmless past the end
            if (rng() % 2) {                       // past the end: before appends, after prepends
                TQ_listInsertBefore(&it, P(next));
                model.push_back(next++);
                TQ_listInsertAfter(&it, P(next));
                model.push_front(next++);
            }
            break;
        }
        case 5: { // backward walk with reverse erase
            TQ_ListIterator it;
            TQ_listReverseBegin(&l, &it);
            auto m = model.rbegin();
            while (TQ_listHasPrev(&it)) {
                ASSERT_EQ(it.m_value, P(*m));
                if (rng() % 4 == 0) {
                    ASSERT_EQ(TQ_listReverseErase(&it), P(*m));
                    m = std::make_reverse_iterator(model.erase(std::next(m).base()));
                } else {
                    TQ_listPrev(&it);
                    ++m;
                }
            }
            ASSERT_EQ(m, model.rend());
            ASSERT_EQ(TQ_listReverseErase(&it), nullptr);
            break;
        }
        }
        expectSame(l, model);
        ASSERT_EQ(TQ_listEmpty(&l), model.empty() ? 1 : 0);
    }
    TQ_listDestroy(&l);
}

TEST(List, FreeingOperationsReleaseEachElementOnce)
{
    TQ_List owned; // the sanitizer build catches a double or missed free
    TQ_ListIterator it;
    TQ_listInit(&owned);
    for (int i = 0; i < 6; ++i)
        TQ_listPushBack(&owned, malloc(8));
    TQ_listBegin(&owned, &it);
    TQ_listEraseAndFree(&it);
    TQ_listReverseBegin(&owned, &it);
    TQ_listReverseEraseAndFree(&it);
    TQ_listEraseAndFree(&it); // iterator moved to the new tail
    EXPECT_EQ(TQ_listSize(&owned), 3u);
    free(TQ_listRemoveItem(&owned, owned.m_head->m_next));
    TQ_listClearAndFree(&owned);
    EXPECT_EQ(TQ_listSize(&owned), 0u);
}
