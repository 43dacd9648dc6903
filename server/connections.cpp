/* Connections and nodes: the connection record's locking and reference
 * counting, client and server node records and their place in the client
 * and server tables, and the protocol callbacks that add and remove
 * connections.
 *
 * Lock order, outermost first: server state lock, node lock, connection
 * lock. Connection `destroy`, service hooks and protocol sends that may
 * free records are made with no node or connection lock held. */
#include "core.h"

#include <string.h>

using namespace Tessarc;
using namespace Tessarc::Core;

/* ---- Connections ---- */

extern "C" void TQ_connectionInit(TQ_Connection *connection, TQ_Interface *interface)
{
    connection->interface = interface;
    connection->localAccepted = 0;
    connection->remoteAccepted = 0;
    connection->valid = 1;
    connection->refCount = 0;
    connection->lock = TQ_mutexCreate();
    setConnectionNode(connection, NULL);
    connection->moduleData = NULL;
}

extern "C" void TQ_connectionDestroy(TQ_Connection *connection)
{
    if (connection->lock != -1)
        TQ_mutexDelete(connection->lock);
    connection->lock = -1;
}

extern "C" TQ_Connection *TQ_connectionAcquire(TQ_Connection *connection)
{
    TQ_Connection *result = NULL;
    TQ_mutexLock(connection->lock);
    if (connection->valid) {
        connection->refCount++;
        result = connection;
    }
    TQ_mutexUnlock(connection->lock);
    return result;
}

extern "C" void TQ_connectionRelease(TQ_Connection *connection)
{
    TQ_mutexLock(connection->lock);
    connection->refCount--;
    int gone = !connection->valid && connection->refCount == 0;
    TQ_mutexUnlock(connection->lock);
    if (gone)
        connection->ops->destroy(connection);
}

extern "C" void TQ_connectionInvalidate(TQ_Connection *connection)
{
    TQ_mutexLock(connection->lock);
    if (!connection->valid) {
        TQ_mutexUnlock(connection->lock);
        return;
    }
    connection->valid = 0;
    int gone = connection->refCount == 0;
    TQ_mutexUnlock(connection->lock);
    if (gone)
        connection->ops->destroy(connection);
}

/* ---- Node records ---- */

/* Node info records are ordered by their key byte, the record's first. */
static int infoCompare(const void *a, const void *b)
{
    return *(const uint8_t *)a < *(const uint8_t *)b;
}

extern "C" void TQ_Server_nodeInit(TQ_Server_Node *node)
{
    node->lock = TQ_mutexCreate();
    TQ_treeSetInit(&node->info, infoCompare);
    TQ_treeSetInit(&node->groups, TQ_ptrCompare);
}

extern "C" void TQ_Server_nodeDestroy(TQ_Server_Node *node)
{
    TQ_TreeSetIterator it;
    for (TQ_treeSetBegin(&node->info, &it); TQ_treeSetHasNext(&it); TQ_treeSetNext(&it)) {
        TQ_Server_NodeInfo *info = (TQ_Server_NodeInfo *)it.m_value;
        info->destroy(info);
    }
    TQ_treeSetDestroy(&node->info);
    TQ_treeSetDestroy(&node->groups);
    TQ_mutexDelete(node->lock);
}

extern "C" void TQ_Server_nodeSetInfo(TQ_Server_Node *node, TQ_Server_NodeInfo *info, uint8_t key)
{
    TQ_Server_NodeInfo probe;
    memset(&probe, 0, sizeof probe);
    probe.key = key;
    TQ_mutexLock(node->lock);
    TQ_Server_NodeInfo *old = (TQ_Server_NodeInfo *)TQ_treeSetRemoveNoFree(&node->info, &probe);
    if (old)
        old->destroy(old);
    if (info) {
        info->key = key;
        TQ_treeSetInsert(&node->info, info);
    }
    TQ_mutexUnlock(node->lock);
}

extern "C" TQ_Server_NodeInfo *TQ_Server_nodeGetInfo(TQ_Server_Node *node, uint8_t key)
{
    TQ_Server_NodeInfo probe;
    memset(&probe, 0, sizeof probe);
    probe.key = key;
    TQ_Server_NodeInfo *found = NULL;
    TQ_TreeSetIterator it;
    TQ_mutexLock(node->lock);
    if (TQ_treeSetFind(&node->info, &it, &probe))
        found = (TQ_Server_NodeInfo *)it.m_value;
    TQ_mutexUnlock(node->lock);
    return found;
}

/* ---- Client nodes ---- */

static void clientSend(TQ_Server_Node *node, TQ_Buffer *dataset)
{
    TQ_Connection *connection = ((TQ_Server_ClientNode *)node)->connection;
    connection->send(connection, dataset);
}

static TQ_Server_Node *clientAcquire(TQ_Server_Node *node)
{
    return TQ_connectionAcquire(((TQ_Server_ClientNode *)node)->connection) ? node : NULL;
}

static void clientRelease(TQ_Server_Node *node)
{
    TQ_connectionRelease(((TQ_Server_ClientNode *)node)->connection);
}

TQ_Server_Node *Core::makeClientNode(TQ_Connection *connection, char *name)
{
    TQ_Allocator *allocator = g_TQ_serverAllocator;
    TQ_Server_ClientNode *client = (TQ_Server_ClientNode *)allocator->allocBlock256(allocator);
    if (!client)
        return NULL;
    memset(client, 0, sizeof *client);
    TQ_Server_Node *node = &client->base;

    TQ_mutexLock(g_comm.stateLock);
    uint64_t number = g_comm.clientCounter++;
    TQ_mutexUnlock(g_comm.stateLock);

    node->versionMajor = connection->peerVersionMajor;
    node->versionMinor = connection->peerVersionMinor;
    node->isServer = 0;
    uint8_t id[12] = {0};
    for (int i = 0; i < 8; i++)
        id[i] = (uint8_t)(number >> (8 * i));
    memcpy(&node->id, id, sizeof id);
    node->name = name;
    node->connectedAt = TQ_getTimeMs();
    node->send = clientSend;
    node->send2 = clientSend;
    node->acquire = clientAcquire;
    node->release = clientRelease;
    TQ_Server_nodeInit(node);
    client->connection = connection;
    return node;
}

void Core::freeClientNode(TQ_Server_Node *node)
{
    TQ_Allocator *allocator = g_TQ_serverAllocator;
    TQ_Server_nodeDestroy(node);
    TQ_freeStringWithAllocator(allocator, node->name);
    allocator->freeBlock256(allocator, node);
}

/* ---- Server nodes ---- */

/* Sends over the first connection of the node that still takes references;
 * with none left the dataset is dropped. */
static void serverSend(TQ_Server_Node *node, TQ_Buffer *dataset)
{
    TQ_Server_ServerNode *server = (TQ_Server_ServerNode *)node;
    TQ_Connection *usable = NULL;
    TQ_ListIterator it;
    TQ_mutexLock(node->lock);
    for (TQ_listBegin(&server->connections, &it); TQ_listHasNext(&it); TQ_listNext(&it)) {
        usable = TQ_connectionAcquire((TQ_Connection *)it.m_value);
        if (usable)
            break;
    }
    TQ_mutexUnlock(node->lock);
    if (usable) {
        usable->send(usable, dataset);
        TQ_connectionRelease(usable);
    }
}

static TQ_Server_Node *serverAcquire(TQ_Server_Node *node)
{
    TQ_Server_ServerNode *server = (TQ_Server_ServerNode *)node;
    TQ_Server_Node *result = NULL;
    TQ_mutexLock(node->lock);
    if (server->live) {
        server->refCount++;
        result = node;
    }
    TQ_mutexUnlock(node->lock);
    return result;
}

static void serverRelease(TQ_Server_Node *node)
{
    TQ_Server_ServerNode *server = (TQ_Server_ServerNode *)node;
    TQ_mutexLock(node->lock);
    server->refCount--;
    int gone = !server->live && server->refCount == 0;
    TQ_mutexUnlock(node->lock);
    if (gone) {
        TQ_Server_Services_removeNode(node);
        freeServerNode(node);
    }
}

TQ_Server_Node *Core::acquireNodeAndLink(TQ_Server_Node *node, TQ_Connection **link)
{
    *link = NULL;
    if (node->acquire != serverAcquire)
        return node->acquire(node);
    /* What serverAcquire and serverSend each do under the node lock, in one
     * hold of it. */
    TQ_Server_ServerNode *server = (TQ_Server_ServerNode *)node;
    TQ_Server_Node *result = NULL;
    TQ_ListIterator it;
    TQ_mutexLock(node->lock);
    if (server->live) {
        server->refCount++;
        result = node;
        for (TQ_listBegin(&server->connections, &it); TQ_listHasNext(&it) && !*link; TQ_listNext(&it))
            *link = TQ_connectionAcquire((TQ_Connection *)it.m_value);
    }
    TQ_mutexUnlock(node->lock);
    return result;
}

TQ_Server_Node *Core::makeServerNode(TQ_Connection *connection, const TQ_Uuid *id, char *name)
{
    TQ_Allocator *allocator = g_TQ_serverAllocator;
    TQ_Server_ServerNode *server = (TQ_Server_ServerNode *)allocator->allocBlock256(allocator);
    if (!server)
        return NULL;
    memset(server, 0, sizeof *server);
    TQ_Server_Node *node = &server->base;
    node->versionMajor = connection->peerVersionMajor;
    node->versionMinor = connection->peerVersionMinor;
    node->isServer = 1;
    node->id = *id;
    node->name = name;
    node->connectedAt = TQ_getTimeMs();
    node->send = serverSend;
    node->send2 = serverSend;
    node->acquire = serverAcquire;
    node->release = serverRelease;
    TQ_Server_nodeInit(node);
    server->live = 1;
    server->refCount = 0;
    TQ_listInit(&server->connections);
    TQ_listPushBack(&server->connections, connection);
    TQ_hashSetInit(&server->neighbours, TQ_uuidEqual, TQ_uuidHash);
    return node;
}

/* Removes `node` from `table` only when the entry under its identifier is
 * this very record: a server that linked again may have put a newer node in
 * its place. Caller holds the server state lock. */
static void removeOwnEntry(TQ_HashSet *table, TQ_Server_Node *node)
{
    TQ_HashSetIterator it;
    if (TQ_hashSetFind(table, &it, &node->id) && it.m_value == node)
        TQ_hashSetErase(&it);
}

/* Every broadcast and forward walks the whole server table bucket by
 * bucket, so the table keeps no more buckets than it has nodes (at least
 * 4) rather than the 32 a set starts with. Caller holds the server state
 * lock. */
static void fitServerTable()
{
    TQ_hashSetResize(&g_comm.servers, 0);
}

void Core::freeServerNode(TQ_Server_Node *node)
{
    TQ_Allocator *allocator = g_TQ_serverAllocator;
    TQ_Server_ServerNode *server = (TQ_Server_ServerNode *)node;
    TQ_mutexLock(g_comm.stateLock);
    removeOwnEntry(&g_comm.servers, node);
    fitServerTable();
    TQ_mutexUnlock(g_comm.stateLock);
    TQ_listDestroy(&server->connections);
    TQ_HashSetIterator it;
    for (TQ_hashSetBegin(&server->neighbours, &it); TQ_hashSetHasNext(&it); TQ_hashSetNext(&it))
        allocator->freeBlock32(allocator, it.m_value);
    TQ_hashSetDestroy(&server->neighbours);
    TQ_Server_nodeDestroy(node);
    TQ_freeStringWithAllocator(allocator, node->name);
    allocator->freeBlock256(allocator, node);
}

/* ---- Node tables ---- */

int Core::liveServerExists(const TQ_Uuid *id)
{
    TQ_HashSetIterator it;
    if (!TQ_hashSetFind(&g_comm.servers, &it, id))
        return 0;
    TQ_Server_ServerNode *old = (TQ_Server_ServerNode *)it.m_value;
    TQ_mutexLock(old->base.lock);
    int live = old->live;
    TQ_mutexUnlock(old->base.lock);
    return live;
}

void Core::enterServerNode(TQ_Server_Node *node)
{
    /* An entry under the same identifier belongs to a node that is gone
     * from the mesh but still held by a service; the new node takes its
     * place, and the old one, once released, finds the entry no longer its
     * own. */
    TQ_hashSetRemoveNoFree(&g_comm.servers, &node->id);
    TQ_hashSetInsert(&g_comm.servers, node);
    fitServerTable();
}

/* Takes the connection out of its server node. The node stops being live
 * with its last connection: every server is told it is no longer a
 * neighbour, and the node is freed now unless a reference is still held
 * (then the last release frees it). */
static void detachFromServerNode(TQ_Server_Node *node, TQ_Connection *connection)
{
    TQ_Server_ServerNode *server = (TQ_Server_ServerNode *)node;
    TQ_ListIterator it;
    TQ_mutexLock(g_comm.stateLock);
    TQ_mutexLock(node->lock);
    for (TQ_listBegin(&server->connections, &it); TQ_listHasNext(&it); TQ_listNext(&it)) {
        if (it.m_value == connection) {
            TQ_listErase(&it);
            break;
        }
    }
    int lost = 0, freeNow = 0;
    if (TQ_listEmpty(&server->connections) && server->live) {
        server->live = 0;
        lost = 1;
        freeNow = server->refCount == 0;
    }
    TQ_mutexUnlock(node->lock);
    if (lost)
        announceNeighbour(TQ_BASIC_REMOVE_NEIGHBOURS, &node->id);
    TQ_mutexUnlock(g_comm.stateLock);
    if (freeNow) {
        TQ_Server_Services_removeNode(node);
        freeServerNode(node);
    }
}

/* ---- Protocol callbacks: connections ---- */

/* Without a communication manager (a service may install none) nobody
 * takes the connection into the handshake: it stays idle until the
 * protocol removes it. */
void Core::addConnectionCallback(TQ_Connection *connection)
{
    TQ_Server_CommManager *manager = g_comm.commManager.load();
    if (manager && manager->addConnection(connection))
        sendNetworkId(connection);
}

void Core::removeConnectionCallback(TQ_Connection *connection)
{
    if (TQ_Server_CommManager *manager = g_comm.commManager.load())
        manager->removeConnection(connection);
    TQ_Server_Node *node = connectionNode(connection);
    if (node) {
        if (node->isServer) {
            detachFromServerNode(node, connection);
        } else {
            TQ_Server_Services_removeNode(node);
            TQ_mutexLock(g_comm.stateLock);
            removeOwnEntry(&g_comm.clients, node);
            TQ_mutexUnlock(g_comm.stateLock);
            freeClientNode(node);
        }
    }
    TQ_Server_Encryption *encryption = g_comm.encryption.load();
    if (encryption)
        encryption->removeConnection(connection);
    endPeerFaults(connection);
}
