/* Tessarc runtime library: error codes, logging, tasks and locks, clocks, the
 * allocator and reference-counted buffers, network helpers, random numbers,
 * containers and hash functions.
 *
 * Every function has C linkage. The C++-only pieces stand in the one
 * __cplusplus section at the end of this file.
 *
 * Each section below is owned by one source file of runtime/; keep a
 * section's declarations between its banner and the next one. */
#ifndef TESSARC_RUNTIME_H
#define TESSARC_RUNTIME_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Shared types --------------------------------------------------------- */

/* A 12-byte node identifier: three 32-bit words, compared bytewise. */
typedef struct TQ_Uuid {
    uint32_t data[3];
} TQ_Uuid;

/* ---- Error codes and messages (errors.cpp) -------------------------------- */


/* ---- Logging (logging.cpp) ------------------------------------------------ */


/* ---- Tasks, threads, locks and time (tasks.cpp) --------------------------- */


/* ---- Allocator, strings and reference-counted buffers (memory.cpp) -------- */


/* ---- Network address and socket utilities (network.cpp) ------------------ */


/* ---- Random numbers (random.cpp) ------------------------------------------ */


/* ---- Linked list (list.cpp) ----------------------------------------------- */

/* A doubly linked list of opaque element pointers. The list owns its nodes
 * (one malloc block per element) and never its elements, except in the
 * operations named ...AndFree, which pass elements to free(). The list never
 * compares elements; the same pointer may be stored any number of times.
 * Not thread-safe: callers that share a list hold their own lock around every
 * call and every walk. */

typedef struct TQ_ListNode {
    struct TQ_ListNode *m_prev; /* null for the first node */
    struct TQ_ListNode *m_next; /* null for the last node */
    void *m_value;
} TQ_ListNode;

typedef struct TQ_List {
    uint32_t m_size;
    TQ_ListNode *m_head; /* null when empty */
    TQ_ListNode *m_tail; /* null when empty */
} TQ_List;

/* Kept by the caller; owns nothing. m_value mirrors the current node's
 * element and is null when m_node is null (past either end). */
typedef struct TQ_ListIterator {
    TQ_List *m_list;
    TQ_ListNode *m_node;
    void *m_value;
} TQ_ListIterator;

/* Returns a new empty list on the heap; free it with TQ_listDelete. */
TQ_List *TQ_listCreate(void);
/* Makes `list` empty without freeing anything it held. */
void TQ_listInit(TQ_List *list);
/* Frees every node (not the elements); the list is empty and usable again. */
void TQ_listDestroy(TQ_List *list);
/* TQ_listDestroy, then frees a record made by TQ_listCreate. */
void TQ_listDelete(TQ_List *list);
/* Initialises `dst` (whatever it held is not freed) and appends every element
 * of `src`, head to tail: a shallow copy of the element pointers. */
void TQ_listCopy(TQ_List *dst, const TQ_List *src);

/* Number of elements. */
uint32_t TQ_listSize(const TQ_List *list);
/* 1 when the list holds no element, else 0. */
int TQ_listEmpty(const TQ_List *list);
/* Frees every node, head to tail; the elements are not touched. */
void TQ_listClear(TQ_List *list);
/* As TQ_listClear, but each element is passed to free() before its node. */
void TQ_listClearAndFree(TQ_List *list);

/* Add an element at the head / at the tail (one node allocated). */
void TQ_listPushFront(TQ_List *list, void *element);
void TQ_listPushBack(TQ_List *list, void *element);
/* Remove the head / tail node and return its element; null on an empty list
 * (a stored null cannot be told from an empty list). */
void *TQ_listPopFront(TQ_List *list);
void *TQ_listPopBack(TQ_List *list);

/* Sets `it` on the head (TQ_listBegin) or the tail (TQ_listReverseBegin);
 * past the end on an empty list. */
void TQ_listBegin(TQ_List *list, TQ_ListIterator *it);
void TQ_listReverseBegin(TQ_List *list, TQ_ListIterator *it);
/* Both return 1 while the iterator designates a node, else 0. */
int TQ_listHasNext(const TQ_ListIterator *it);
int TQ_listHasPrev(const TQ_ListIterator *it);
/* Step to the next / previous node, or past the end. The iterator must
 * designate a node. */
void TQ_listNext(TQ_ListIterator *it);
void TQ_listPrev(TQ_ListIterator *it);

/* Unlinks and frees `node`, which must belong to `list`; returns its element. */
void *TQ_listRemoveItem(TQ_List *list, TQ_ListNode *node);
/* Steps the iterator forward, then unlinks and frees the node it was on and
 * returns that node's element. Past the end: returns null, changes nothing. */
void *TQ_listErase(TQ_ListIterator *it);
/* As TQ_listErase, but the element is passed to free(). */
void TQ_listEraseAndFree(TQ_ListIterator *it);
/* As TQ_listErase / TQ_listEraseAndFree, stepping the iterator backward. */
void *TQ_listReverseErase(TQ_ListIterator *it);
void TQ_listReverseEraseAndFree(TQ_ListIterator *it);

/* Insert a new node before / after the iterator's node; the iterator keeps
 * designating the same node and its m_value is unchanged. Past the end,
 * TQ_listInsertBefore appends and TQ_listInsertAfter prepends. */
void TQ_listInsertBefore(TQ_ListIterator *it, void *element);
void TQ_listInsertAfter(TQ_ListIterator *it, void *element);


/* ---- Hash map (hashmap.cpp) ----------------------------------------------- */


/* ---- Hash set (hashset.cpp) ----------------------------------------------- */


/* ---- Tree set (TreeSet.cpp) ----------------------------------------------- */


/* ---- Hash functions (hashes.cpp) ------------------------------------------ */

/* Byte-string hashes over exactly `length` unsigned bytes, starting from
 * `seed`, in wrapping 32-bit arithmetic. Pure; callable from any thread. */

/* Bernstein's djb2, XOR form: h = h * 33 ^ b. Length 0 returns the seed. */
uint32_t TQ_djb2hash(uint32_t seed, const void *data, uint32_t length);
/* Jenkins' one-at-a-time loop without the final mixing. */
uint32_t TQ_oatHash(uint32_t seed, const void *data, uint32_t length);
/* Jenkins' one-at-a-time hash with the final mixing. */
uint32_t TQ_oatHashF(uint32_t seed, const void *data, uint32_t length);

#ifdef __cplusplus
} /* extern "C" */

/* ---- C++ section ---------------------------------------------------------- */


#endif /* __cplusplus */

#endif /* TESSARC_RUNTIME_H */
