/* Process-wide state of the server core, shared by the core's source files.
 * Not installed; modules never see it.
 *
 * Each section below is owned by one source file of server/; keep a
 * section's declarations between its banner and the next one. */
#ifndef TESSARC_SERVER_CORE_H
#define TESSARC_SERVER_CORE_H

#include <atomic>

#include <tessarc/server.h>

/* A per-thread variable of the core that the receive path reaches for
 * every dataset. The library is loaded with the program, so such variables
 * can sit in the initial TLS block and be reached at a fixed offset from
 * the thread pointer, instead of through a call to the TLS resolver on
 * each access. */
#define TQ_CORE_THREAD_LOCAL thread_local __attribute__((tls_model("initial-exec")))

namespace Tessarc {
namespace Core {

/* ---- Communication state (communication.cpp) ------------------------------ */

/* The communication state: zero until TQ_Server_initCommunication. Items
 * marked "server state lock" are read and written only with stateLock held;
 * the lock order is broadcast lock, server state lock, node lock, connection
 * lock. The work-queue mutex is always held alone. */
struct CommState {
    TQ_List protocols;          /* TQ_Server_Protocol pointers; filled before start, no lock */
    TQ_Uuid uuid;               /* own node identifier; written once in init */
    TQ_HashSet clients;         /* client nodes by id; server state lock */
    TQ_HashSet servers;         /* server nodes by id; server state lock */
    intptr_t stateLock;         /* the server state lock */
    uint64_t clientCounter;     /* next client identifier; server state lock */
    uint32_t broadcastSequence; /* next broadcast sequence number; server state lock */
    char *name;                 /* server allocator string or null; server state lock */
    char *networkId;            /* server allocator string or null; server state lock */

    bool started;      /* TQ_Server_startCommunication has run */
    TQ_List workQueue; /* queued records; workMutex */
    intptr_t workMutex;
    intptr_t workSemaphore;
    intptr_t worker; /* thread handle, -1 when it could not be made */

    intptr_t broadcastLock;
    TQ_HashSet broadcastRecords; /* BroadcastRecord pointers; broadcast lock */
    TQ_TreeSet broadcastExpiry;  /* every record by expiresAt; broadcast lock */

    /* Installed tables; read without a lock from any thread. */
    std::atomic<TQ_Server_CommManager *> commManager;
    std::atomic<TQ_Server_Encryption *> encryption;
    std::atomic<TQ_Server_GroupManager *> groupManager;
};

extern CommState g_comm;

/* The static records handed to protocols and to the encryption provider;
 * their allocator members are filled when communication starts. The
 * addConnection, removeConnection and receive slots of the callback record
 * are the connection, handshake and dispatch code's (declared below). */
extern TQ_Server_ProtocolCallbacks g_protocolCallbacks;
extern TQ_Server_EncryptionContext g_encryptionContext;

/* A connection's node, read and written atomically: it is set once by the
 * handshake and read by other threads without the connection lock. */
inline TQ_Server_Node *connectionNode(const TQ_Connection *connection)
{
    return __atomic_load_n(&connection->node, __ATOMIC_ACQUIRE);
}
inline void setConnectionNode(TQ_Connection *connection, TQ_Server_Node *node)
{
    __atomic_store_n(&connection->node, node, __ATOMIC_RELEASE);
}

/* ---- Broadcast records and flooding (broadcast.cpp) ---------------------- */

/* One record per (origin, sequence) of a received broadcast dataset: a
 * 256-byte block of the server allocator. What forgetting a record reads
 * lies in its first 64 bytes, the one cache line asked for ahead of it. */
struct BroadcastRecord {
    TQ_Uuid origin;
    uint32_t sequence;
    uint64_t expiresAt;  /* made, then forwarded, time + 10000 ms */
    uint32_t hash;       /* of origin and sequence, computed when they are set */
    uint32_t haveItUsed; /* while haveIt has 32 buckets: a bit per bucket that holds a copy */
    TQ_HashSet haveIt;   /* TQ_Uuid copies in 32-byte blocks of the server allocator */
    int32_t forwarded;   /* 1 once forwarded */
};
static_assert(sizeof(BroadcastRecord) <= 256, "broadcast record fits a 256-byte block");
static_assert(offsetof(BroadcastRecord, haveIt) + sizeof(TQ_HashSet) <= 64, "what forgetting reads is in one line");

/* Element functions of the record table (equal by origin and sequence;
 * the hash stored with them, djb2 of the origin seeded with the sequence)
 * and of the expiry order (expiresAt, ties by address). */
int broadcastRecordEqual(const void *a, const void *b);
uint32_t broadcastRecordHash(const void *record);
int broadcastRecordCompare(const void *a, const void *b);
/* Frees the haveIt copies, the set and the record's block. */
void freeBroadcastRecord(BroadcastRecord *record);
/* Make and free the record table, the expiry order and the broadcast lock
 * with the communication state; freeing frees every record, forwarded or
 * not. */
void createBroadcastTables();
void destroyBroadcastTables();

/* Reads the header of a dataset flagged (or to be flagged) broadcast and
 * checks that the whole header is there and that the group information,
 * unless empty, lies inside the dataset behind the header. Logs why and
 * returns 0 when not. */
int readWellFormedBroadcast(TQ_Buffer *dataset, TQ_BroadcastHeader *header);

/* Seen and already forwarded is a repeat whose forward would do nothing;
 * the caller may skip it. */
enum BroadcastVerdict { BroadcastNew = 0, BroadcastSeen = 1, BroadcastDrop = 2, BroadcastSeenForwarded = 3 };

/* Decides whether a broadcast dataset received from `node` is new, seen
 * already (and whether forwarded already) or to be dropped, and notes the node as having it; a new dataset
 * gets a record and has its ttl decremented and its hop count incremented,
 * in the dataset and in `header`. A repeat is left as it arrived. `*time`
 * is the clock reading a new record was made at, else 0. Takes the
 * broadcast lock inside; call with no lock held. */
BroadcastVerdict broadcastCheck(TQ_Server_Node *node, TQ_Buffer *dataset, TQ_BroadcastHeader *header, uint64_t *time);
/* TQ_Server_rebroadcast at the clock reading `time` (0: the clock is read
 * here), so that a receipt reads the clock once. */
void forwardBroadcast(TQ_Server_Node *node, TQ_Buffer *dataset, TQ_TreeSet *groups, TQ_List *sentTo, uint64_t time);

/* The default communication manager (commmanager.cpp) shares nothing here:
 * it is the public g_TQ_Server_defaultCommManager. */

/* ---- Lifecycle and identity (lifecycle.cpp) ------------------------------- */

/* Sets the network identifier to "Tessarc" when none is stored (server
 * state lock taken inside). */
void defaultNetworkId();

/* ---- Connections, nodes and the handshake (connections.cpp, handshake.cpp,
 *      dispatch.cpp) -------------------------------------------------------- */

/* Protocol callbacks, the slots of g_protocolCallbacks that take
 * connections in and out and receive datasets. */
void addConnectionCallback(TQ_Connection *connection);
void removeConnectionCallback(TQ_Connection *connection);
void receiveCallback(TQ_Connection *connection, TQ_Buffer *dataset);

/* Node records in 256-byte blocks of the server allocator. A new node
 * takes `name` (a server allocator string) over; null when no block can be
 * had, leaving `name` with the caller. A client node draws its identifier
 * from the client counter (server state lock taken inside). Freeing a
 * server node takes it out of the server table only where the entry is
 * still its own (server state lock taken inside). No service hook runs. */
TQ_Server_Node *makeClientNode(TQ_Connection *connection, char *name);
TQ_Server_Node *makeServerNode(TQ_Connection *connection, const TQ_Uuid *id, char *name);
void freeClientNode(TQ_Server_Node *node);
void freeServerNode(TQ_Server_Node *node);
/* node->acquire(node), and for a server node, in the same hold of its lock,
 * the first of its connections that takes a reference, in `*link` (null
 * when none does, or for another kind of node). The caller gives back
 * both: TQ_connectionRelease, then node->release. */
TQ_Server_Node *acquireNodeAndLink(TQ_Server_Node *node, TQ_Connection **link);
/* 1 when a live server node with this identifier is in the server table.
 * Caller holds the server state lock. */
int liveServerExists(const TQ_Uuid *id);
/* Enters a server node in the server table; a node of the same identifier
 * that is no longer live (a service still holds it) gives up its entry.
 * Caller holds the server state lock and has made sure no live node of the
 * identifier is there. */
void enterServerNode(TQ_Server_Node *node);

/* Peer faults (peerlog.cpp): the connection whose dataset this thread
 * delivers (null when done), and the end of a connection's counts, writing
 * what is still uncounted. */
void setReceivingConnection(TQ_Connection *connection);
void endPeerFaults(TQ_Connection *connection);

/* Sends the network-ID dataset (this server's version, the own network
 * identifier) on a connection the communication manager took into the
 * handshake. */
void sendNetworkId(TQ_Connection *connection);
/* Runs one received basic dataset through the handshake. */
void handleBasicDataset(TQ_Connection *connection, TQ_Buffer *dataset);
/* Sends a one-entry neighbour dataset of `subtype` (`uuid`, age 0) to every
 * server node in the server table. Caller holds the server state lock. */
void announceNeighbour(uint8_t subtype, const TQ_Uuid *uuid);

/* ---- Metrics (metrics.cpp) ------------------------------------------------ */

/* What the core counts as datasets flow; relaxed atomics, read at
 * exposition time. */
struct CoreCounters {
    std::atomic<uint64_t> received[256]; /* datasets from protocols, by type byte */
    std::atomic<uint64_t> noService;     /* service datasets no service owns */
    std::atomic<uint64_t> broadcastsFirst, broadcastsRepeated;
    std::atomic<uint64_t> recordsForgotten; /* records dropped early to keep the table bounded */
};
extern CoreCounters g_coreCounters;

/* Register and unregister the core's metrics with the communication state
 * (after the broadcast tables exist, before they go). */
void registerCoreMetrics();
void unregisterCoreMetrics();

/* Broadcast records held and the memory they take (broadcast.cpp; takes the
 * broadcast lock). */
void broadcastRecordUsage(uint64_t *records, uint64_t *bytes);

} /* namespace Core */
} /* namespace Tessarc */

#endif /* TESSARC_SERVER_CORE_H */
