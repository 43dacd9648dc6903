/* The host's contact with the operating system outside module loading: stop
 * signals, the single-instance lock of an install root, and the service
 * manager's notification socket. */
#ifndef TESSARC_HOST_PLATFORM_H
#define TESSARC_HOST_PLATFORM_H

#include <string>

/* Called once per stop signal received, on the signal thread. */
typedef void (*TQ_StopRequestFunction)();

/* Blocks SIGINT, SIGTERM and SIGHUP in the calling thread and every thread
 * it creates later, so that only the signal thread takes them (a stop signal
 * that arrives before that thread exists waits for it; children forked later
 * get them unblocked again), and ignores SIGPIPE. Call once, first thing,
 * before any other thread exists. Returns false when the mask cannot be
 * set. */
bool blockStopSignals();
/* Starts the dedicated signal thread, which calls `onStop` once for every
 * stop signal it takes, also one that arrived before this call (signals of
 * one kind that arrive together count once). Call once, after
 * blockStopSignals. Returns false when the thread cannot be started. */
bool startSignalThread(TQ_StopRequestFunction onStop);

/* Takes the single-instance lock of the install root directory `root`
 * (native path). Returns false when another process holds it or the
 * directory cannot be opened. The lock dies with the process. */
bool acquireLock(const std::string &root);
/* Gives the lock back, if held; a new instance may then start from the same
 * root. Safe to call more than once. */
void releaseLock();

/* Raises the soft limit of open descriptors to the hard limit, so that a
 * server with many peers is not refused descriptors below what the system
 * allows it. Returns the soft limit in force afterwards (0 when it cannot
 * be read; RLIM_INFINITY as is). Start-up thread. */
unsigned long long raiseDescriptorLimit();

/* True when the process was started by the service manager with a
 * notification socket (service mode); false in console mode. */
bool isServiceMode();
/* Sends `state` (lines such as "READY=1" or "STATUS=...") to the service
 * manager; does nothing in console mode. Any thread. */
void notifyServiceManager(const std::string &state);

#endif /* TESSARC_HOST_PLATFORM_H */
