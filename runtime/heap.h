// Heap memory for the runtime's own records outside the allocator: container
// headers, nodes and bucket arrays. Private to libtessarc.
#ifndef TESSARC_RUNTIME_HEAP_H
#define TESSARC_RUNTIME_HEAP_H

#include <stddef.h>

/* `size` bytes from the heap, contents undefined, freed with free(). The
 * containers have no way to hand a failure back to their callers, so a
 * request that cannot be met writes one fatal line to the root logger and
 * ends the process with exit code 1 through TQ_exitProcess; it never returns
 * null. Requests are counted by the allocator's failure seam
 * (TQ_allocFailAfter) like the allocator's own. Any thread. */
void *TQ_heapAlloc(size_t size);

#endif /* TESSARC_RUNTIME_HEAP_H */
