/* The communication state: registered protocols, the node tables, the work
 * queue and its worker thread, the installed managers; starting, stopping
 * and tearing communication down; the protocol callback record. The default
 * communication manager is in commmanager.cpp, the broadcast tables in
 * broadcast.cpp. */
#include <string.h>

#include "core.h"

using namespace Tessarc::Core;

namespace Tessarc {
namespace Core {

CommState g_comm;

TQ_Server_EncryptionContext g_encryptionContext = {nullptr, &g_TQ_serverLog};

} /* namespace Core */
} /* namespace Tessarc */

namespace {

/* Stack of the worker thread in words; priority 2 is normal. */
const uint32_t kWorkerStackWords = 1024;
const int kWorkerPriority = 2;

/* ---- Work queue ---- */

/* Runs queued records until cancelled. One wake drains the whole queue in
 * order, each record with no lock held; the cancellation is looked at only
 * after a drain, so the final signal at teardown still runs what is queued. */
void workerMain(intptr_t self, void *)
{
    for (;;) {
        TQ_semWait(g_comm.workSemaphore, TQ_WAIT_FOREVER);
        TQ_mutexLock(g_comm.workMutex);
        while (!TQ_listEmpty(&g_comm.workQueue)) {
            void *record = TQ_listPopFront(&g_comm.workQueue);
            TQ_mutexUnlock(g_comm.workMutex);
            const TQ_Server_WorkOps *ops = *static_cast<const TQ_Server_WorkOps *const *>(record);
            ops->run(record);
            TQ_mutexLock(g_comm.workMutex);
        }
        TQ_mutexUnlock(g_comm.workMutex);
        if (TQ_threadTestCancel(self))
            return;
    }
}

void queueWork(void *record)
{
    TQ_mutexLock(g_comm.workMutex);
    TQ_listPushBack(&g_comm.workQueue, record);
    TQ_mutexUnlock(g_comm.workMutex);
    TQ_semSignal(g_comm.workSemaphore);
}

/* ---- Protocol callbacks ---- */

void addInterface(TQ_Interface *interface)
{
    if (TQ_Server_CommManager *manager = g_comm.commManager.load())
        manager->addInterface(interface);
}

void removeInterface(TQ_Interface *interface)
{
    if (TQ_Server_CommManager *manager = g_comm.commManager.load())
        manager->removeInterface(interface);
}

TQ_Server_Node *lookUpNode(TQ_HashSet *table, const TQ_Uuid *uuid)
{
    TQ_Server_Node *node = nullptr;
    TQ_mutexLock(g_comm.stateLock);
    TQ_HashSetIterator it;
    if (TQ_hashSetFind(table, &it, uuid)) {
        TQ_Server_Node *found = static_cast<TQ_Server_Node *>(it.m_value);
        node = found->acquire(found);
    }
    TQ_mutexUnlock(g_comm.stateLock);
    return node;
}

} /* namespace */

TQ_Server_ProtocolCallbacks Tessarc::Core::g_protocolCallbacks = {
    addInterface,    removeInterface,      addConnectionCallback, queueWork, removeConnectionCallback, receiveCallback,
    nullptr, /* allocator: stored when communication starts */
    &g_TQ_serverLog, TQ_SERVER_SIZE_LIMIT,
};

/* ---- Lifecycle of the communication state ---- */

void TQ_Server_initCommunication(void)
{
    TQ_listInit(&g_comm.protocols);
    TQ_getRandomBytes(&g_comm.uuid, sizeof g_comm.uuid);
    TQ_hashSetInit(&g_comm.clients, TQ_uuidEqual, TQ_uuidHash);
    TQ_hashSetInit(&g_comm.servers, TQ_uuidEqual, TQ_uuidHash);
    g_comm.stateLock = TQ_mutexCreate();
    g_comm.clientCounter = 0;
    g_comm.broadcastSequence = 0;
    g_comm.name = nullptr;
    g_comm.networkId = nullptr;
    g_comm.started = false;
    g_comm.commManager.store(&g_TQ_Server_defaultCommManager);
    g_comm.encryption.store(nullptr);
    g_comm.groupManager.store(nullptr);
    TQ_Server_setGroupManager(TQ_Server_getDefaultGroupManager());
}

void TQ_Server_startCommunication(void)
{
    g_protocolCallbacks.allocator = g_TQ_serverAllocator;
    g_encryptionContext.allocator = g_TQ_serverAllocator;
    defaultNetworkId();

    g_comm.workMutex = TQ_mutexCreate();
    g_comm.workSemaphore = TQ_semCreate();
    TQ_listInit(&g_comm.workQueue);
    g_comm.worker = TQ_threadCreate(workerMain, nullptr, kWorkerStackWords, kWorkerPriority);
    if (g_comm.worker == -1)
        TQ_log(&g_TQ_serverLog, TQ_LOG_ERROR, "CM: cannot start the work queue thread; queued work will not run\n");
    createBroadcastTables();
    g_comm.started = true;
    registerCoreMetrics();

    TQ_Server_Encryption *provider = g_comm.encryption.load();
    if (provider && provider->init(&g_encryptionContext) == -1)
        g_comm.encryption.store(nullptr);

    TQ_Server_CommManager *manager = g_comm.commManager.load();
    if (!manager)
        return;
    manager->init(g_TQ_serverAllocator, &g_protocolCallbacks, &g_comm.protocols);
    TQ_ListIterator it;
    for (TQ_listBegin(&g_comm.protocols, &it); TQ_listHasNext(&it); TQ_listNext(&it))
        manager->startProtocol(static_cast<TQ_Server_Protocol *>(it.m_value));
}

void TQ_Server_stopCommunication(void)
{
    if (TQ_Server_CommManager *manager = g_comm.commManager.load())
        manager->stop();
    if (TQ_Server_Encryption *provider = g_comm.encryption.load())
        provider->stop();
}

void TQ_Server_destroyCommunication(void)
{
    /* Before anything they read goes; waits for an exposition in progress. */
    if (g_comm.started)
        unregisterCoreMetrics();
    TQ_ListIterator it;
    for (TQ_listBegin(&g_comm.protocols, &it); TQ_listHasNext(&it); TQ_listNext(&it))
        static_cast<TQ_Server_Protocol *>(it.m_value)->destroy();
    if (TQ_Server_CommManager *manager = g_comm.commManager.load())
        manager->destroy();
    if (TQ_Server_GroupManager *groups = g_comm.groupManager.exchange(nullptr))
        groups->destroy();
    __atomic_store_n(&g_TQ_Server_serviceApi.groupManager, nullptr, __ATOMIC_RELEASE);

    if (g_comm.started) {
        destroyBroadcastTables();
        if (g_comm.worker != -1) {
            TQ_threadCancel(g_comm.worker);
            TQ_semSignal(g_comm.workSemaphore);
            TQ_threadDelete(g_comm.worker);
        }
        /* Without a worker nothing ran what was queued; the records are the
         * protocols' and are only forgotten here. */
        TQ_mutexDelete(g_comm.workMutex);
        TQ_semDelete(g_comm.workSemaphore);
        TQ_listDestroy(&g_comm.workQueue);
        g_comm.started = false;
    }

    TQ_mutexDelete(g_comm.stateLock);
    g_comm.stateLock = 0;
    TQ_hashSetDestroy(&g_comm.clients);
    TQ_hashSetDestroy(&g_comm.servers);
    TQ_freeStringWithAllocator(g_TQ_serverAllocator, g_comm.name);
    TQ_freeStringWithAllocator(g_TQ_serverAllocator, g_comm.networkId);
    g_comm.name = nullptr;
    g_comm.networkId = nullptr;
}

void TQ_Server_cleanupCommunication(void)
{
    TQ_listDestroy(&g_comm.protocols);
}

/* ---- Protocols, nodes and installed tables ---- */

void TQ_Server_addProtocol(TQ_Server_Protocol *protocol)
{
    TQ_ListIterator it;
    for (TQ_listBegin(&g_comm.protocols, &it); TQ_listHasNext(&it); TQ_listNext(&it)) {
        if (strcmp(static_cast<TQ_Server_Protocol *>(it.m_value)->name, protocol->name) == 0) {
            it.m_node->m_value = protocol;
            return;
        }
    }
    TQ_listPushBack(&g_comm.protocols, protocol);
}

TQ_Server_Protocol *TQ_Server_getProtocol(const char *name)
{
    TQ_ListIterator it;
    for (TQ_listBegin(&g_comm.protocols, &it); TQ_listHasNext(&it); TQ_listNext(&it)) {
        TQ_Server_Protocol *protocol = static_cast<TQ_Server_Protocol *>(it.m_value);
        if (strcmp(protocol->name, name) == 0)
            return protocol;
    }
    return nullptr;
}

TQ_Server_Node *TQ_Server_getServer(const TQ_Uuid *uuid)
{
    return lookUpNode(&g_comm.servers, uuid);
}

TQ_Server_Node *TQ_Server_getClient(const TQ_Uuid *uuid)
{
    return lookUpNode(&g_comm.clients, uuid);
}

void TQ_Server_setCommunicationManager(TQ_Server_CommManager *manager)
{
    g_comm.commManager.store(manager);
}

void TQ_Server_setEncryption(TQ_Server_Encryption *provider)
{
    g_comm.encryption.store(provider);
}
