/* The host's contact with the operating system outside module loading: stop
 * signals, the single-instance lock of an install root, the service
 * manager's notification socket and its journal. */
#ifndef TESSARC_HOST_PLATFORM_H
#define TESSARC_HOST_PLATFORM_H

#include <cstdarg>
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

/* True when standard output is the journal: JOURNAL_STREAM, which the
 * service manager sets, names the device and inode of standard output as
 * "<device>:<inode>". False without it, on a terminal, a file or a pipe. */
bool standardOutputIsJournal();
/* A logger output function for the journal: writes the message to standard
 * output like TQ_LOGOUTPUT_PRINTF_func, with the journal's priority prefix
 * of the message's level at the start of every line ("<5>" print, "<2>"
 * fatal, "<3>" error, "<4>" warning, "<6>" info, "<7>" debug and trace).
 * Ignores the token; consumes `args`. Any thread. */
int journalOutput(void *token, int level, const char *format, va_list args);

#endif /* TESSARC_HOST_PLATFORM_H */
