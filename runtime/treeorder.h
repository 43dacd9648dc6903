// Tree set insertion with a comparator compiled in rather than called
// through the set's pointer, for the core's hot ordered tables. Private to
// libtessarc.
#ifndef TESSARC_RUNTIME_TREEORDER_H
#define TESSARC_RUNTIME_TREEORDER_H

#include <stddef.h>

#include "tessarc/runtime.h"

/* TQ_treeSetInsert for a set whose comparator orders elements by the
 * unsigned 64-bit key stored `keyOffset` bytes into each element, ties by
 * element address: the same comparisons, made inline, so the same tree.
 * The set's own comparator must order exactly so, since every other
 * operation still calls it. Locking as for TQ_treeSetInsert. */
void *TQ_treeSetInsertByKeyThenAddress(TQ_TreeSet *set, void *element, size_t keyOffset);

#endif /* TESSARC_RUNTIME_TREEORDER_H */
