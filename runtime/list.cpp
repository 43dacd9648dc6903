// Doubly linked list of opaque element pointers: pushes and pops at both
// ends, walks in both directions, erasure and insertion at an iterator.
#include <stdlib.h>

#include "heap.h"
#include "tessarc/runtime.h"

namespace {

TQ_ListNode *newNode(TQ_ListNode *prev, TQ_ListNode *next, void *element)
{
    TQ_ListNode *node = static_cast<TQ_ListNode *>(TQ_heapAlloc(sizeof(TQ_ListNode)));
    node->m_prev = prev;
    node->m_next = next;
    node->m_value = element;
    return node;
}

// Every removal ends here: relink the neighbours (or the list's ends), free
// the node and hand back its element.
inline void *unlinkNode(TQ_List *list, TQ_ListNode *node)
{
    TQ_ListNode *prev = node->m_prev;
    TQ_ListNode *next = node->m_next;
    if (prev)
        prev->m_next = next;
    else
        list->m_head = next;
    if (next)
        next->m_prev = prev;
    else
        list->m_tail = prev;
    --list->m_size;
    void *element = node->m_value;
    free(node);
    return element;
}

inline void setCurrent(TQ_ListIterator *it, TQ_ListNode *node)
{
    it->m_node = node;
    it->m_value = node ? node->m_value : nullptr;
}

// Steps the iterator to the neighbour named by `step` (m_next or m_prev),
// then unlinks the node it was on. Past the end: null, nothing changes.
inline void *eraseStepping(TQ_ListIterator *it, TQ_ListNode *TQ_ListNode::*step)
{
    TQ_ListNode *node = it->m_node;
    if (!node)
        return nullptr;
    setCurrent(it, node->*step);
    return unlinkNode(it->m_list, node);
}

void clearNodes(TQ_List *list, bool freeElements)
{
    TQ_ListNode *node = list->m_head;
    while (node) {
        TQ_ListNode *next = node->m_next;
        if (freeElements)
            free(node->m_value);
        free(node);
        node = next;
    }
    list->m_head = nullptr;
    list->m_tail = nullptr;
    list->m_size = 0;
}

} // namespace

/* ---- Lifetime ---- */

extern "C" TQ_List *TQ_listCreate(void)
{
    TQ_List *list = static_cast<TQ_List *>(TQ_heapAlloc(sizeof(TQ_List)));
    TQ_listInit(list);
    return list;
}

extern "C" void TQ_listInit(TQ_List *list)
{
    list->m_size = 0;
    list->m_head = nullptr;
    list->m_tail = nullptr;
}

extern "C" void TQ_listDestroy(TQ_List *list)
{
    clearNodes(list, false);
}

extern "C" void TQ_listDelete(TQ_List *list)
{
    TQ_listDestroy(list);
    free(list);
}

extern "C" void TQ_listCopy(TQ_List *dst, const TQ_List *src)
{
    TQ_listInit(dst);
    for (const TQ_ListNode *node = src->m_head; node; node = node->m_next)
        TQ_listPushBack(dst, node->m_value);
}

/* ---- Size and bulk removal ---- */

extern "C" uint32_t TQ_listSize(const TQ_List *list)
{
    return list->m_size;
}

extern "C" int TQ_listEmpty(const TQ_List *list)
{
    return list->m_size == 0 ? 1 : 0;
}

extern "C" void TQ_listClear(TQ_List *list)
{
    clearNodes(list, false);
}

extern "C" void TQ_listClearAndFree(TQ_List *list)
{
    clearNodes(list, true);
}

/* ---- Ends ---- */

extern "C" void TQ_listPushFront(TQ_List *list, void *element)
{
    TQ_ListNode *node = newNode(nullptr, list->m_head, element);
    if (list->m_head)
        list->m_head->m_prev = node;
    else
        list->m_tail = node;
    list->m_head = node;
    ++list->m_size;
}

extern "C" void TQ_listPushBack(TQ_List *list, void *element)
{
    TQ_ListNode *node = newNode(list->m_tail, nullptr, element);
    if (list->m_tail)
        list->m_tail->m_next = node;
    else
        list->m_head = node;
    list->m_tail = node;
    ++list->m_size;
}

extern "C" void *TQ_listPopFront(TQ_List *list)
{
    return list->m_head ? unlinkNode(list, list->m_head) : nullptr;
}

extern "C" void *TQ_listPopBack(TQ_List *list)
{
    return list->m_tail ? unlinkNode(list, list->m_tail) : nullptr;
}

/* ---- Iteration ---- */

extern "C" void TQ_listBegin(TQ_List *list, TQ_ListIterator *it)
{
    it->m_list = list;
    setCurrent(it, list->m_head);
}

extern "C" void TQ_listReverseBegin(TQ_List *list, TQ_ListIterator *it)
{
    it->m_list = list;
    setCurrent(it, list->m_tail);
}

extern "C" int TQ_listHasNext(const TQ_ListIterator *it)
{
    return it->m_node != nullptr ? 1 : 0;
}

extern "C" int TQ_listHasPrev(const TQ_ListIterator *it)
{
    return it->m_node != nullptr ? 1 : 0;
}

extern "C" void TQ_listNext(TQ_ListIterator *it)
{
    setCurrent(it, it->m_node->m_next);
}

extern "C" void TQ_listPrev(TQ_ListIterator *it)
{
    setCurrent(it, it->m_node->m_prev);
}

/* ---- Removal ---- */

extern "C" void *TQ_listRemoveItem(TQ_List *list, TQ_ListNode *node)
{
    return unlinkNode(list, node);
}

extern "C" void *TQ_listErase(TQ_ListIterator *it)
{
    return eraseStepping(it, &TQ_ListNode::m_next);
}

extern "C" void TQ_listEraseAndFree(TQ_ListIterator *it)
{
    free(eraseStepping(it, &TQ_ListNode::m_next));
}

extern "C" void *TQ_listReverseErase(TQ_ListIterator *it)
{
    return eraseStepping(it, &TQ_ListNode::m_prev);
}

extern "C" void TQ_listReverseEraseAndFree(TQ_ListIterator *it)
{
    free(eraseStepping(it, &TQ_ListNode::m_prev));
}

/* ---- Insertion at an iterator ---- */

extern "C" void TQ_listInsertBefore(TQ_ListIterator *it, void *element)
{
    TQ_ListNode *at = it->m_node;
    if (!at) {
        TQ_listPushBack(it->m_list, element);
        return;
    }
    TQ_List *list = it->m_list;
    TQ_ListNode *node = newNode(at->m_prev, at, element);
    if (at->m_prev)
        at->m_prev->m_next = node;
    else
        list->m_head = node;
    at->m_prev = node;
    ++list->m_size;
}

extern "C" void TQ_listInsertAfter(TQ_ListIterator *it, void *element)
{
    TQ_ListNode *at = it->m_node;
    if (!at) {
        TQ_listPushFront(it->m_list, element);
        return;
    }
    TQ_List *list = it->m_list;
    TQ_ListNode *node = newNode(at, at->m_next, element);
    if (at->m_next)
        at->m_next->m_prev = node;
    else
        list->m_tail = node;
    at->m_next = node;
    ++list->m_size;
}
