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

/* Marks what libtessarc.so exports: the library is built with every other
 * symbol hidden, so only declarations of the public headers that carry this
 * mark can be bound by modules and programs. Module entry points use it too. */
#if defined(__GNUC__)
#define TQ_API __attribute__((visibility("default")))
#else
#define TQ_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Shared types --------------------------------------------------------- */

/* A 12-byte node identifier: three 32-bit words, compared bytewise. */
typedef struct TQ_Uuid {
    uint32_t data[3];
} TQ_Uuid;

/* ---- Error codes and messages (errors.cpp) -------------------------------- */

/* An error code is 32 bits: facility (bits 31-24) : code within the facility
 * (bits 23-16, 0 for the facility itself) : operating-system error number
 * (bits 15-0, an errno value, 0 if none). The upper 16 bits name the error;
 * the lower 16 only qualify it. 0 means no error. */
#define TQ_ERR_OK                    0x00000000u
#define TQ_ERR_UNSUPPORTED           0x00010000u
#define TQ_ERR_INVALID_HANDLE        0x00020000u
#define TQ_ERR_TIMEOUT               0x00030000u
#define TQ_ERR_NOT_PERMITTED         0x00040000u
#define TQ_ERR_WOULD_BLOCK           0x00050000u
#define TQ_ERR_OUT_OF_MEMORY         0x00060000u
#define TQ_ERR_SYSTEM                0x01000000u
#define TQ_ERR_SOCKETS               0x10000000u
#define TQ_ERR_SOCKETS_NOT_CONNECTED 0x10010000u
#define TQ_ERR_SOCKETS_WRITE         0x10020000u
#define TQ_ERR_SOCKETS_BIND          0x10030000u
#define TQ_ERR_THREADS               0x11000000u
#define TQ_ERR_TIME                  0x12000000u

/* Stores `code` in the calling thread's last-error slot. Returns non-zero on
 * success (always, on this platform). Any thread. */
TQ_API int TQ_setLastError(uint32_t code);
/* Stores `code` with its lower 16 bits replaced by the lower 16 bits of
 * `osError` in the calling thread's slot. Any thread. */
TQ_API void TQ_setLastErrorSys(uint32_t code, uint32_t osError);
/* The calling thread's last error; 0 if it never set one. Any thread. */
TQ_API uint32_t TQ_getLastError(void);
/* Writes the message for `code` into `buf` (`size` bytes, owned by the
 * caller): the error's name, and for a non-zero OS number
 * "<name> - OS error <n>: " followed by the system's text for <n> when the
 * prefix fits. Cut to fit and terminated as snprintf does (nothing is written
 * when `size` is 0). Returns `buf`. Any thread. */
TQ_API char *TQ_errorToString(uint32_t code, char *buf, size_t size);
/* Writes the system's text for the errno value `osError` into `buf` (`size`
 * bytes), cut to fit and terminated. Returns the number of characters
 * written; 0, with `buf` emptied (if `size` > 0), when the system has no text
 * for the number. Any thread. */
TQ_API int TQ_systemErrorToString(int osError, char *buf, size_t size);

/* ---- Logging (logging.cpp) ------------------------------------------------ */

/* Message levels. 0 is always written; a threshold of 0 turns everything
 * else off. A logger's threshold of TQ_LOG_INHERIT takes the parent's. */
#define TQ_LOG_PRINT   0
#define TQ_LOG_FATAL   1
#define TQ_LOG_ERROR   2
#define TQ_LOG_WARN    3
#define TQ_LOG_INFO    4
#define TQ_LOG_DEBUG   5
#define TQ_LOG_TRACE   6
#define TQ_LOG_INHERIT (-2)

/* An output function: (token, message level, format, argument list). It may
 * consume `args`; the logger hands each slot its own copy. The result is
 * not read. */
typedef int (*TQ_LogOutputFn)(void *token, int level, const char *format, va_list args);

/* One logger. The fields parent, prefix, level, outputs and token may be
 * read by logging threads while they are changed; the library reads and
 * writes them with atomic accesses, so code outside the library should use
 * the setters below rather than write them directly. */
typedef struct TQ_Logger {
    struct TQ_Logger *parent;  /* null for the root */
    const char *name;          /* registry name; not copied, owner keeps it alive */
    const char *prefix;        /* null: the nearest ancestor's; "?..." asks for a
                                  time-stamped header; not copied */
    int32_t level;             /* threshold; TQ_LOG_INHERIT takes the parent's */
    TQ_LogOutputFn outputs[5]; /* null slots are skipped; slot 0 holding
                                  TQ_LOG_INHERIT_OUTPUT_func takes the ancestor's
                                  outputs and token */
    void *token;               /* first argument of every output call */
    int32_t isStatic;          /* 1: never freed by the registry */
    int32_t refCount;          /* outstanding opens and registrations */
} TQ_Logger;

/* The root logger "Tessarc" (prefix "Tessarc: ", threshold 4, standard
 * output) and the server logger "Server", its child (prefix "?TQ Server: ",
 * threshold 4, standard output). Both are static and exist from program
 * start. */
extern TQ_API TQ_Logger g_TQ_LOG;
extern TQ_API TQ_Logger g_TQ_serverLog;

/* Output functions. PRINTF writes the formatted text to standard output and
 * ignores token and level. NONE writes nothing and stops output inheritance.
 * INHERIT writes nothing; in slot 0 it marks a logger that takes outputs and
 * token from its parent. Any thread. */
TQ_API int TQ_LOGOUTPUT_PRINTF_func(void *token, int level, const char *format, va_list args);
TQ_API int TQ_LOGOUTPUT_NONE_func(void *token, int level, const char *format, va_list args);
TQ_API int TQ_LOG_INHERIT_OUTPUT_func(void *token, int level, const char *format, va_list args);

/* ---- Logging: messages ---- */

/* Writes a printf-style message at `level` through every output slot of the
 * logger (or the outputs it inherits), each preceded by the logger's header,
 * unless `format` begins with ':' (then written bare, without the ':').
 * A message whose level is above the threshold in force is dropped after one
 * walk up the parents. Takes no lock and allocates nothing; any thread. A
 * null logger drops the message. */
TQ_API void TQ_log(TQ_Logger *logger, int level, const char *format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 3, 4)))
#endif
    ;
/* TQ_log with an argument list; `args` is not consumed (each slot gets a
 * copy), so the caller may still va_end it. */
TQ_API void TQ_logv(TQ_Logger *logger, int level, const char *format, va_list args);
/* Hex dump of `length` bytes at `data`: a line break, then lines of
 * `bytesPerLine` values ("%02X " each), each line beginning with the header
 * and, if `showOffsets`, "0x%08X: " with the offset; a final line break.
 * Line breaks are written as "\n\r". A `bytesPerLine` of 0 puts all values
 * on one line. Same threshold, locking and thread rules as TQ_log. */
TQ_API void TQ_logBlob(TQ_Logger *logger, int level, const void *data, uint32_t length, uint32_t bytesPerLine,
                       int showOffsets);

/* ---- Logging: record setters ---- */

/* Setters of one logger's fields. They take no lock and are meant for
 * configuration time, but are safe against concurrent logging threads.
 * A null logger is ignored. */
TQ_API void TQ_logSetParent(TQ_Logger *logger, TQ_Logger *parent);
/* Sets output slot 0. */
TQ_API void TQ_logSetOutput(TQ_Logger *logger, TQ_LogOutputFn output);
/* Sets slot `index` if it is at most 4; otherwise changes nothing. */
TQ_API void TQ_logSetOutputNum(TQ_Logger *logger, TQ_LogOutputFn output, uint32_t index);
/* Sets the threshold. A negative level is stored as 0, except TQ_LOG_INHERIT
 * on a logger that has a parent. */
TQ_API void TQ_logSetLevel(TQ_Logger *logger, int level);
/* The threshold in force: walks up while the level is TQ_LOG_INHERIT and a
 * parent exists (so a parentless logger may answer TQ_LOG_INHERIT). A null
 * logger answers 4. */
TQ_API int TQ_logGetLevel(const TQ_Logger *logger);
/* Sets the prefix; the string is kept, not copied. */
TQ_API void TQ_logSetPrefix(TQ_Logger *logger, const char *prefix);
TQ_API void TQ_logSetToken(TQ_Logger *logger, void *token);
/* Writes the logger's messages to `stream` (slot 0 and token). The caller
 * opens the stream and closes it after the logger no longer writes to it.
 * Messages are not flushed. */
TQ_API void TQ_logToFile(TQ_Logger *logger, FILE *stream);

/* ---- Logging: registry of named loggers ---- */

/* The registry maps names to loggers; it is created on first use holding the
 * root under "Tessarc". Its operations serialise on the process-wide critical
 * section and may be called from any thread. */

/* Opens the logger `name`: the registered record with its count raised, or a
 * new zero-filled record (count 1) registered under `name`, which is kept,
 * not copied. Then, outside the lock, sets parent, prefix, level (as given)
 * and output slot 0 from the arguments. Returns the record, or null with
 * nothing registered when memory runs out. */
TQ_API TQ_Logger *TQ_logOpen(TQ_Logger *parent, const char *name, const char *prefix, int level, TQ_LogOutputFn output);
/* Gives back one open or registration. The root, a null logger and a static
 * logger with count 0 are left alone. At count 0 the logger leaves the
 * registry (if its name still refers to it) and is freed unless static. */
TQ_API void TQ_logClose(TQ_Logger *logger);
/* Registers a caller-owned record under its own name and raises its count;
 * a record registered before under that name is replaced in the registry and
 * otherwise left as it is. */
TQ_API void TQ_logRegister(TQ_Logger *logger);
/* The logger registered under `name`, or the root if there is none. */
TQ_API TQ_Logger *TQ_logGet(const char *name);

/* Setters by name: TQ_logGet, then the setter of the same name; when the
 * lookup yields the root (unknown name, or "Tessarc") nothing changes. */
TQ_API void TQ_logSetNamedParent(const char *name, TQ_Logger *parent);
TQ_API void TQ_logSetNamedOutput(const char *name, TQ_LogOutputFn output);
TQ_API void TQ_logSetNamedOutputNum(const char *name, TQ_LogOutputFn output, uint32_t index);
TQ_API void TQ_logSetNamedLevel(const char *name, int level);
TQ_API void TQ_logSetNamedPrefix(const char *name, const char *prefix);
TQ_API void TQ_logSetNamedToken(const char *name, void *token);
/* TQ_logGetLevel of TQ_logGet(name). */
TQ_API int TQ_logGetNamedLevel(const char *name);

/* ---- Tasks, threads, locks and time (tasks.cpp) --------------------------- */

/* Tasks are threads that wait until the scheduler starts; the live tasks and
 * threads are counted, and the last task to end ends the process with exit
 * code 0. Threads run at once, are joined by their owner and never end the
 * process. Handles are pointer-sized; -1 is the failure value. Every
 * operation may be called from any thread unless stated otherwise. */

/* Number of live tasks and threads. Changed only by atomic increment and
 * decrement; read it with an atomic load (__atomic_load_n). */
extern TQ_API int32_t g_TQ__numTasks;

/* A task's body; returning from it ends the task. */
typedef void (*TQ_TaskFunction)(void *argument);
/* A thread's body, called with the thread's own handle and the argument given
 * to TQ_threadCreate; returning from it ends the thread. */
typedef void (*TQ_ThreadFunction)(intptr_t thread, void *argument);

/* Broken-down local time, filled by TQ_getLocalTime. */
typedef struct TQ_LocalTime {
    int32_t sec;  /* seconds, 0-60 */
    int32_t min;  /* minutes, 0-59 */
    int32_t hour; /* hours, 0-23 */
    int32_t mday; /* day of month, 1-31 */
    int32_t mon;  /* month, 0-11 */
    int32_t year; /* years since 1900 */
    int32_t wday; /* day of week, 0 = Sunday */
    int32_t yday; /* day of year, 0-365 */
} TQ_LocalTime;

/* "Sun" ... "Sat" by day of week, then a null entry. */
extern TQ_API const char *const c_TQ_TimeWeekDays[8];
/* "Jan" ... "Dec" by month 0-11. */
extern TQ_API const char *const c_TQ_TimeMonths[12];

/* Ends the process with `code`: flushes every stdio stream and calls _exit,
 * so no atexit handlers or static destructors run. In AddressSanitizer builds
 * the leak check runs first. Every place that ends the process goes through
 * here. Does not return. */
TQ_API void TQ_exitProcess(int code) __attribute__((noreturn));

/* Starts a task running function(argument) on its own thread with a stack of
 * `stackWords` pointer-sized words (at least 256 KiB) and a priority 0-4
 * (2 normal, applied best effort). The task waits until TQ_startScheduler has
 * run; once it has, a new task runs at once. `name` is not used. Returns the
 * task function, or null on failure, leaving g_TQ__numTasks unchanged. */
TQ_API TQ_TaskFunction TQ_startTask(TQ_TaskFunction function, void *argument, uint32_t stackWords, int priority,
                                    const char *name);
/* Ends the calling task. If it was the last live task or thread, ends the
 * process with exit code 0 (TQ_exitProcess). Call only from a task. */
TQ_API void TQ_endCurrentTask(void) __attribute__((noreturn));
/* Lets every task created so far, and every later one, run; then blocks
 * every signal in the calling thread (usually the main thread) and parks it
 * for good, while the process lives on in its tasks until the last one ends.
 * Does not return. */
TQ_API void TQ_startScheduler(void) __attribute__((noreturn));

/* Starts a thread running function(handle, argument) at once, stack and
 * priority as for TQ_startTask. Returns its handle (the address of its thread
 * record), or -1 on failure, leaving g_TQ__numTasks unchanged. The caller owns
 * the handle and must give it back with TQ_threadDelete. */
TQ_API intptr_t TQ_threadCreate(TQ_ThreadFunction function, void *argument, uint32_t stackWords, int priority);
/* Asks the thread to end; it does not wake it. */
TQ_API void TQ_threadCancel(intptr_t thread);
/* 1 once TQ_threadCancel has been called for the thread, else 0. */
TQ_API int TQ_threadTestCancel(intptr_t thread);
/* Waits without limit for the thread to end, then frees its record; the
 * handle is invalid afterwards. Must not be called by the thread itself. */
TQ_API void TQ_threadDelete(intptr_t thread);
/* Ends the thread's current TQ_threadMsleep early. A wake given while the
 * thread is not sleeping is lost when its next sleep begins. */
TQ_API void TQ_threadWakeFromSleep(intptr_t thread);
/* Sleeps up to `ms` milliseconds unless woken by TQ_threadWakeFromSleep.
 * 0 returns at once; 0xFFFFFFFF means 0xFFFFFFFE (about 49.7 days). Call only
 * from the thread itself. */
TQ_API void TQ_threadMsleep(intptr_t thread, uint32_t ms);
/* The system's identifier of the calling thread. */
TQ_API uint32_t TQ_getCurrentThreadId(void);

/* Recursive mutex: the owner may lock it again and must unlock as often.
 * Returns the handle, or -1 if it cannot be made. */
TQ_API intptr_t TQ_mutexCreate(void);
/* Frees an unlocked mutex; the handle is invalid afterwards. */
TQ_API void TQ_mutexDelete(intptr_t mutex);
/* Locks without time limit. */
TQ_API void TQ_mutexLock(intptr_t mutex);
/* Unlocks once; only the owner may call it. */
TQ_API void TQ_mutexUnlock(intptr_t mutex);

/* Binary auto-reset semaphore: signals given while nobody waits collapse into
 * one, and one wait consumes it. Returns the handle, or -1. */
TQ_API intptr_t TQ_semCreate(void);
/* Frees a semaphore nobody waits on. Returns non-zero. */
TQ_API int TQ_semDelete(intptr_t sem);
/* Waits up to `timeoutMs` milliseconds (0xFFFFFFFF: without limit; 0: only
 * takes a pending signal). Returns 1 when signalled, -1 on time-out. */
TQ_API int TQ_semWait(intptr_t sem, uint32_t timeoutMs);
/* Signals the semaphore, releasing one waiter. Returns non-zero. */
TQ_API int TQ_semSignal(intptr_t sem);

/* The process-wide recursive critical section for once-only initialisations;
 * made on first use, never destroyed. Nothing long may run under it. */
TQ_API void TQ_enterCriticalSection(void);
TQ_API void TQ_leaveCriticalSection(void);

/* Sleeps `seconds` whole seconds. */
TQ_API void TQ_sleep(uint32_t seconds);
/* Sleeps `ms` milliseconds; 0 yields the processor. */
TQ_API void TQ_msleep(uint32_t ms);
/* Sleeps us / 1000 whole milliseconds; less than 1000 only yields. */
TQ_API void TQ_usleep(uint32_t us);
/* Starts the clock of TQ_getTimeMs; only the first call does anything. */
TQ_API void TQ_initTime(void);
/* Monotonic milliseconds from an arbitrary origin; 0 before TQ_initTime. */
TQ_API uint64_t TQ_getTimeMs(void);
/* Wall-clock milliseconds since 1970-01-01 00:00:00 UTC. */
TQ_API uint64_t TQ_getSystemTime(void);
/* Fills *time with the current local time. */
TQ_API void TQ_getLocalTime(TQ_LocalTime *time);

/* ---- Allocator, strings and reference-counted buffers (memory.cpp) -------- */

/* Datasets travel in reference-counted buffers; names and small records live
 * in fixed-size blocks. Both come from an allocator: a record of operation
 * slots that a host fills (initMallocAllocator gives the heap-backed one with
 * a 256-byte and a 32-byte block pool) and hands to whoever allocates. */

typedef struct TQ_Allocator TQ_Allocator;

/* One segment of a buffer's payload: the link to the next segment (null at the
 * end of the chain), the payload bytes it holds, then those bytes. */
__extension__ typedef struct TQ_BufferSegment {
    struct TQ_BufferSegment *next;
    uint32_t length;
    uint8_t data[];
} TQ_BufferSegment;

/* A reference-counted byte buffer in one piece of memory. refCount is changed
 * only through TQ_bufferAcquire/TQ_bufferRelease (atomically). size is the
 * payload over all segments; the first segment is embedded, so the payload of
 * a fresh buffer starts at first.data, TQ_BUFFER_HEADER_SIZE bytes in. */
__extension__ typedef struct TQ_Buffer {
    int32_t refCount;
    TQ_Allocator *allocator;
    uint32_t size;
    TQ_BufferSegment first;
} TQ_Buffer;

/* Bytes in front of a one-segment buffer's payload on this build. */
#define TQ_BUFFER_HEADER_SIZE (offsetof(TQ_Buffer, first) + offsetof(TQ_BufferSegment, data))

/* A cursor over a buffer's payload, held by the caller: the current segment
 * (null past the end), the offset in it and the bytes from the cursor to the
 * end of the buffer. Each reader or writer uses its own. */
typedef struct TQ_BufferIter {
    TQ_BufferSegment *segment;
    uint32_t offset;
    uint32_t remaining;
} TQ_BufferIter;

/* Kinds passed to the allocation-failure hook, with the size that could not be
 * had: a buffer (its payload size), a 256-byte pool refill, a 32-byte one. */
enum { TQ_ALLOC_FAIL_BUFFER = 0, TQ_ALLOC_FAIL_BLOCK256 = 1, TQ_ALLOC_FAIL_BLOCK32 = 2 };

/* The allocator record. Every slot may be called from any thread; the pools
 * of the heap-backed allocator are guarded by its own mutex. Blocks are
 * handed out with undefined contents and must be given back to the pool of
 * their size; a null block or buffer given back is ignored. */
struct TQ_Allocator {
    /* Releases the private state; for the heap-backed allocator also every
     * pool chunk, so no block or pool buffer of it may be in use any more. */
    void (*destroy)(TQ_Allocator *allocator);
    /* A buffer with one segment of `payloadSize` bytes, refCount 0; null
     * (after the failure hook) when memory cannot be had. */
    TQ_Buffer *(*allocBuffer)(TQ_Allocator *allocator, uint32_t payloadSize);
    /* Gives a buffer's memory back; its first segment's length must not have
     * grown since allocation. */
    void (*freeBuffer)(TQ_Allocator *allocator, TQ_Buffer *buffer);
    /* One 256-byte block, or null after the failure hook. */
    void *(*allocBlock256)(TQ_Allocator *allocator);
    void (*freeBlock256)(TQ_Allocator *allocator, void *block);
    /* One 32-byte block, or null after the failure hook. */
    void *(*allocBlock32)(TQ_Allocator *allocator);
    void (*freeBlock32)(TQ_Allocator *allocator, void *block);
    /* 1 after initMallocAllocator; nothing reads it. */
    uint32_t flags;
    /* Called with (kind, size) when memory cannot be had, on the thread that
     * asked, with no allocator lock held; may be null. A pool-backed buffer
     * that cannot be had calls it twice: kind 1, then kind 0. */
    void (*allocationFailure)(int kind, uint32_t size);
    /* Private state, owned by the allocator. */
    void *state;
};

/* Fills `allocator` with the heap-backed allocator: both pools empty, a new
 * mutex, flags 1, no failure hook. Returns 1, or -1 when its state cannot be
 * had, leaving every field of the record zero. Pools grow 4096 bytes at a
 * time and reuse freed blocks last in, first out. */
TQ_API int initMallocAllocator(TQ_Allocator *allocator);

/* Adds a reference and returns `buffer`. Any thread. */
TQ_API TQ_Buffer *TQ_bufferAcquire(TQ_Buffer *buffer);
/* Drops a reference and returns the new count while it is above 0. The
 * release that brings it to 0 gives the buffer to its allocator's freeBuffer
 * and returns 0; the buffer must not be touched after that. Any thread. */
TQ_API int32_t TQ_bufferRelease(TQ_Buffer *buffer);
/* TQ_bufferRelease of each of `count` buffers in order. The buffers that go
 * back to the pool of one heap-backed allocator one after another are given
 * back under one hold of its mutex. Any thread; call with no allocator lock
 * held. */
TQ_API void TQ_bufferReleaseAll(TQ_Buffer *const *buffers, size_t count);
/* Gives a never-shared buffer to its allocator's freeBuffer at once, whatever
 * its reference count. */
TQ_API void TQ_bufferFree(TQ_Buffer *buffer);
/* The payload size over all segments. */
TQ_API uint32_t TQ_bufferSize(const TQ_Buffer *buffer);

/* The cursor operations below are not locked: a buffer is written by one
 * thread before it is shared, and each reader uses its own iterator. Each
 * returns 1, or -1 when fewer than `count` bytes remain from the cursor (or
 * the segment chain ends before `size` says); after -1 the iterator's
 * remaining count is 0 and it is not to be used further. A cursor that ends
 * exactly at a segment's end stands at the start of the next segment. */

/* Places `iter` at the start of `buffer`'s payload. */
TQ_API void TQ_bufferInitIter(TQ_Buffer *buffer, TQ_BufferIter *iter);
/* Bytes from the cursor to the end of the buffer. */
TQ_API uint32_t TQ_bufferSpaceRemaining(const TQ_BufferIter *iter);
/* Advances the cursor by `count` bytes. On -1 for too few bytes remaining,
 * the cursor has not moved. */
TQ_API int TQ_bufferSkip(TQ_BufferIter *iter, uint32_t count);
/* Writes `count` bytes from `source` at the cursor and advances it. On -1 for
 * too few bytes remaining, nothing has been written. */
TQ_API int TQ_bufferCopyTo(TQ_BufferIter *iter, const void *source, uint32_t count);
/* Reads `count` bytes at the cursor into `destination` and advances it. On -1
 * for too few bytes remaining, nothing has been read. */
TQ_API int TQ_bufferCopyFrom(void *destination, TQ_BufferIter *iter, uint32_t count);
/* Copies `count` bytes from the source buffer at its cursor into the
 * destination buffer at its cursor, advancing both. -1 when the destination
 * has too few bytes (nothing copied) or the source runs short (part of the
 * bytes may have been copied; both iterators are then spent). */
TQ_API int TQ_bufferCopyToBuf(TQ_BufferIter *destination, TQ_BufferIter *source, uint32_t count);

/* Strings kept in allocator blocks: at most 255 characters and a terminator,
 * in a 32-byte block when they fit, else in a 256-byte one. A string is given
 * back by its current length, so it must not be shortened below 32
 * characters while it sits in a 256-byte block. */

/* A block for a string of `length` characters plus terminator, contents
 * undefined; null for a length above 255 or when no block can be had. */
TQ_API char *TQ_allocStringWithAllocator(TQ_Allocator *allocator, uint32_t length);
/* A copy of `string` in a new block, cut to its first 255 characters; null
 * for a null string or when no block can be had (after the failure hook).
 * The caller frees it with TQ_freeStringWithAllocator and the same allocator. */
TQ_API char *TQ_copyStringWithAllocator(TQ_Allocator *allocator, const char *string);
/* Gives a string's block back to `allocator`; null does nothing. */
TQ_API void TQ_freeStringWithAllocator(TQ_Allocator *allocator, char *string);

/* Test facility: makes the heap-backed allocators' own heap requests (pool
 * chunks, large buffers, allocator state) and the containers' requests
 * (lists, hash sets and maps, tree sets) fail on purpose, so that failure
 * paths run for real. An allocator request that fails reports through the
 * failure hook and yields null; a container request that fails writes one
 * fatal line to g_TQ_LOG and ends the process with exit code 1 through
 * TQ_exitProcess, as the containers cannot hand a failure back. n >= 0 starts counting heap requests from zero and makes
 * the one numbered n (the first is 0) fail, once; later ones succeed again.
 * n = -1 stops counting and failing. Costs one relaxed load per heap request
 * while off. Meant for single-threaded test sections: with several threads
 * requesting at once, which request fails is not determined. */
TQ_API void TQ_allocFailAfter(long n);
/* Heap requests counted since the last TQ_allocFailAfter(n >= 0), the failed
 * one included; stays at its value after TQ_allocFailAfter(-1). An injected
 * failure has happened when this exceeds the n given. */
TQ_API unsigned long TQ_allocHeapRequests(void);

/* ---- Network address and socket utilities (network.cpp) ------------------ */

/* IPv4 addresses are uint32_t in host byte order, the first dotted number in
 * the most significant byte; 0 means no address. Sockets are file
 * descriptors; -1 means no socket. Time-outs are milliseconds, and
 * TQ_WAIT_FOREVER means no limit. Every function may be called from any
 * thread. Only the socket waits and TQ_socketSetNonblocking set the last
 * error; nothing here logs. */
#define TQ_WAIT_FOREVER 0xFFFFFFFFu
/* At most this many distinct sockets take part in one TQ_socketWaitForRead. */
#define TQ_SOCKET_WAIT_MAX 64

/* One local interface that is up; six 32-bit fields, addresses host order. */
typedef struct TQ_LocalAddr {
    uint32_t address;
    uint32_t netmask;
    uint32_t broadcast;
    uint32_t isBroadcast; /* 1 if the interface supports broadcast */
    uint32_t isLoopback;  /* 1 for a loopback interface */
    uint32_t isMulticast; /* 1 if it supports multicast */
} TQ_LocalAddr;

/* Makes sure the socket layer is started. POSIX sockets need no start-up, so
 * this does nothing; it is kept for callers that call it before socket work. */
TQ_API void TQ_checkInitSockets(void);
/* Writes the dotted-decimal text of `address` into `buf` and returns `buf`;
 * null, leaving `buf` alone, if `size` is 15 or less. */
TQ_API char *TQ_ipToString(uint32_t address, char *buf, size_t size);
/* Parses dotted-decimal text (inet_addr rules); 0 if it is not an address,
 * and also for 255.255.255.255. */
TQ_API uint32_t TQ_stringToIp(const char *text);
/* Collects the IPv4 interfaces that are up, in the system's order, copies as
 * many as fit into `addrs` (`*capacity` entries; `addrs` may be null when
 * `*capacity` is 0), stores the number copied in `*capacity` and returns the
 * number found, which may be larger. 0 (and *capacity = 0) on failure. */
TQ_API uint32_t TQ_fillLocalAddrs(TQ_LocalAddr *addrs, uint32_t *capacity);
/* Writes the host name into `buf` (`size` >= 1), always terminated; empty if
 * the system cannot give it or it does not fit. */
TQ_API void TQ_getHostname(char *buf, size_t size);
/* Resolves a host name or dotted text; the first IPv4 address found, host
 * order, or 0. May block on name resolution. */
TQ_API uint32_t TQ_getIpForHost(const char *host);
/* Parses "host" or "host:port". The host part ends at the first ':' but is
 * cut after 15 characters; a port is read (strtol, base 10, cut to 16 bits)
 * only when the host part stopped at a ':' with text behind it, otherwise
 * `*port` keeps its value. `*address` always receives TQ_getIpForHost of the
 * host part. Returns 1 if that address is not 0, else -1. */
TQ_API int TQ_parseAddrAndPort(const char *text, uint32_t *address, uint16_t *port);
/* Byte order swaps (the library runs on little-endian hosts only). */
TQ_API uint32_t TQ_ntohl(uint32_t value);
TQ_API uint16_t TQ_ntohs(uint16_t value);
/* Sets (`enable` non-zero) or clears non-blocking mode. 1 on success; -1 with
 * the last error TQ_ERR_SOCKETS | errno on failure. */
TQ_API int TQ_socketSetNonblocking(int sock, int enable);
/* The socket's pending error (SO_ERROR), which reading clears; 0 if there is
 * none or the query fails. */
TQ_API int TQ_socketGetLastError(int sock);
/* Waits until one of `count` sockets can be read (data, a connection to
 * accept, end of stream or an error), for at most `timeoutMs`. A socket given
 * twice is waited for once; only the first TQ_SOCKET_WAIT_MAX distinct sockets
 * take part. Every entry of `sockets` that is not ready is replaced by -1.
 * Returns the number of distinct ready sockets, 0 on time-out; -1 on failure
 * (a negative or closed descriptor, `count` < 1), with every entry set to -1
 * and the last error TQ_ERR_SOCKETS | errno. */
TQ_API int TQ_socketWaitForRead(int *sockets, int count, uint32_t timeoutMs);
/* Waits until `sock` can be written, for at most `timeoutMs`. 1 when it
 * can. -1 with the last error TQ_ERR_TIMEOUT on time-out; -1 with
 * TQ_ERR_SOCKETS | errno when the wait fails or the socket has a pending error
 * (a refused connect, for instance), which is then consumed. */
TQ_API int TQ_socketWaitForWrite(int sock, uint32_t timeoutMs);

/* ---- Random numbers (random.cpp) ------------------------------------------ */

/* Random bytes from the kernel's cryptographic generator with the C library
 * generator's bytes (rand) XORed over them. Any thread; the C library
 * generator's state is shared with the rest of the process. */

/* Fills `length` bytes of `buf` (owned by the caller). Returns 1 when the
 * kernel's generator was used, -1 when only the C library generator was: the
 * buffer's previous contents are then XORed with its bytes, not replaced. */
TQ_API int TQ_getRandomBytes(void *buf, uint32_t length);
/* Random values of 1, 2, 4 and 8 bytes, read little-endian; the quality
 * result of TQ_getRandomBytes is ignored. */
TQ_API uint8_t TQ_randUint8(void);
TQ_API uint16_t TQ_randUint16(void);
TQ_API uint32_t TQ_randUint32(void);
TQ_API uint64_t TQ_randUint64(void);

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
TQ_API TQ_List *TQ_listCreate(void);
/* Makes `list` empty without freeing anything it held. */
TQ_API void TQ_listInit(TQ_List *list);
/* Frees every node (not the elements); the list is empty and usable again. */
TQ_API void TQ_listDestroy(TQ_List *list);
/* TQ_listDestroy, then frees a record made by TQ_listCreate. */
TQ_API void TQ_listDelete(TQ_List *list);
/* Initialises `dst` (whatever it held is not freed) and appends every element
 * of `src`, head to tail: a shallow copy of the element pointers. */
TQ_API void TQ_listCopy(TQ_List *dst, const TQ_List *src);

/* Number of elements. */
TQ_API uint32_t TQ_listSize(const TQ_List *list);
/* 1 when the list holds no element, else 0. */
TQ_API int TQ_listEmpty(const TQ_List *list);
/* Frees every node, head to tail; the elements are not touched. */
TQ_API void TQ_listClear(TQ_List *list);
/* As TQ_listClear, but each element is passed to free() before its node. */
TQ_API void TQ_listClearAndFree(TQ_List *list);

/* Add an element at the head / at the tail (one node allocated). */
TQ_API void TQ_listPushFront(TQ_List *list, void *element);
TQ_API void TQ_listPushBack(TQ_List *list, void *element);
/* Remove the head / tail node and return its element; null on an empty list
 * (a stored null cannot be told from an empty list). */
TQ_API void *TQ_listPopFront(TQ_List *list);
TQ_API void *TQ_listPopBack(TQ_List *list);

/* Sets `it` on the head (TQ_listBegin) or the tail (TQ_listReverseBegin);
 * past the end on an empty list. */
TQ_API void TQ_listBegin(TQ_List *list, TQ_ListIterator *it);
TQ_API void TQ_listReverseBegin(TQ_List *list, TQ_ListIterator *it);
/* Both return 1 while the iterator designates a node, else 0. */
TQ_API int TQ_listHasNext(const TQ_ListIterator *it);
TQ_API int TQ_listHasPrev(const TQ_ListIterator *it);
/* Step to the next / previous node, or past the end. The iterator must
 * designate a node. */
TQ_API void TQ_listNext(TQ_ListIterator *it);
TQ_API void TQ_listPrev(TQ_ListIterator *it);

/* Unlinks and frees `node`, which must belong to `list`; returns its element. */
TQ_API void *TQ_listRemoveItem(TQ_List *list, TQ_ListNode *node);
/* Steps the iterator forward, then unlinks and frees the node it was on and
 * returns that node's element. Past the end: returns null, changes nothing. */
TQ_API void *TQ_listErase(TQ_ListIterator *it);
/* As TQ_listErase, but the element is passed to free(). */
TQ_API void TQ_listEraseAndFree(TQ_ListIterator *it);
/* As TQ_listErase / TQ_listEraseAndFree, stepping the iterator backward. */
TQ_API void *TQ_listReverseErase(TQ_ListIterator *it);
TQ_API void TQ_listReverseEraseAndFree(TQ_ListIterator *it);

/* Insert a new node before / after the iterator's node; the iterator keeps
 * designating the same node and its m_value is unchanged. Past the end,
 * TQ_listInsertBefore appends and TQ_listInsertAfter prepends. */
TQ_API void TQ_listInsertBefore(TQ_ListIterator *it, void *element);
TQ_API void TQ_listInsertAfter(TQ_ListIterator *it, void *element);

/* ---- Hash set (hashset.cpp) ----------------------------------------------- */

/* An unordered set of opaque element pointers: a power-of-two array of
 * buckets, each a TQ_List, with caller-supplied equality and hash functions.
 * The set owns the bucket array and the list nodes, never the elements,
 * except in the operations named ...AndFree, which pass elements to free().
 * The table doubles when an insertion finds as many elements as buckets.
 * Not thread-safe: callers that share a set hold their own lock around every
 * call and every walk. */

/* Nonzero when the two elements are equal. Equal elements must hash alike. */
typedef int (*TQ_EqualFn)(const void *a, const void *b);
/* The 32-bit hash of one element. */
typedef uint32_t (*TQ_HashFn)(const void *element);

typedef struct TQ_HashSet {
    TQ_EqualFn m_equal;
    TQ_HashFn m_hash;
    TQ_List *m_buckets;  /* m_capacity lists, one malloc block */
    uint32_t m_capacity; /* a power of two */
    uint32_t m_size;
} TQ_HashSet;

/* Kept by the caller; owns nothing. m_value mirrors the current element and
 * is null past the end (m_node null). */
typedef struct TQ_HashSetIterator {
    TQ_HashSet *m_set;
    uint32_t m_bucket;
    TQ_ListNode *m_node;
    void *m_value;
} TQ_HashSetIterator;

/* Returns a new empty set on the heap (capacity 32); free it with
 * TQ_hashSetDelete. */
TQ_API TQ_HashSet *TQ_hashSetCreate(TQ_EqualFn equal, TQ_HashFn hash);
/* Stores the functions and allocates 32 empty buckets; whatever `set` held
 * is not freed. */
TQ_API void TQ_hashSetInit(TQ_HashSet *set, TQ_EqualFn equal, TQ_HashFn hash);
/* Frees the list nodes and the bucket array; the elements are not touched. */
TQ_API void TQ_hashSetDestroy(TQ_HashSet *set);
/* As TQ_hashSetDestroy, but every element is passed to free() first. */
TQ_API void TQ_hashSetDestroyAndFree(TQ_HashSet *set);
/* TQ_hashSetDestroy, then frees a record made by TQ_hashSetCreate. */
TQ_API void TQ_hashSetDelete(TQ_HashSet *set);
/* Makes `dst` a shallow copy of `src`: same functions, capacity, buckets and
 * order within each bucket. Whatever `dst` held is not freed. */
TQ_API void TQ_hashSetCopy(TQ_HashSet *dst, const TQ_HashSet *src);

/* Number of elements; 1 when empty, else 0; number of buckets. */
TQ_API uint32_t TQ_hashSetSize(const TQ_HashSet *set);
TQ_API int TQ_hashSetEmpty(const TQ_HashSet *set);
TQ_API uint32_t TQ_hashSetCapacity(const TQ_HashSet *set);
/* Rebuilds the buckets with the smallest power of two, at least 4, that is
 * neither below `requested` nor below the size (at most 2^31; if the size
 * does not fit even then, the set is left unchanged). Grows or shrinks;
 * invalidates every iterator. */
TQ_API void TQ_hashSetResize(TQ_HashSet *set, uint32_t requested);
/* Removes every element (not released) and returns the capacity to 32. */
TQ_API void TQ_hashSetClear(TQ_HashSet *set);
/* As TQ_hashSetClear, but the elements are passed to free(). */
TQ_API void TQ_hashSetClearAndFree(TQ_HashSet *set);

/* Returns the stored element equal to `element` (nothing stored), or
 * `element` itself after appending it to its bucket. Doubles the table first
 * when it is full, even when the element turns out to be present. */
TQ_API void *TQ_hashSetInsert(TQ_HashSet *set, void *element);
/* 1 and `it` on the element equal to `key` when there is one; else 0 with
 * `it` past the end. */
TQ_API int TQ_hashSetFind(TQ_HashSet *set, TQ_HashSetIterator *it, const void *key);
/* Removes the element equal to `key` and returns it (not released); null
 * when none matched. */
TQ_API void *TQ_hashSetRemoveNoFree(TQ_HashSet *set, const void *key);
/* Removes the element equal to `key` and passes it to free(); nonzero when
 * an element was removed, 0 otherwise. */
TQ_API int TQ_hashSetRemoveAndFree(TQ_HashSet *set, const void *key);

/* Walks bucket by bucket, ascending, and within a bucket in insertion order.
 * No insertion may happen during a walk; erase through the iterator may. */
TQ_API void TQ_hashSetBegin(TQ_HashSet *set, TQ_HashSetIterator *it);
/* 1 while the iterator designates an element, else 0. */
TQ_API int TQ_hashSetHasNext(const TQ_HashSetIterator *it);
/* Steps to the next element or past the end; `it` must designate one. */
TQ_API void TQ_hashSetNext(TQ_HashSetIterator *it);
/* Steps the iterator forward, removes the element it was on and returns it
 * (not released). Past the end: returns null, changes nothing. */
TQ_API void *TQ_hashSetErase(TQ_HashSetIterator *it);

/* Element functions. Integers are 32-bit values stored in the pointer slot
 * (only the low 32 bits count); pointers are compared by address and hashed
 * as their sizeof(void *) bytes in memory order with djb2 (start 0); node
 * identifiers are pointers to TQ_Uuid, hashed as their 12 bytes with djb2
 * (start 0). Equality results are 1 or 0. Pure; any thread. */
TQ_API int TQ_intEqual(const void *a, const void *b);
TQ_API uint32_t TQ_intHash(const void *a);
TQ_API int TQ_ptrEqual(const void *a, const void *b);
TQ_API uint32_t TQ_ptrHash(const void *a);
TQ_API int TQ_uuidEqual(const void *a, const void *b);
TQ_API uint32_t TQ_uuidHash(const void *a);

/* ---- Hash map (hashmap.cpp) ----------------------------------------------- */

/* Associates opaque key pointers with opaque value pointers: a hash set of
 * entry records whose equality and hash look only at the key. The map owns
 * its entry records; it never releases keys or values, except in the remove
 * operations named ...FreeKey, ...FreeValue and ...FreeBoth. Growth, resizing
 * and walk order are the hash set's. Not thread-safe: callers that share a
 * map hold their own lock around every call and every walk. */

typedef struct TQ_HashMapEntry {
    TQ_EqualFn m_keyEqual; /* copies of the map's key functions */
    TQ_HashFn m_keyHash;
    void *m_key;
    void *m_value;
} TQ_HashMapEntry;

typedef struct TQ_HashMap {
    TQ_EqualFn m_keyEqual;
    TQ_HashFn m_keyHash;
    TQ_HashSet m_entries; /* elements are TQ_HashMapEntry records */
} TQ_HashMap;

/* Kept by the caller; owns nothing. The first four fields are those of a
 * TQ_HashSetIterator over m_entries (m_value is the current entry). m_key and
 * m_valueRef are null past the end; a new value may be stored through
 * m_valueRef. */
typedef struct TQ_HashMapIterator {
    TQ_HashSet *m_set;
    uint32_t m_bucket;
    TQ_ListNode *m_node;
    void *m_value;
    void *m_key;
    void **m_valueRef;
} TQ_HashMapIterator;

/* Returns a new empty map on the heap (capacity 32); free it with
 * TQ_hashMapDelete. */
TQ_API TQ_HashMap *TQ_hashMapCreate(TQ_EqualFn keyEqual, TQ_HashFn keyHash);
/* Initialises the entry set (capacity 32) and stores the key functions;
 * whatever `map` held is not freed. */
TQ_API void TQ_hashMapInit(TQ_HashMap *map, TQ_EqualFn keyEqual, TQ_HashFn keyHash);
/* Frees every entry record and the buckets; keys and values are untouched. */
TQ_API void TQ_hashMapDestroy(TQ_HashMap *map);
/* TQ_hashMapDestroy, then frees a record made by TQ_hashMapCreate. */
TQ_API void TQ_hashMapDelete(TQ_HashMap *map);

/* The entry set's size, emptiness (1 or 0), capacity and resize. */
TQ_API uint32_t TQ_hashMapSize(const TQ_HashMap *map);
TQ_API int TQ_hashMapEmpty(const TQ_HashMap *map);
TQ_API uint32_t TQ_hashMapCapacity(const TQ_HashMap *map);
TQ_API void TQ_hashMapResize(TQ_HashMap *map, uint32_t requested);
/* Frees every entry record (keys and values untouched); capacity back to 32. */
TQ_API void TQ_hashMapClear(TQ_HashMap *map);

/* Stores key -> value and returns `value` when the key was absent. When an
 * equal key is present, that entry keeps its own key, takes `value`, and the
 * value it held before is returned; the caller keeps `key`. */
TQ_API void *TQ_hashMapInsert(TQ_HashMap *map, void *key, void *value);
/* 1 and `it` on the entry whose key equals `key` (m_key, m_valueRef set);
 * else 0 with the set part of `it` past the end (m_key, m_valueRef not
 * written). Allocates nothing. */
TQ_API int TQ_hashMapFind(TQ_HashMap *map, TQ_HashMapIterator *it, const void *key);
/* Remove the entry whose key equals `key`; FreeKey passes the stored key to
 * free(), FreeValue the stored value, FreeBoth the key and then the value.
 * Nothing happens when the key is absent. */
TQ_API void TQ_hashMapRemoveNoFree(TQ_HashMap *map, const void *key);
TQ_API void TQ_hashMapRemoveFreeKey(TQ_HashMap *map, const void *key);
TQ_API void TQ_hashMapRemoveFreeValue(TQ_HashMap *map, const void *key);
TQ_API void TQ_hashMapRemoveFreeBoth(TQ_HashMap *map, const void *key);

/* Walk as the hash set walks; no insertion during a walk. */
TQ_API void TQ_hashMapBegin(TQ_HashMap *map, TQ_HashMapIterator *it);
/* 1 while the iterator designates an entry, else 0. */
TQ_API int TQ_hashMapHasNext(const TQ_HashMapIterator *it);
/* Steps to the next entry or past the end; `it` must designate one. */
TQ_API void TQ_hashMapNext(TQ_HashMapIterator *it);
/* Steps to the next entry and frees the one the iterator was on (its key and
 * value are not released). Past the end: does nothing. */
TQ_API void TQ_hashMapErase(TQ_HashMapIterator *it);

/* ---- Tree set (TreeSet.cpp) ----------------------------------------------- */

/* An ordered set of opaque element pointers: a 2-3-4 tree (every node holds
 * one to three elements and, unless it is a leaf, one more child than
 * elements) ordered by a caller-supplied comparator. Each element is held at
 * most once. The set owns its nodes (one malloc block each), never its
 * elements, except in TQ_treeSetClearAndFree and TQ_treeSetRemoveAndFree,
 * which pass elements to free(). Memory for nodes that cannot be had ends
 * the process, as for every container (see TQ_allocFailAfter).
 * Not thread-safe: callers that share a set hold their own lock around every
 * call and every walk. */

/* Nonzero if and only if `a` orders strictly before `b`. Two elements are
 * equal when neither orders before the other. */
typedef int (*TQ_CompareFn)(const void *a, const void *b);
/* Writes one element to standard output (used by TQ_treePrint). */
typedef void (*TQ_PrintFn)(const void *element);

typedef struct TQ_TreeNode {
    struct TQ_TreeNode *m_parent;      /* null at the root */
    struct TQ_TreeNode *m_children[4]; /* nodes, or the two marks below */
    void *m_keys[3];
} TQ_TreeNode;

/* Child-slot marks, never node addresses: no child because the node is a
 * leaf; slot beyond the node's elements. Element slot i is in use exactly
 * when child slot i+1 is not TQ_TREE_VACANT. */
#define TQ_TREE_LEAF   ((TQ_TreeNode *)1)
#define TQ_TREE_VACANT ((TQ_TreeNode *)2)

typedef struct TQ_TreeSet {
    TQ_TreeNode *m_root; /* never null while the set is initialised */
    uint32_t m_size;
    TQ_CompareFn m_compare;
} TQ_TreeSet;

/* Kept by the caller; owns nothing. m_node is null past either end, and
 * m_value (a copy of the current element) is then meaningless. */
typedef struct TQ_TreeSetIterator {
    TQ_TreeSet *m_set;
    TQ_TreeNode *m_node;
    uint32_t m_index;
    void *m_value;
} TQ_TreeSetIterator;

/* Comparators (1 or 0): pointer values as unsigned numbers; strcmp of two
 * NUL-terminated strings; memcmp of the 12 bytes of two TQ_Uuid. Pure. */
TQ_API int TQ_ptrCompare(const void *a, const void *b);
TQ_API int TQ_stringCompare(const void *a, const void *b);
TQ_API int TQ_uuidCompare(const void *a, const void *b);

/* Returns a new empty set on the heap; free it with TQ_treeSetDelete. */
TQ_API TQ_TreeSet *TQ_treeSetCreate(TQ_CompareFn compare);
/* Allocates a fresh root and stores the comparator; whatever `set` held is
 * not freed. */
TQ_API void TQ_treeSetInit(TQ_TreeSet *set, TQ_CompareFn compare);
/* Frees every node, root included; the elements are not touched. The record
 * may be initialised again. */
TQ_API void TQ_treeSetDestroy(TQ_TreeSet *set);
/* TQ_treeSetDestroy, then frees a record made by TQ_treeSetCreate. */
TQ_API void TQ_treeSetDelete(TQ_TreeSet *set);
/* Number of elements; 1 when empty, else 0. */
TQ_API uint32_t TQ_treeSetSize(const TQ_TreeSet *set);
TQ_API int TQ_treeSetEmpty(const TQ_TreeSet *set);
/* On a non-empty set: frees every node and starts over with a fresh root
 * (elements not released). On an empty set: does nothing. */
TQ_API void TQ_treeSetClear(TQ_TreeSet *set);
/* As TQ_treeSetClear, but every element is passed to free() first. */
TQ_API void TQ_treeSetClearAndFree(TQ_TreeSet *set);
/* Inserts every element of `src` into `dst`; where `dst` holds an equal
 * element it keeps its own. `src` is unchanged. */
TQ_API void TQ_treeSetMerge(TQ_TreeSet *dst, TQ_TreeSet *src);

/* Returns the stored element equal to `element` (the set is unchanged), or
 * `element` itself after storing it. */
TQ_API void *TQ_treeSetInsert(TQ_TreeSet *set, void *element);
/* 1 and `it` on the element equal to `key` when there is one; else 0 with
 * m_set set and m_node null (m_index, m_value not written). `key` need only
 * be comparable by the set's comparator. */
TQ_API int TQ_treeSetFind(TQ_TreeSet *set, TQ_TreeSetIterator *it, const void *key);
/* Removes the element equal to `key` and returns it (not released); null
 * when none matched. */
TQ_API void *TQ_treeSetRemoveNoFree(TQ_TreeSet *set, const void *key);
/* Removes the element equal to `key`, if any, passing it to free(). */
TQ_API void TQ_treeSetRemoveAndFree(TQ_TreeSet *set, const void *key);

/* Walks in ascending (Begin/Next) or descending (ReverseBegin/Prev) order.
 * During a walk the set may change only through the walking iterator's own
 * erase; every element is visited once whatever is erased on the way. */
TQ_API void TQ_treeSetBegin(TQ_TreeSet *set, TQ_TreeSetIterator *it);
TQ_API void TQ_treeSetReverseBegin(TQ_TreeSet *set, TQ_TreeSetIterator *it);
/* Both return 1 while the iterator designates an element, else 0. */
TQ_API int TQ_treeSetHasNext(const TQ_TreeSetIterator *it);
TQ_API int TQ_treeSetHasPrev(const TQ_TreeSetIterator *it);
/* Step to the in-order successor / predecessor, or past the end. The
 * iterator must designate an element. */
TQ_API void TQ_treeSetNext(TQ_TreeSetIterator *it);
TQ_API void TQ_treeSetPrev(TQ_TreeSetIterator *it);
/* Removes the element the iterator designates (it must designate one) and
 * returns it (not released); the iterator is left on the element that
 * followed it (TQ_treeSetErase) or preceded it (TQ_treeSetReverseErase), or
 * past the end. */
TQ_API void *TQ_treeSetErase(TQ_TreeSetIterator *it);
TQ_API void *TQ_treeSetReverseErase(TQ_TreeSetIterator *it);

/* Draws the tree sideways on standard output, one line per element with
 * the node's and its parent's addresses; "<empty set>" when empty. A
 * diagnostic aid. */
TQ_API void TQ_treePrint(const TQ_TreeSet *set, TQ_PrintFn print);

/* ---- Hash functions (hashes.cpp) ------------------------------------------ */

/* Byte-string hashes over exactly `length` unsigned bytes, starting from
 * `seed`, in wrapping 32-bit arithmetic. Pure; callable from any thread. */

/* Bernstein's djb2, XOR form: h = h * 33 ^ b. Length 0 returns the seed. */
TQ_API uint32_t TQ_djb2hash(uint32_t seed, const void *data, uint32_t length);
/* Jenkins' one-at-a-time loop without the final mixing. */
TQ_API uint32_t TQ_oatHash(uint32_t seed, const void *data, uint32_t length);
/* Jenkins' one-at-a-time hash with the final mixing. */
TQ_API uint32_t TQ_oatHashF(uint32_t seed, const void *data, uint32_t length);

#ifdef __cplusplus
} /* extern "C" */

/* ---- C++ section ---------------------------------------------------------- */

#include <exception>
#include <string>

namespace Tessarc {

/* The exception the host throws when a module cannot be loaded: it holds its
 * own copy of the message. */
class TQ_API Error : public std::exception {
public:
    /* Copies `message`; what() returns the copy. */
    explicit Error(const std::string &message);
    Error(const Error &other);
    Error &operator=(const Error &other);
    ~Error() noexcept override;
    /* The message; valid as long as this object lives. */
    const char *what() const noexcept override;

private:
    std::string m_message;
};

} /* namespace Tessarc */

#endif /* __cplusplus */

#endif /* TESSARC_RUNTIME_H */
