/* The connection handshake: the basic datasets (network ID, accept/reject,
 * node name, UUID) that turn a new connection into a client or server node,
 * and the neighbour datasets that tell servers which servers each of their
 * neighbours is linked to.
 *
 * Every step runs on the thread that delivers the connection's datasets,
 * one dataset at a time per connection. A malformed basic dataset ends the
 * connection: "reject" tells the peer with an accept dataset of verdict 0,
 * closes and invalidates; "invalidate" ends it without a word. The byte
 * layout of every dataset here is tessarc/wire.h's. */
#include "core.h"

#include <string.h>

#include <vector>

using namespace Tessarc;
using namespace Tessarc::Core;

/* ---- Building, sending and reading datasets ---- */

/* A new dataset of `length` bytes holding `bytes`, one reference held by
 * the caller; null when the allocator has nothing left. */
static TQ_Buffer *makeDataset(const uint8_t *bytes, uint32_t length)
{
    TQ_Allocator *allocator = g_TQ_serverAllocator;
    TQ_Buffer *dataset = allocator->allocBuffer(allocator, length);
    if (!dataset)
        return NULL;
    TQ_bufferAcquire(dataset);
    TQ_BufferIter it;
    TQ_bufferInitIter(dataset, &it);
    TQ_bufferCopyTo(&it, bytes, length);
    return dataset;
}

static void sendBytes(TQ_Connection *connection, const uint8_t *bytes, uint32_t length)
{
    TQ_Buffer *dataset = makeDataset(bytes, length);
    if (!dataset)
        return;
    connection->send(connection, dataset);
    TQ_bufferRelease(dataset);
}

/* Copies `count` bytes at `offset` of the dataset; 1, or -1 when the
 * dataset is shorter. */
static int readAt(TQ_Buffer *dataset, uint32_t offset, void *out, uint32_t count)
{
    TQ_BufferIter it;
    TQ_bufferInitIter(dataset, &it);
    if (TQ_bufferSkip(&it, offset) != 1)
        return -1;
    return TQ_bufferCopyFrom(out, &it, count);
}

/* The text from `offset` to the end of the dataset, cut to 256 bytes, with
 * the last byte of the range made NUL: at most 255 characters, terminated
 * even when the peer sent no NUL. The caller ensures offset < size. */
static void readText(TQ_Buffer *dataset, uint32_t offset, char out[TQ_WIRE_TEXT_LIMIT])
{
    uint32_t count = TQ_bufferSize(dataset) - offset;
    if (count > TQ_WIRE_TEXT_LIMIT)
        count = TQ_WIRE_TEXT_LIMIT;
    if (readAt(dataset, offset, out, count) != 1)
        count = 1;
    out[count - 1] = '\0';
}

/* ---- Ending a connection ---- */

static void sendVerdict(TQ_Connection *connection, uint8_t verdict)
{
    uint8_t bytes[TQ_ACCEPT_SIZE];
    TQ_wirePutHeader(bytes, TQ_ACCEPT_SIZE, TQ_DATASET_BASIC, TQ_FLAG_RELIABLE);
    bytes[TQ_BASIC_SUBTYPE_OFFSET] = TQ_BASIC_ACCEPT;
    bytes[TQ_ACCEPT_VERDICT_OFFSET] = verdict;
    sendBytes(connection, bytes, TQ_ACCEPT_SIZE);
}

static void reject(TQ_Connection *connection)
{
    sendVerdict(connection, 0);
    connection->ops->close(connection);
    TQ_connectionInvalidate(connection);
}

static void invalidate(TQ_Connection *connection)
{
    TQ_connectionInvalidate(connection);
}

/* Sets the connection's node unless one is attached already; 1 on success,
 * -1 when the connection has a node. */
static int attachNode(TQ_Connection *connection, TQ_Server_Node *node)
{
    int done = -1;
    TQ_mutexLock(connection->lock);
    if (!connection->node) {
        setConnectionNode(connection, node);
        done = 1;
    }
    TQ_mutexUnlock(connection->lock);
    return done;
}

/* ---- Network ID ---- */

void Core::sendNetworkId(TQ_Connection *connection)
{
    uint8_t bytes[TQ_NETID_MIN_SIZE + TQ_WIRE_TEXT_LIMIT];
    TQ_mutexLock(g_comm.stateLock);
    const char *id = g_comm.networkId ? g_comm.networkId : "";
    uint32_t textLength = (uint32_t)strlen(id);
    if (textLength > TQ_WIRE_TEXT_LIMIT - 1)
        textLength = TQ_WIRE_TEXT_LIMIT - 1;
    uint32_t length = TQ_NETID_MIN_SIZE + textLength;
    TQ_wirePutHeader(bytes, length, TQ_DATASET_BASIC, TQ_FLAG_RELIABLE);
    bytes[TQ_BASIC_SUBTYPE_OFFSET] = TQ_BASIC_NETWORK_ID;
    bytes[TQ_NETID_MARKER_OFFSET] = 1;
    TQ_wirePutU16(bytes + TQ_NETID_MAJOR_OFFSET, TQ_WIRE_VERSION_MAJOR);
    TQ_wirePutU16(bytes + TQ_NETID_MINOR_OFFSET, TQ_WIRE_VERSION_MINOR);
    memcpy(bytes + TQ_NETID_TEXT_OFFSET, id, textLength);
    bytes[TQ_NETID_TEXT_OFFSET + textLength] = '\0';
    TQ_mutexUnlock(g_comm.stateLock);
    sendBytes(connection, bytes, length);
}

static int networkIdMatches(const char *text)
{
    TQ_mutexLock(g_comm.stateLock);
    const char *own = g_comm.networkId;
    int match = own && strcmp(text, own) == 0;
    TQ_mutexUnlock(g_comm.stateLock);
    return match;
}

/* Sends the own UUID and server name once both sides have accepted a
 * server link; a client link waits for the client's name. */
static void identityStep(TQ_Connection *connection)
{
    TQ_Server_Encryption *encryption = g_comm.encryption.load();
    int encryptable = encryption && encryption->canEncrypt(connection);
    if (!connection->isServer) {
        if (encryptable)
            encryption->startUpperSide(connection);
        return;
    }
    uint8_t bytes[TQ_UUID_DATASET_MIN_SIZE + TQ_WIRE_TEXT_LIMIT];
    TQ_mutexLock(g_comm.stateLock);
    const char *name = g_comm.name ? g_comm.name : "";
    uint32_t textLength = (uint32_t)strlen(name);
    if (textLength > TQ_WIRE_TEXT_LIMIT - 1)
        textLength = TQ_WIRE_TEXT_LIMIT - 1;
    uint32_t length = TQ_UUID_DATASET_MIN_SIZE + textLength;
    TQ_wirePutHeader(bytes, length, TQ_DATASET_BASIC, TQ_FLAG_RELIABLE | (encryptable ? TQ_FLAG_ENCRYPT : 0));
    bytes[TQ_BASIC_SUBTYPE_OFFSET] = TQ_BASIC_UUID;
    memset(bytes + TQ_BASIC_SUBTYPE_OFFSET + 1, 0, TQ_UUID_DATASET_ID_OFFSET - TQ_BASIC_SUBTYPE_OFFSET - 1);
    memcpy(bytes + TQ_UUID_DATASET_ID_OFFSET, &g_comm.uuid, TQ_WIRE_UUID_SIZE);
    memcpy(bytes + TQ_UUID_DATASET_NAME_OFFSET, name, textLength);
    bytes[TQ_UUID_DATASET_NAME_OFFSET + textLength] = '\0';
    TQ_mutexUnlock(g_comm.stateLock);
    sendBytes(connection, bytes, length);
}

static void acceptPeer(TQ_Connection *connection)
{
    connection->localAccepted = 1;
    sendVerdict(connection, 1);
    if (connection->remoteAccepted) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "Connection %s is fully accepted (1)\n", connection->name);
        identityStep(connection);
    }
}

static void gotNetworkId(TQ_Connection *connection, TQ_Buffer *dataset, uint32_t size)
{
    if (size < TQ_NETID_MIN_SIZE) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "Bad netid dataset; invalidating\n");
        reject(connection);
        return;
    }
    if (connection->localAccepted) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_ERROR, "Got a network ID on connection %s after accepting it; invalidating\n",
               connection->name);
        invalidate(connection);
        return;
    }
    TQ_BufferIter it;
    TQ_bufferInitIter(dataset, &it);
    uint8_t nul = 0;
    TQ_bufferSkip(&it, size - 1);
    TQ_bufferCopyTo(&it, &nul, 1);

    uint8_t version[4];
    readAt(dataset, TQ_NETID_MAJOR_OFFSET, version, sizeof version);
    uint16_t major = TQ_wireGetU16(version), minor = TQ_wireGetU16(version + 2);
    if (!TQ_wireVersionAccepted(major, minor)) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "Version %u.%u is too old; rejecting.\n", major, minor);
        reject(connection);
        return;
    }
    connection->peerVersionMajor = major;
    connection->peerVersionMinor = minor;
    char text[TQ_WIRE_TEXT_LIMIT];
    readText(dataset, TQ_NETID_TEXT_OFFSET, text);
    char safe[TQ_SERVER_ESCAPED_SIZE];
    TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "Got network ID: %s (version %u.%u)\n",
           TQ_Server_escapeText(text, safe, sizeof safe), major, minor);
    if (networkIdMatches(text)) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "Accepting (network ID matches)\n");
        acceptPeer(connection);
    } else if (!connection->isServer && strcmp(text, "*") == 0) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "Accepting wildcard client\n");
        acceptPeer(connection);
    } else {
        TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "Rejecting\n");
        reject(connection);
    }
}

/* ---- Accept / reject ---- */

static void gotVerdict(TQ_Connection *connection, TQ_Buffer *dataset, uint32_t size)
{
    if (size != TQ_ACCEPT_SIZE) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "Bad accept/reject dataset; invalidating\n");
        invalidate(connection);
        return;
    }
    uint8_t verdict = 0;
    readAt(dataset, TQ_ACCEPT_VERDICT_OFFSET, &verdict, 1);
    TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "Got accept/reject: %d\n", verdict);
    if (verdict == 0) {
        connection->ops->close(connection);
        invalidate(connection);
        return;
    }
    if (connection->remoteAccepted) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_ERROR, "Got a second accept on connection %s; invalidating\n", connection->name);
        invalidate(connection);
        return;
    }
    connection->remoteAccepted = 1;
    if (connection->localAccepted) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "Connection %s is fully accepted (2)\n", connection->name);
        identityStep(connection);
    }
}

/* ---- Neighbour datasets ---- */

/* Sends a one-entry neighbour dataset (`uuid`, age 0) of the given subtype
 * to every live server node in the server table. Caller holds the server
 * state lock.
 *
 * The nodes are acquired first and sent to after the walk: a send may drop
 * the last reference of a connection whose protocol then removes it at once
 * (from its destroy), which can free a node and take it out of the table.
 * Held, no node is freed before its release, after the walk. */
void Core::announceNeighbour(uint8_t subtype, const TQ_Uuid *uuid)
{
    uint8_t bytes[TQ_NEIGHBOURS_FIXED_SIZE + TQ_NEIGHBOUR_ENTRY_SIZE];
    TQ_wirePutHeader(bytes, sizeof bytes, TQ_DATASET_BASIC, TQ_FLAG_RELIABLE);
    bytes[TQ_BASIC_SUBTYPE_OFFSET] = subtype;
    bytes[TQ_BASIC_SUBTYPE_OFFSET + 1] = 0;
    TQ_wirePutU16(bytes + TQ_NEIGHBOURS_COUNT_OFFSET, 1);
    memcpy(bytes + TQ_NEIGHBOURS_FIXED_SIZE, uuid, TQ_WIRE_UUID_SIZE);
    TQ_wirePutU32(bytes + TQ_NEIGHBOURS_FIXED_SIZE + TQ_NEIGHBOUR_AGE_OFFSET, 0);
    TQ_Buffer *dataset = makeDataset(bytes, sizeof bytes);
    if (!dataset)
        return;
    std::vector<TQ_Server_Node *> nodes;
    nodes.reserve(TQ_hashSetSize(&g_comm.servers));
    TQ_HashSetIterator it;
    for (TQ_hashSetBegin(&g_comm.servers, &it); TQ_hashSetHasNext(&it); TQ_hashSetNext(&it)) {
        TQ_Server_Node *node = (TQ_Server_Node *)it.m_value;
        if (node->acquire(node))
            nodes.push_back(node);
    }
    for (TQ_Server_Node *node : nodes) {
        node->send(node, dataset);
        node->release(node);
    }
    TQ_bufferRelease(dataset);
}

/* Sends the new connection one entry per server node in the table: its
 * UUID and how long it has been linked (0xFFFFFFFF when that does not fit
 * 32 bits). Caller holds the server state lock. */
static void sendNeighbourList(TQ_Connection *connection)
{
    TQ_HashSet *table = &g_comm.servers;
    uint32_t count = TQ_hashSetSize(table);
    if (count > TQ_NEIGHBOURS_MAX_COUNT)
        count = TQ_NEIGHBOURS_MAX_COUNT;
    uint32_t length = TQ_NEIGHBOURS_FIXED_SIZE + TQ_NEIGHBOUR_ENTRY_SIZE * count;
    TQ_Allocator *allocator = g_TQ_serverAllocator;
    TQ_Buffer *dataset = allocator->allocBuffer(allocator, length);
    if (!dataset)
        return;
    TQ_bufferAcquire(dataset);
    TQ_BufferIter out;
    TQ_bufferInitIter(dataset, &out);
    uint8_t head[TQ_NEIGHBOURS_FIXED_SIZE];
    TQ_wirePutHeader(head, length, TQ_DATASET_BASIC, TQ_FLAG_RELIABLE);
    head[TQ_BASIC_SUBTYPE_OFFSET] = TQ_BASIC_ADD_NEIGHBOURS;
    head[TQ_BASIC_SUBTYPE_OFFSET + 1] = 0;
    TQ_wirePutU16(head + TQ_NEIGHBOURS_COUNT_OFFSET, (uint16_t)count);
    TQ_bufferCopyTo(&out, head, sizeof head);
    uint64_t now = TQ_getTimeMs();
    TQ_HashSetIterator it;
    uint32_t written = 0;
    for (TQ_hashSetBegin(table, &it); TQ_hashSetHasNext(&it) && written < count; TQ_hashSetNext(&it)) {
        TQ_Server_Node *node = (TQ_Server_Node *)it.m_value;
        uint64_t age = now > node->connectedAt ? now - node->connectedAt : 0;
        uint8_t entry[TQ_NEIGHBOUR_ENTRY_SIZE];
        memcpy(entry, &node->id, TQ_WIRE_UUID_SIZE);
        TQ_wirePutU32(entry + TQ_NEIGHBOUR_AGE_OFFSET,
                      age > TQ_NEIGHBOUR_AGE_MAX ? TQ_NEIGHBOUR_AGE_MAX : (uint32_t)age);
        TQ_bufferCopyTo(&out, entry, sizeof entry);
        written++;
    }
    connection->send(connection, dataset);
    TQ_bufferRelease(dataset);
}

/* Neighbours stored for one server node. A peer may announce up to 65535
 * per dataset, and as many datasets as it likes; past the bound its
 * entries are not stored. */
static std::atomic<uint32_t> s_neighbourLimit{TQ_SERVER_NEIGHBOUR_LIMIT};

static void gotNeighbours(TQ_Connection *connection, TQ_Buffer *dataset, uint32_t size, uint8_t subtype)
{
    TQ_Server_Node *node = connectionNode(connection);
    if (!connection->isServer || !node || !node->isServer) {
        TQ_Server_logPeerFault(connection, &g_TQ_serverLog, TQ_LOG_ERROR,
                               "Got a remove neighbour dataset from the wrong kind of connection\n");
        return;
    }
    uint8_t head[TQ_NEIGHBOURS_FIXED_SIZE];
    if (size < TQ_NEIGHBOURS_FIXED_SIZE || readAt(dataset, 0, head, sizeof head) != 1 ||
        size != TQ_NEIGHBOURS_FIXED_SIZE +
                    TQ_NEIGHBOUR_ENTRY_SIZE * (uint32_t)TQ_wireGetU16(head + TQ_NEIGHBOURS_COUNT_OFFSET)) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_ERROR, "Bad remove neighbour dataset; invalidating\n");
        invalidate(connection);
        return;
    }
    uint32_t count = TQ_wireGetU16(head + TQ_NEIGHBOURS_COUNT_OFFSET);
    TQ_Server_ServerNode *server = (TQ_Server_ServerNode *)node;
    TQ_Allocator *allocator = g_TQ_serverAllocator;
    TQ_BufferIter in;
    TQ_bufferInitIter(dataset, &in);
    TQ_bufferSkip(&in, TQ_NEIGHBOURS_FIXED_SIZE);
    uint64_t now = TQ_getTimeMs();
    uint32_t limit = s_neighbourLimit.load(std::memory_order_relaxed);
    bool capped = false, warn = false;
    TQ_mutexLock(node->lock);
    for (uint32_t i = 0; i < count; i++) {
        uint8_t entry[TQ_NEIGHBOUR_ENTRY_SIZE];
        if (TQ_bufferCopyFrom(entry, &in, sizeof entry) != 1)
            break;
        if (subtype == TQ_BASIC_ADD_NEIGHBOURS) {
            if (TQ_hashSetSize(&server->neighbours) >= limit) {
                capped = true;
                break;
            }
            TQ_Server_Neighbour *neighbour = (TQ_Server_Neighbour *)allocator->allocBlock32(allocator);
            if (!neighbour)
                break;
            uint32_t age = TQ_wireGetU32(entry + TQ_NEIGHBOUR_AGE_OFFSET);
            memcpy(&neighbour->uuid, entry, TQ_WIRE_UUID_SIZE);
            neighbour->since = age < now ? now - age : 0;
            if (TQ_hashSetInsert(&server->neighbours, neighbour) != neighbour)
                allocator->freeBlock32(allocator, neighbour);
        } else {
            TQ_Uuid uuid;
            memcpy(&uuid, entry, TQ_WIRE_UUID_SIZE);
            void *gone = TQ_hashSetRemoveNoFree(&server->neighbours, &uuid);
            if (gone)
                allocator->freeBlock32(allocator, gone);
        }
    }
    if (capped && !server->neighboursCapped) {
        server->neighboursCapped = 1;
        warn = true;
    }
    TQ_mutexUnlock(node->lock);
    if (warn)
        TQ_log(&g_TQ_serverLog, TQ_LOG_WARN,
               "Server %s announced more than %u neighbours; the rest are not stored, so it may be sent broadcasts "
               "it has\n",
               node->name ? node->name : "?", (unsigned)limit);
}

void TQ_Server_setNeighbourLimit(uint32_t limit)
{
    s_neighbourLimit.store(limit, std::memory_order_relaxed);
}

/* ---- Nodes: groups test and admission ---- */

/* The peer shares a group with this server when the group manager matches
 * the local groups against the node's, in either direction. Without a group
 * manager there is nobody to refuse the peer: it is admitted with an empty
 * group set. */
static int sharesGroups(TQ_Connection *connection, TQ_Server_Node *node)
{
    TQ_Server_GroupManager *groups = g_comm.groupManager.load();
    if (!groups)
        return 1;
    groups->peerGroups(connection, &node->groups);
    TQ_TreeSet *local = groups->localGroups();
    return groups->groupsMatch(local, &node->groups) || groups->groupsMatch(&node->groups, local);
}

/* Makes the node of a peer named `text` (a server node when `peer` is
 * given), runs the groups test and admits it: attaches it to the connection
 * and enters it in its table, a server node after announcing it to the
 * other servers and sending it the neighbour list. On failure the node is
 * freed before any table or service has seen it and the connection ended. */
static void admit(TQ_Connection *connection, const TQ_Uuid *peer, const char *text)
{
    char *name = TQ_copyStringWithAllocator(g_TQ_serverAllocator, text);
    TQ_Server_Node *node = !name  ? NULL
                           : peer ? makeServerNode(connection, peer, name)
                                  : makeClientNode(connection, name);
    if (!node) {
        TQ_freeStringWithAllocator(g_TQ_serverAllocator, name);
        char safe[TQ_SERVER_ESCAPED_SIZE];
        TQ_log(&g_TQ_serverLog, TQ_LOG_ERROR, "No memory for the node of %s; invalidating\n",
               TQ_Server_escapeText(text, safe, sizeof safe));
        invalidate(connection);
        return;
    }
    void (*freeNode)(TQ_Server_Node *) = peer ? freeServerNode : freeClientNode;
    if (!sharesGroups(connection, node)) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_ERROR,
               peer ? "No groups are shared with the server\n" : "No groups are shared with the client\n");
        freeNode(node);
        reject(connection);
        return;
    }
    TQ_mutexLock(g_comm.stateLock);
    /* A link of the same server may have been admitted on another thread
     * since the continuation looked; this one is then refused as it would
     * have been then. */
    int refused = peer && liveServerExists(peer);
    int attached = !refused && attachNode(connection, node) == 1;
    if (attached && peer) {
        announceNeighbour(TQ_BASIC_ADD_NEIGHBOURS, peer);
        sendNeighbourList(connection);
        enterServerNode(node);
    } else if (attached) {
        TQ_hashSetInsert(&g_comm.clients, node);
    }
    TQ_mutexUnlock(g_comm.stateLock);
    if (!attached) {
        freeNode(node);
        if (refused) {
            reject(connection);
        } else {
            TQ_log(&g_TQ_serverLog, TQ_LOG_ERROR, "Connection %s already has a node; invalidating\n", connection->name);
            invalidate(connection);
        }
        return;
    }
    if (TQ_Server_CommManager *manager = g_comm.commManager.load())
        manager->connectionReady(connection);
    TQ_Server_Services_addNode(node);
}

/* After the group exchange that a server's UUID dataset started: a second
 * link of a server whose node is live is refused. */
static void serverNameContinuation(TQ_Connection *connection, TQ_Buffer *dataset)
{
    TQ_Uuid peer;
    readAt(dataset, TQ_UUID_DATASET_ID_OFFSET, &peer, TQ_WIRE_UUID_SIZE);
    TQ_Server_Node *known = TQ_Server_getServer(&peer);
    if (known) {
        known->release(known);
        reject(connection);
        return;
    }
    char text[TQ_WIRE_TEXT_LIMIT];
    readText(dataset, TQ_UUID_DATASET_NAME_OFFSET, text);
    char safe[TQ_SERVER_ESCAPED_SIZE];
    TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "Got a server node name: %s\n", TQ_Server_escapeText(text, safe, sizeof safe));
    admit(connection, &peer, text);
}

/* After the group exchange that a client's node name dataset started. */
static void clientNameContinuation(TQ_Connection *connection, TQ_Buffer *dataset)
{
    char text[TQ_WIRE_TEXT_LIMIT];
    readText(dataset, TQ_NODE_NAME_TEXT_OFFSET, text);
    char safe[TQ_SERVER_ESCAPED_SIZE];
    TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "Got a client node name: %s\n", TQ_Server_escapeText(text, safe, sizeof safe));
    admit(connection, NULL, text);
}

/* ---- Node name and UUID ---- */

/* Hands the dataset to the group manager's exchange, which calls
 * `continuation` once the groups have been exchanged. Without a group
 * manager there is nothing to exchange and the continuation runs at once. */
static void exchangeGroups(TQ_Server_GroupContinuation continuation, TQ_Connection *connection, TQ_Buffer *dataset)
{
    if (TQ_Server_GroupManager *groups = g_comm.groupManager.load())
        groups->exchangeGroups(continuation, connection, dataset);
    else
        continuation(connection, dataset);
}

static void gotNodeName(TQ_Connection *connection, TQ_Buffer *dataset, uint32_t size)
{
    if (connectionNode(connection)) {
        TQ_Server_logPeerFault(connection, &g_TQ_serverLog, TQ_LOG_INFO, "Got node name again; ignoring\n");
        return;
    }
    if (size < TQ_NODE_NAME_MIN_SIZE) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "Bad node name dataset; invalidating\n");
        invalidate(connection);
        return;
    }
    if (!connection->isServer && connection->localAccepted && connection->remoteAccepted)
        exchangeGroups(clientNameContinuation, connection, dataset);
}

static void gotUuid(TQ_Connection *connection, TQ_Buffer *dataset, uint32_t size)
{
    if (size < TQ_UUID_DATASET_MIN_SIZE) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_ERROR, "Bad UUID dataset; invalidating\n");
        reject(connection);
        return;
    }
    if (connectionNode(connection)) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_ERROR, "Got a UUID on connection %s, which already has a node; invalidating\n",
               connection->name);
        invalidate(connection);
        return;
    }
    TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "Got a UUID\n");
    uint8_t head[TQ_DATASET_HEADER_SIZE];
    TQ_Uuid peer;
    readAt(dataset, 0, head, sizeof head);
    readAt(dataset, TQ_UUID_DATASET_ID_OFFSET, &peer, TQ_WIRE_UUID_SIZE);
    if (TQ_uuidEqual(&peer, &g_comm.uuid)) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_ERROR, "Connection %s claims this server's own identifier; rejecting\n",
               connection->name);
        reject(connection);
        return;
    }
    int required = (head[offsetof(TQ_DatasetHeader, flags)] & TQ_FLAG_ENCRYPT) != 0;
    TQ_Server_Encryption *encryption = g_comm.encryption.load();
    if (required && !encryption) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_ERROR, "Cannot encrypt connection, but it is required; invalidating\n");
        reject(connection);
        return;
    }
    if (required || (encryption && encryption->canEncrypt(connection))) {
        if (TQ_uuidCompare(&g_comm.uuid, &peer))
            encryption->startLowerSide(connection);
        else
            encryption->startUpperSide(connection);
    }
    if (connection->isServer && connection->localAccepted && connection->remoteAccepted)
        exchangeGroups(serverNameContinuation, connection, dataset);
}

/* ---- Basic dataset handler ---- */

void Core::handleBasicDataset(TQ_Connection *connection, TQ_Buffer *dataset)
{
    uint32_t size = TQ_bufferSize(dataset);
    uint8_t subtype = 0;
    if (size <= TQ_BASIC_SUBTYPE_OFFSET || readAt(dataset, TQ_BASIC_SUBTYPE_OFFSET, &subtype, 1) != 1) {
        TQ_Server_logPeerFault(connection, &g_TQ_serverLog, TQ_LOG_ERROR,
                               "Basic dataset of %u bytes has no subtype; invalidating\n", (unsigned)size);
        invalidate(connection);
        return;
    }
    /* A connection that was rejected or invalidated takes no further part in
     * the handshake, whatever its peer still sends. */
    TQ_mutexLock(connection->lock);
    int valid = connection->valid;
    TQ_mutexUnlock(connection->lock);
    if (!valid)
        return;
    switch (subtype) {
    case TQ_BASIC_NETWORK_ID:
        gotNetworkId(connection, dataset, size);
        break;
    case TQ_BASIC_ACCEPT:
        gotVerdict(connection, dataset, size);
        break;
    case TQ_BASIC_NODE_NAME:
        gotNodeName(connection, dataset, size);
        break;
    case TQ_BASIC_UUID:
        gotUuid(connection, dataset, size);
        break;
    case TQ_BASIC_ADD_NEIGHBOURS:
    case TQ_BASIC_REMOVE_NEIGHBOURS:
        gotNeighbours(connection, dataset, size, subtype);
        break;
    default:
        TQ_Server_logPeerFault(connection, &g_TQ_serverLog, TQ_LOG_INFO, "Unknown basic dataset type %d\n", subtype);
        break;
    }
}
