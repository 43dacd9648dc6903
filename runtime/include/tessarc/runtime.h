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
