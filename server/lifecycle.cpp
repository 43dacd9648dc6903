/* The server's lifecycle (init, the start and stop tasks, destroy), the host
 * callbacks that frame it, and the server's identity: node identifier, name
 * and network identifier. */
#include <atomic>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "core.h"

using namespace Tessarc::Core;

TQ_Allocator *g_TQ_serverAllocator = nullptr;

namespace {

void doNothing() {}

/* The lifecycle lock guards the running flag and is held for the whole start
 * sequence. 0 until TQ_Server_init, so a stop requested before then (a
 * signal during start-up) only logs. */
std::atomic<intptr_t> s_lifecycleLock{0};
int32_t s_running = 0; /* lifecycle lock */

std::atomic<TQ_Server_Callback> s_postinit{doNothing};
std::atomic<TQ_Server_Callback> s_predestroy{doNothing};
std::atomic<TQ_Server_Callback> s_postdestroy{doNothing};

/* "<root>/Config", set once by the host and never freed, so a pointer a
 * module holds stays valid whatever thread reads it. */
std::atomic<const char *> s_configDir{nullptr};

/* ---- Start and stop tasks ---- */

void startTask(void *)
{
    intptr_t lock = s_lifecycleLock.load();
    TQ_mutexLock(lock);
    TQ_Server_initName();
    TQ_Server_Services_preinit();
    TQ_Server_startCommunication();
    TQ_Server_Services_postinit();
    TQ_mutexUnlock(lock);
    s_postinit.load()();
}

/* A stop requested during the start sequence (a service's hook may ask for
 * one) first waits for the sequence to finish, so communication is never
 * torn down while it is still coming up. The lock is only passed through:
 * the stop sequence itself runs without it. */
void stopTask(void *)
{
    intptr_t lock = s_lifecycleLock.load();
    TQ_mutexLock(lock);
    TQ_mutexUnlock(lock);
    s_predestroy.load()();
    TQ_Server_Services_predestroy();
    TQ_Server_stopCommunication();
    TQ_Server_Services_postdestroy();
    TQ_Server_destroyCommunication();
    s_postdestroy.load()();
}

/* Changes the running flag to `value` under the lifecycle lock and returns
 * true; when the flag already has that value, or the core has no lifecycle
 * lock yet, logs `refusal` and returns false. */
bool setRunning(int32_t value, const char *refusal)
{
    intptr_t lock = s_lifecycleLock.load();
    bool changed = false;
    if (lock != 0) {
        TQ_mutexLock(lock);
        changed = s_running != value;
        s_running = value;
        TQ_mutexUnlock(lock);
    }
    if (!changed)
        TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "%s", refusal);
    return changed;
}

/* Replaces the string at *slot with a copy of text under the server state
 * lock. When the copy cannot be had the stored string is kept. */
void storeString(char **slot, const char *text)
{
    TQ_mutexLock(g_comm.stateLock);
    char *copy = text ? TQ_copyStringWithAllocator(g_TQ_serverAllocator, text) : nullptr;
    if (copy || !text) {
        TQ_freeStringWithAllocator(g_TQ_serverAllocator, *slot);
        *slot = copy;
    }
    TQ_mutexUnlock(g_comm.stateLock);
}

char *copyString(char *const *slot)
{
    TQ_mutexLock(g_comm.stateLock);
    char *copy = *slot ? TQ_copyStringWithAllocator(g_TQ_serverAllocator, *slot) : nullptr;
    TQ_mutexUnlock(g_comm.stateLock);
    return copy;
}

} /* namespace */

/* ---- Lifecycle ---- */

void TQ_Server_init(TQ_Allocator *allocator)
{
    TQ_initTime();
    s_lifecycleLock.store(TQ_mutexCreate());
    s_running = 0;
    g_TQ_serverAllocator = allocator;
    TQ_Server_initCommunication();
    TQ_Server_initServices();
}

void TQ_Server_run(void)
{
    if (!setRunning(1, "Server is already starting\n"))
        return;
    TQ_startTask(startTask, nullptr, 1024, 2, "Start");
    TQ_startScheduler();
}

void TQ_Server_stop(void)
{
    if (setRunning(0, "Server is already stopping\n"))
        TQ_startTask(stopTask, nullptr, 512, 3, "Stop");
}

void TQ_Server_destroy(void)
{
    TQ_Server_destroyServices();
    TQ_Server_cleanupCommunication();
    TQ_mutexDelete(s_lifecycleLock.exchange(0));
}

TQ_Logger *TQ_Server_getLog(void)
{
    return &g_TQ_serverLog;
}

void TQ_Server_setInstallRoot(const char *root)
{
    if (!root || s_configDir.load(std::memory_order_acquire))
        return;
    static const char kConfig[] = "/Config";
    size_t length = strlen(root);
    char *dir = static_cast<char *>(malloc(length + sizeof kConfig));
    if (!dir) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_ERROR, "No memory for the configuration directory of %s\n", root);
        return;
    }
    memcpy(dir, root, length);
    memcpy(dir + length, kConfig, sizeof kConfig);
    s_configDir.store(dir, std::memory_order_release);
}

const char *TQ_Server_getConfigDir(void)
{
    return s_configDir.load(std::memory_order_acquire);
}

void TQ_Server_setPostinitCallback(TQ_Server_Callback callback)
{
    s_postinit.store(callback ? callback : doNothing);
}

void TQ_Server_setPredestroyCallback(TQ_Server_Callback callback)
{
    s_predestroy.store(callback ? callback : doNothing);
}

void TQ_Server_setPostdestroyCallback(TQ_Server_Callback callback)
{
    s_postdestroy.store(callback ? callback : doNothing);
}

/* ---- Identity ---- */

const TQ_Uuid *TQ_Server_getUuid(void)
{
    return &g_comm.uuid;
}

void TQ_Server_setName(const char *text)
{
    storeString(&g_comm.name, text);
}

void TQ_Server_setNetworkId(const char *text)
{
    storeString(&g_comm.networkId, text);
}

char *TQ_Server_getName(void)
{
    return copyString(&g_comm.name);
}

char *TQ_Server_getNetworkId(void)
{
    return copyString(&g_comm.networkId);
}

void TQ_Server_initName(void)
{
    TQ_mutexLock(g_comm.stateLock);
    if (!g_comm.name) {
        char host[64];
        TQ_getHostname(host, sizeof host);
        host[sizeof host - 1] = '\0';
        g_comm.name = TQ_copyStringWithAllocator(g_TQ_serverAllocator, host);
    }
    TQ_mutexUnlock(g_comm.stateLock);
}

void Tessarc::Core::defaultNetworkId()
{
    TQ_mutexLock(g_comm.stateLock);
    if (!g_comm.networkId)
        g_comm.networkId = TQ_copyStringWithAllocator(g_TQ_serverAllocator, "Tessarc");
    TQ_mutexUnlock(g_comm.stateLock);
}
