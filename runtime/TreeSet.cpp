// Tree set: a 2-3-4 tree of opaque element pointers ordered by a comparator,
// with walks in both directions that may erase as they go.
//
// A node's element count is not stored: element slot i is in use exactly when
// child slot i+1 is not TQ_TREE_VACANT, and a node is a leaf when child slot 0
// holds TQ_TREE_LEAF.
#include <assert.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "heap.h"
#include "treeorder.h"
#include "tessarc/runtime.h"

namespace {

/* ---- Nodes ---- */

inline bool isLeaf(const TQ_TreeNode *node)
{
    return node->m_children[0] == TQ_TREE_LEAF;
}

inline bool isMark(const TQ_TreeNode *child)
{
    return child == TQ_TREE_LEAF || child == TQ_TREE_VACANT;
}

inline unsigned keyCount(const TQ_TreeNode *node)
{
    if (node->m_children[1] == TQ_TREE_VACANT)
        return 0;
    if (node->m_children[2] == TQ_TREE_VACANT)
        return 1;
    return node->m_children[3] == TQ_TREE_VACANT ? 2 : 3;
}

inline void setParent(TQ_TreeNode *child, TQ_TreeNode *parent)
{
    if (!isMark(child))
        child->m_parent = parent;
}

// A node with no parent and every child slot vacant.
TQ_TreeNode *newNode()
{
    TQ_TreeNode *node = static_cast<TQ_TreeNode *>(TQ_heapAlloc(sizeof(TQ_TreeNode)));
    node->m_parent = nullptr;
    for (TQ_TreeNode *&c : node->m_children)
        c = TQ_TREE_VACANT;
    return node;
}

void freeNodes(TQ_TreeNode *node)
{
    if (isMark(node))
        return;
    for (TQ_TreeNode *c : node->m_children)
        freeNodes(c);
    free(node);
}

// For each used slot in order: the subtree before it, then its element; then
// the last subtree; then the node itself.
void clearFreeHelper(TQ_TreeNode *node)
{
    if (isMark(node))
        return;
    const unsigned n = keyCount(node);
    for (unsigned i = 0; i < n; ++i) {
        clearFreeHelper(node->m_children[i]);
        free(node->m_keys[i]);
    }
    clearFreeHelper(node->m_children[n]);
    free(node);
}

/* ---- Ordering ---- */

// The comparator as a callable. The common pointer order is compared inline;
// any other comparator is called through its pointer. Both order alike, so
// the choice changes speed only.
struct CallLess {
    TQ_CompareFn fn;
    bool operator()(const void *a, const void *b) const { return fn(a, b) != 0; }
};

struct PtrLess {
    bool operator()(const void *a, const void *b) const
    {
        return reinterpret_cast<uintptr_t>(a) < reinterpret_cast<uintptr_t>(b);
    }
};

// Runs `body` with the fastest callable that orders as the set's comparator.
template <class Body>
inline auto withLess(const TQ_TreeSet *set, Body body)
{
    if (set->m_compare == TQ_ptrCompare)
        return body(PtrLess());
    return body(CallLess{set->m_compare});
}

// Where a search for `key` ends: the node and slot of the equal element, or
// (found false) the leaf where the key would go.
struct SearchResult {
    TQ_TreeNode *node;
    unsigned index;
    bool found;
};

// Looks at the used slots left to right: a key before element i descends into
// child i; a key equal to it is found; after every element, the last child.
template <class Less>
inline SearchResult search(TQ_TreeNode *node, const void *key, Less less)
{
    for (;;) {
        const unsigned n = keyCount(node);
        unsigned i = 0;
        for (; i < n; ++i) {
            void *element = node->m_keys[i];
            if (less(key, element))
                break;
            if (!less(element, key))
                return SearchResult{node, i, true};
        }
        TQ_TreeNode *child = node->m_children[i];
        if (child == TQ_TREE_LEAF)
            return SearchResult{node, i, false};
        node = child;
    }
}

/* ---- Insertion ---- */

// Places key into a node with one or two elements, `left` as the child
// before it and `right` as the child after it.
template <class Less>
void insertIntoNode(TQ_TreeNode *node, void *key, TQ_TreeNode *left, TQ_TreeNode *right, Less less)
{
    TQ_TreeNode **c = node->m_children;
    void **k = node->m_keys;
    if (less(key, k[0])) {
        k[2] = k[1];
        k[1] = k[0];
        c[3] = c[2];
        c[2] = c[1];
        k[0] = key;
        c[0] = left;
        c[1] = right;
    } else if (c[2] != TQ_TREE_VACANT && less(key, k[1])) {
        k[2] = k[1];
        c[3] = c[2];
        k[1] = key;
        c[1] = left;
        c[2] = right;
    } else {
        const unsigned n = keyCount(node);
        k[n] = key;
        c[n] = left;
        c[n + 1] = right;
    }
    setParent(left, node);
    setParent(right, node);
}

// Places key into `node`, first splitting it when full: the middle element
// moves up into the parent (splitting that in turn), the upper element goes
// to a new right sibling.
template <class Less>
void insertAndSplit(TQ_TreeSet *set, TQ_TreeNode *node, void *key, TQ_TreeNode *left, TQ_TreeNode *right, Less less)
{
    if (node->m_children[3] == TQ_TREE_VACANT) {
        insertIntoNode(node, key, left, right, less);
        return;
    }
    TQ_TreeNode *sibling = static_cast<TQ_TreeNode *>(TQ_heapAlloc(sizeof(TQ_TreeNode)));
    void *middle = node->m_keys[1];
    if (node->m_parent) {
        insertAndSplit(set, node->m_parent, middle, node, sibling, less);
    } else {
        TQ_TreeNode *root = newNode();
        root->m_keys[0] = middle;
        root->m_children[0] = node;
        root->m_children[1] = sibling;
        node->m_parent = root;
        sibling->m_parent = root;
        set->m_root = root; // the only place the tree grows in height
    }
    sibling->m_keys[0] = node->m_keys[2];
    sibling->m_children[0] = node->m_children[2];
    sibling->m_children[1] = node->m_children[3];
    sibling->m_children[2] = TQ_TREE_VACANT;
    sibling->m_children[3] = TQ_TREE_VACANT;
    setParent(sibling->m_children[0], sibling);
    setParent(sibling->m_children[1], sibling);
    node->m_children[2] = TQ_TREE_VACANT;
    node->m_children[3] = TQ_TREE_VACANT;
    insertIntoNode(less(key, middle) ? node : sibling, key, left, right, less);
}

/* ---- Stepping ---- */

inline void designate(TQ_TreeSetIterator *it, TQ_TreeNode *node, unsigned index)
{
    it->m_node = node;
    it->m_index = index;
    it->m_value = node->m_keys[index];
}

inline void pastEnd(TQ_TreeSetIterator *it)
{
    it->m_node = nullptr;
    it->m_value = nullptr;
}

inline TQ_TreeNode *leftmostLeaf(TQ_TreeNode *node)
{
    while (!isLeaf(node))
        node = node->m_children[0];
    return node;
}

inline TQ_TreeNode *rightmostLeaf(TQ_TreeNode *node)
{
    while (!isLeaf(node))
        node = node->m_children[keyCount(node)];
    return node;
}

void stepForward(TQ_TreeSetIterator *it)
{
    TQ_TreeNode *node = it->m_node;
    if (!isLeaf(node)) {
        designate(it, leftmostLeaf(node->m_children[it->m_index + 1]), 0);
        return;
    }
    const unsigned next = it->m_index + 1;
    if (next < 3 && node->m_children[next + 1] != TQ_TREE_VACANT) {
        designate(it, node, next);
        return;
    }
    // Climb until the node is not its parent's last child; the parent's
    // element after it comes next.
    for (;;) {
        TQ_TreeNode *parent = node->m_parent;
        if (!parent) {
            pastEnd(it);
            return;
        }
        const unsigned n = keyCount(parent);
        for (unsigned i = 0; i < n; ++i) {
            if (parent->m_children[i] == node) {
                designate(it, parent, i);
                return;
            }
        }
        node = parent;
    }
}

void stepBack(TQ_TreeSetIterator *it)
{
    TQ_TreeNode *node = it->m_node;
    if (!isLeaf(node)) {
        TQ_TreeNode *leaf = rightmostLeaf(node->m_children[it->m_index]);
        designate(it, leaf, keyCount(leaf) - 1);
        return;
    }
    if (it->m_index > 0) {
        designate(it, node, it->m_index - 1);
        return;
    }
    // Climb until the node is not its parent's first child; the parent's
    // element before it comes next.
    for (;;) {
        TQ_TreeNode *parent = node->m_parent;
        if (!parent) {
            pastEnd(it);
            return;
        }
        for (unsigned i = 1; i < 4; ++i) {
            if (parent->m_children[i] == node) {
                designate(it, parent, i - 1);
                return;
            }
        }
        node = parent;
    }
}

/* ---- Removal ---- */

inline bool designates(const TQ_TreeSetIterator *it, const TQ_TreeNode *node, unsigned index)
{
    return it->m_node == node && it->m_index == index;
}

void removeFromNode(TQ_TreeSetIterator *p_it, TQ_TreeNode *p_node, unsigned p_index);

// Refills `node`, which has lost its last element and keeps only child 0:
// borrow from a sibling with elements to spare, or merge with one and take
// the separator out of the parent (which may underflow in turn). The
// iterator follows the element it designates.
void fixUnderflow(TQ_TreeSetIterator *p_it, TQ_TreeNode *p_node)
{
    TQ_TreeNode *node = p_node;
    TQ_TreeNode *parent = node->m_parent;
    if (!parent) {
        TQ_TreeNode *child = node->m_children[0];
        if (child != TQ_TREE_LEAF) {
            assert(p_it->m_node != p_node);
            child->m_parent = nullptr;
            p_it->m_set->m_root = child;
            free(node);
        }
        return; // a leaf root: the set is now empty and keeps this root
    }

    unsigned i = 0;
    while (parent->m_children[i] != node)
        ++i;
    TQ_TreeNode *left = i > 0 ? parent->m_children[i - 1] : nullptr;
    TQ_TreeNode *right = i < 3 && parent->m_children[i + 1] != TQ_TREE_VACANT ? parent->m_children[i + 1] : nullptr;

    if (left && left->m_children[2] != TQ_TREE_VACANT) {
        const unsigned iL = i - 1;
        const unsigned j = left->m_children[3] != TQ_TREE_VACANT ? 2 : 1;
        node->m_keys[0] = parent->m_keys[iL];
        parent->m_keys[iL] = left->m_keys[j];
        node->m_children[1] = node->m_children[0];
        node->m_children[0] = left->m_children[j + 1];
        setParent(node->m_children[0], node);
        left->m_children[j + 1] = TQ_TREE_VACANT;
        if (designates(p_it, parent, iL))
            p_it->m_node = node, p_it->m_index = 0;
        else if (designates(p_it, left, j))
            p_it->m_node = parent, p_it->m_index = iL;
        return;
    }

    if (right && right->m_children[2] != TQ_TREE_VACANT) {
        const unsigned iR = i;
        node->m_keys[0] = parent->m_keys[iR];
        parent->m_keys[iR] = right->m_keys[0];
        node->m_children[1] = right->m_children[0];
        setParent(node->m_children[1], node);
        right->m_keys[0] = right->m_keys[1];
        right->m_keys[1] = right->m_keys[2];
        right->m_children[0] = right->m_children[1];
        right->m_children[1] = right->m_children[2];
        right->m_children[2] = right->m_children[3];
        right->m_children[3] = TQ_TREE_VACANT;
        if (designates(p_it, parent, iR))
            p_it->m_node = node, p_it->m_index = 0;
        else if (designates(p_it, right, 0))
            p_it->m_node = parent, p_it->m_index = iR;
        else if (p_it->m_node == right)
            --p_it->m_index; // the sibling's elements moved down one slot
        return;
    }

    if (left) { // merge into the left sibling, which holds one element
        const unsigned iL = i - 1;
        left->m_keys[1] = parent->m_keys[iL];
        left->m_children[2] = node->m_children[0];
        setParent(left->m_children[2], left);
        if (designates(p_it, parent, iL))
            p_it->m_node = left, p_it->m_index = 1;
        free(node);
        removeFromNode(p_it, parent, iL);
        return;
    }

    // No left sibling: merge the right one, which holds one element, in.
    const unsigned iR = i;
    node->m_keys[0] = parent->m_keys[iR];
    node->m_keys[1] = right->m_keys[0];
    node->m_children[1] = right->m_children[0];
    node->m_children[2] = right->m_children[1];
    setParent(node->m_children[1], node);
    setParent(node->m_children[2], node);
    if (designates(p_it, parent, iR))
        p_it->m_node = node, p_it->m_index = 0;
    else if (designates(p_it, right, 0))
        p_it->m_node = node, p_it->m_index = 1;
    free(right);
    removeFromNode(p_it, parent, iR);
}

// Deletes element slot p_index and child slot p_index+1 of p_node.
void removeFromNode(TQ_TreeSetIterator *p_it, TQ_TreeNode *p_node, unsigned p_index)
{
    assert(!(p_it->m_node == p_node && p_it->m_index == p_index));
    if (p_it->m_node == p_node && p_it->m_index > p_index)
        --p_it->m_index;
    void **k = p_node->m_keys;
    TQ_TreeNode **c = p_node->m_children;
    if (p_index == 0) {
        k[0] = k[1];
        c[1] = c[2];
    }
    if (p_index < 2) {
        k[1] = k[2];
        c[2] = c[3];
    }
    c[3] = TQ_TREE_VACANT;
    if (c[1] == TQ_TREE_VACANT)
        fixUnderflow(p_it, p_node);
}

// Removes element `index` of `node`; an inner element is replaced by its
// in-order successor, which is then removed from its leaf.
void removeAt(TQ_TreeSetIterator *it, TQ_TreeNode *node, unsigned index)
{
    if (isLeaf(node)) {
        removeFromNode(it, node, index);
        return;
    }
    TQ_TreeNode *successor = leftmostLeaf(node->m_children[index + 1]);
    node->m_keys[index] = successor->m_keys[0];
    if (designates(it, successor, 0))
        it->m_node = node, it->m_index = index;
    removeFromNode(it, successor, 0);
}

// Erase through `it`, which `step` first moves off the element.
void *eraseWith(TQ_TreeSetIterator *it, void (*step)(TQ_TreeSetIterator *))
{
    TQ_TreeNode *node = it->m_node;
    const unsigned index = it->m_index;
    void *element = it->m_value;
    step(it);
    removeAt(it, node, index);
    --it->m_set->m_size;
    return element;
}

/* ---- Printing ---- */

void treePrintHelper(const TQ_TreeNode *node, std::string &prefix, bool first, bool last, TQ_PrintFn print)
{
    if (node == TQ_TREE_LEAF)
        return;
    const size_t len = prefix.size();
    std::string child = prefix + " | ";
    prefix[len - 1] = '-';
    const unsigned n = keyCount(node);
    for (unsigned i = 0; i < n; ++i) {
        if (i == 0 && first)
            child[len - 2] = ' ';
        treePrintHelper(node->m_children[i], child, i == 0, false, print);
        child[len - 2] = '|';
        printf("%s", prefix.c_str());
        print(node->m_keys[i]);
        printf(" (%p) -> (%p)\n", static_cast<const void *>(node), static_cast<const void *>(node->m_parent));
    }
    if (last)
        child[len - 2] = ' ';
    treePrintHelper(node->m_children[n], child, false, true, print);
    prefix[len - 1] = ' ';
}

} // namespace

/* ---- Comparators ---- */

extern "C" int TQ_ptrCompare(const void *a, const void *b)
{
    return reinterpret_cast<uintptr_t>(a) < reinterpret_cast<uintptr_t>(b) ? 1 : 0;
}

extern "C" int TQ_stringCompare(const void *a, const void *b)
{
    return strcmp(static_cast<const char *>(a), static_cast<const char *>(b)) < 0 ? 1 : 0;
}

extern "C" int TQ_uuidCompare(const void *a, const void *b)
{
    return memcmp(a, b, sizeof(TQ_Uuid)) < 0 ? 1 : 0;
}

/* ---- Lifetime and bulk operations ---- */

extern "C" TQ_TreeSet *TQ_treeSetCreate(TQ_CompareFn compare)
{
    TQ_TreeSet *set = static_cast<TQ_TreeSet *>(TQ_heapAlloc(sizeof(TQ_TreeSet)));
    TQ_treeSetInit(set, compare);
    return set;
}

extern "C" void TQ_treeSetInit(TQ_TreeSet *set, TQ_CompareFn compare)
{
    set->m_root = newNode();
    set->m_size = 0;
    set->m_compare = compare;
}

extern "C" void TQ_treeSetDestroy(TQ_TreeSet *set)
{
    freeNodes(set->m_root);
    set->m_root = nullptr;
}

extern "C" void TQ_treeSetDelete(TQ_TreeSet *set)
{
    TQ_treeSetDestroy(set);
    free(set);
}

extern "C" uint32_t TQ_treeSetSize(const TQ_TreeSet *set)
{
    return set->m_size;
}

extern "C" int TQ_treeSetEmpty(const TQ_TreeSet *set)
{
    return set->m_size == 0 ? 1 : 0;
}

extern "C" void TQ_treeSetClear(TQ_TreeSet *set)
{
    if (set->m_size == 0)
        return;
    freeNodes(set->m_root);
    set->m_root = newNode();
    set->m_size = 0;
}

extern "C" void TQ_treeSetClearAndFree(TQ_TreeSet *set)
{
    if (set->m_size == 0)
        return;
    clearFreeHelper(set->m_root);
    set->m_root = newNode();
    set->m_size = 0;
}

extern "C" void TQ_treeSetMerge(TQ_TreeSet *dst, TQ_TreeSet *src)
{
    TQ_TreeSetIterator it;
    for (TQ_treeSetBegin(src, &it); it.m_node; TQ_treeSetNext(&it))
        TQ_treeSetInsert(dst, it.m_value);
}

/* ---- Elements ---- */

namespace {

// Stores `element` unless an equal one is there (that one is returned).
template <class Less>
void *insertWith(TQ_TreeSet *set, void *element, Less less)
{
    TQ_TreeNode *root = set->m_root;
    if (set->m_size == 0) {
        root->m_keys[0] = element;
        root->m_children[0] = TQ_TREE_LEAF;
        root->m_children[1] = TQ_TREE_LEAF;
        root->m_children[2] = TQ_TREE_VACANT;
        root->m_children[3] = TQ_TREE_VACANT;
        set->m_size = 1;
        return element;
    }
    // Keys that grow with time arrive at or near the end of the order. An
    // element after the largest one would be carried by the search down the
    // rightmost path to the rightmost leaf: it goes there directly, after one
    // comparison. Otherwise the search starts at the deepest node of that
    // path whose parent's last element orders before the element: from the
    // root the search would have come down the same path to it, every
    // element above ordering before the element, so the outcome and the
    // tree are the same, and only the elements near the end are compared.
    TQ_TreeNode *last = rightmostLeaf(root);
    if (less(last->m_keys[keyCount(last) - 1], element)) {
        insertAndSplit(set, last, element, TQ_TREE_LEAF, TQ_TREE_LEAF, less);
        ++set->m_size;
        return element;
    }
    TQ_TreeNode *from = last;
    while (from->m_parent && !less(from->m_parent->m_keys[keyCount(from->m_parent) - 1], element))
        from = from->m_parent;
    const SearchResult at = search(from, element, less);
    if (at.found)
        return at.node->m_keys[at.index];
    insertAndSplit(set, at.node, element, TQ_TREE_LEAF, TQ_TREE_LEAF, less);
    ++set->m_size;
    return element;
}

// Orders elements by the unsigned 64-bit key stored `offset` bytes into
// each, ties by element address.
struct KeyThenAddressLess {
    size_t offset;
    uint64_t key(const void *element) const
    {
        uint64_t k;
        memcpy(&k, static_cast<const char *>(element) + offset, sizeof k);
        return k;
    }
    bool operator()(const void *a, const void *b) const
    {
        const uint64_t x = key(a), y = key(b);
        if (x != y)
            return x < y;
        return reinterpret_cast<uintptr_t>(a) < reinterpret_cast<uintptr_t>(b);
    }
};

} // namespace

extern "C" void *TQ_treeSetInsert(TQ_TreeSet *set, void *element)
{
    return withLess(set, [&](auto less) { return insertWith(set, element, less); });
}

void *TQ_treeSetInsertByKeyThenAddress(TQ_TreeSet *set, void *element, size_t keyOffset)
{
    return insertWith(set, element, KeyThenAddressLess{keyOffset});
}

extern "C" int TQ_treeSetFind(TQ_TreeSet *set, TQ_TreeSetIterator *it, const void *key)
{
    it->m_set = set;
    it->m_node = nullptr;
    if (set->m_size == 0)
        return 0;
    const SearchResult at = withLess(set, [&](auto less) { return search(set->m_root, key, less); });
    if (!at.found)
        return 0;
    designate(it, at.node, at.index);
    return 1;
}

extern "C" void *TQ_treeSetRemoveNoFree(TQ_TreeSet *set, const void *key)
{
    TQ_TreeSetIterator it;
    if (!TQ_treeSetFind(set, &it, key))
        return nullptr;
    return TQ_treeSetErase(&it);
}

extern "C" void TQ_treeSetRemoveAndFree(TQ_TreeSet *set, const void *key)
{
    TQ_TreeSetIterator it;
    if (!TQ_treeSetFind(set, &it, key))
        return;
    free(it.m_value);
    TQ_treeSetErase(&it); // moves nodes only; the freed element is not read
}

/* ---- Iteration ---- */

extern "C" void TQ_treeSetBegin(TQ_TreeSet *set, TQ_TreeSetIterator *it)
{
    it->m_set = set;
    it->m_index = 0;
    if (set->m_size == 0)
        pastEnd(it);
    else
        designate(it, leftmostLeaf(set->m_root), 0);
}

extern "C" void TQ_treeSetReverseBegin(TQ_TreeSet *set, TQ_TreeSetIterator *it)
{
    it->m_set = set;
    it->m_index = 0;
    if (set->m_size == 0) {
        pastEnd(it);
        return;
    }
    TQ_TreeNode *leaf = rightmostLeaf(set->m_root);
    designate(it, leaf, keyCount(leaf) - 1);
}

extern "C" int TQ_treeSetHasNext(const TQ_TreeSetIterator *it)
{
    return it->m_node != nullptr ? 1 : 0;
}

extern "C" int TQ_treeSetHasPrev(const TQ_TreeSetIterator *it)
{
    return it->m_node != nullptr ? 1 : 0;
}

extern "C" void TQ_treeSetNext(TQ_TreeSetIterator *it)
{
    stepForward(it);
}

extern "C" void TQ_treeSetPrev(TQ_TreeSetIterator *it)
{
    stepBack(it);
}

extern "C" void *TQ_treeSetErase(TQ_TreeSetIterator *it)
{
    return eraseWith(it, stepForward);
}

extern "C" void *TQ_treeSetReverseErase(TQ_TreeSetIterator *it)
{
    return eraseWith(it, stepBack);
}

/* ---- Diagnostics ---- */

extern "C" void TQ_treePrint(const TQ_TreeSet *set, TQ_PrintFn print)
{
    if (set->m_size == 0) {
        puts("<empty set>");
        return;
    }
    std::string prefix = "| ";
    treePrintHelper(set->m_root, prefix, true, true, print);
}
