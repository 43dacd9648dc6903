/* Process-wide state of the server core, shared by the core's source files.
 * Not installed; modules never see it.
 *
 * Each section below is owned by one source file of server/; keep a
 * section's declarations between its banner and the next one. */
#ifndef TESSARC_SERVER_CORE_H
#define TESSARC_SERVER_CORE_H

#include <atomic>

#include <tessarc/server.h>

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

    bool started;               /* TQ_Server_startCommunication has run */
    TQ_List workQueue;          /* queued records; workMutex */
    intptr_t workMutex;
    intptr_t workSemaphore;
    intptr_t worker;            /* thread handle, -1 when it could not be made */

    intptr_t broadcastLock;
    TQ_HashSet broadcastRecords; /* BroadcastRecord pointers; broadcast lock */
    TQ_TreeSet broadcastExpiry;  /* forwarded records by expiresAt; broadcast lock */

    /* Installed tables; read without a lock from any thread. */
    std::atomic<TQ_Server_CommManager *> commManager;
    std::atomic<TQ_Server_Encryption *> encryption;
    std::atomic<TQ_Server_GroupManager *> groupManager;
};

extern CommState g_comm;

/* The static records handed to protocols and to the encryption provider;
 * their allocator members are filled when communication starts. The
 * addConnection, removeConnection and receive slots of the callback record
 * are null until the connection, handshake and dispatch code provides them. */
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

/* One record per (origin, sequence) of a received broadcast dataset: a
 * 256-byte block of the server allocator. */
struct BroadcastRecord {
    TQ_Uuid origin;
    uint32_t sequence;
    uint64_t expiresAt;  /* 0 until forwarded, then forwarding time + 10000 ms */
    int32_t forwarded;   /* 1 once forwarded */
    TQ_HashSet haveIt;   /* TQ_Uuid copies in 32-byte blocks of the server allocator */
};
static_assert(sizeof(BroadcastRecord) <= 256, "broadcast record fits a 256-byte block");

/* Element functions of the record table (equal by origin and sequence,
 * djb2 of the origin seeded with the sequence) and of the expiry order
 * (expiresAt, ties by address). */
int broadcastRecordEqual(const void *a, const void *b);
uint32_t broadcastRecordHash(const void *record);
int broadcastRecordCompare(const void *a, const void *b);
/* Frees the haveIt copies, the set and the record's block. */
void freeBroadcastRecord(BroadcastRecord *record);

/* ---- Lifecycle and identity (lifecycle.cpp) ------------------------------- */

/* Sets the network identifier to "Tessarc" when none is stored (server
 * state lock taken inside). */
void defaultNetworkId();

} /* namespace Core */
} /* namespace Tessarc */

#endif /* TESSARC_SERVER_CORE_H */
