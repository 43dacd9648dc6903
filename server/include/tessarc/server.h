/* Tessarc server core: the records exchanged with protocol and service
 * modules, the connection and node records, the service descriptor and the
 * operations of the core.
 *
 * Every function has C linkage; the header compiles as C and as C++. Records
 * keep their member order; every slot of a table of operations is one
 * pointer-sized word, so a module built separately finds each operation at
 * the position it expects. The broadcast header is byte-exact and
 * little-endian; the rest of the wire format is in tessarc/wire.h.
 *
 * There is one server per process. Unless a comment says otherwise an
 * operation may be called from any thread once TQ_Server_init has returned. */
#ifndef TESSARC_SERVER_H
#define TESSARC_SERVER_H

#include <stddef.h>
#include <stdint.h>

#include <tessarc/runtime.h>
#include <tessarc/wire.h>

#ifdef __cplusplus
#define TQ_SERVER_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define TQ_SERVER_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

typedef struct TQ_Connection TQ_Connection;
typedef struct TQ_Interface TQ_Interface;
typedef struct TQ_Server_Node TQ_Server_Node;
typedef struct TQ_Server_Protocol TQ_Server_Protocol;
typedef struct TQ_Server_ProtocolCallbacks TQ_Server_ProtocolCallbacks;
typedef struct TQ_Server_Group TQ_Server_Group;
typedef struct TQ_Server_GroupManager TQ_Server_GroupManager;
typedef struct TQ_Server_CommManager TQ_Server_CommManager;
typedef struct TQ_Server_Encryption TQ_Server_Encryption;
typedef struct TQ_Server_ServiceApi TQ_Server_ServiceApi;
typedef struct TQ_Server_Service TQ_Server_Service;

/* ---- Broadcast datasets on the wire --------------------------------------- */

/* The 40 bytes at the start of a dataset with TQ_FLAG_BROADCAST set. */
typedef struct TQ_BroadcastHeader {
    TQ_DatasetHeader header;  /* flags has TQ_FLAG_BROADCAST set by TQ_Server_broadcast */
    uint32_t subtype;         /* the service's */
    uint16_t ttl;             /* hops still allowed; decremented by each receiving server */
    uint16_t hops;            /* hops travelled; incremented by each receiving server */
    uint32_t groupInfoLength; /* bytes of group information */
    uint32_t groupInfoOffset; /* from the start of the dataset */
    TQ_Uuid origin;           /* the server that first broadcast it */
    uint32_t sequence;        /* the origin's broadcast sequence number */
} TQ_BroadcastHeader;

TQ_SERVER_STATIC_ASSERT(sizeof(TQ_Uuid) == TQ_WIRE_UUID_SIZE, "node identifier is 12 bytes on the wire");
TQ_SERVER_STATIC_ASSERT(sizeof(TQ_BroadcastHeader) == 40, "broadcast header is 40 bytes");
TQ_SERVER_STATIC_ASSERT(offsetof(TQ_BroadcastHeader, subtype) == 8, "subtype at 8");
TQ_SERVER_STATIC_ASSERT(offsetof(TQ_BroadcastHeader, ttl) == 12, "ttl at 12");
TQ_SERVER_STATIC_ASSERT(offsetof(TQ_BroadcastHeader, hops) == 14, "hops at 14");
TQ_SERVER_STATIC_ASSERT(offsetof(TQ_BroadcastHeader, groupInfoLength) == 16, "group info length at 16");
TQ_SERVER_STATIC_ASSERT(offsetof(TQ_BroadcastHeader, groupInfoOffset) == 20, "group info offset at 20");
TQ_SERVER_STATIC_ASSERT(offsetof(TQ_BroadcastHeader, origin) == 24, "origin at 24");
TQ_SERVER_STATIC_ASSERT(offsetof(TQ_BroadcastHeader, sequence) == 36, "sequence at 36");

/* The largest dataset a protocol is expected to carry; handed to protocols
 * in the callback record. The server itself never reads it. */
#define TQ_SERVER_SIZE_LIMIT TQ_DATASET_SIZE_LIMIT

/* ---- Protocols ------------------------------------------------------------ */

/* The descriptor a protocol module's getProtocol entry returns. Owned by the
 * module; it must stay valid until its `destroy` has been called. Slots 0, 1
 * and 5 to 7 are the module's own; the server never touches them. */
struct TQ_Server_Protocol {
    void *moduleSlot0;
    void *moduleSlot1;
    /* Called once when communication starts. The protocol may call any
     * callback from any of its threads from then on until its destroy
     * returns. -1 is a failure: it is logged and the protocol stays
     * registered. */
    int (*run)(TQ_Server_ProtocolCallbacks *callbacks);
    /* Stops the protocol's activity (default communication manager). */
    void (*stop)(void);
    /* Releases everything the protocol holds; called first when communication
     * is torn down. */
    void (*destroy)(void);
    void *moduleSlot5;
    void *moduleSlot6;
    void *moduleSlot7;
    /* Every received dataset of type TQ_DATASET_PROTOCOL on one of the
     * protocol's connections; the caller's reference covers the call. */
    void (*handleDataset)(TQ_Connection *connection, TQ_Buffer *dataset);
    /* Unique key of the protocol; printed in every message about it. */
    const char *name;
};

/* Work queued with `queueWork`: the record is the protocol's own; its first
 * word points to a table of which the worker thread calls slot 4 with the
 * record. This is the table's shape as far as the server reads it. */
typedef void (*TQ_Server_WorkFn)(void *record);
typedef struct TQ_Server_WorkOps {
    void *moduleSlot0;
    void *moduleSlot1;
    void *moduleSlot2;
    void *moduleSlot3;
    TQ_Server_WorkFn run;
} TQ_Server_WorkOps;

/* The server's one static callback record, passed to every protocol's run.
 * Every operation may be called from any protocol thread while the protocol
 * runs. */
struct TQ_Server_ProtocolCallbacks {
    /* Forward to the communication manager; they bracket an interface's life. */
    void (*addInterface)(TQ_Interface *interface);
    void (*removeInterface)(TQ_Interface *interface);
    /* The connection must have been set up with TQ_connectionInit and have
     * its ops, send, name and isServer filled in. Added once. */
    void (*addConnection)(TQ_Connection *connection);
    /* Appends `record` to the work queue; the worker thread later calls slot
     * 4 of the table its first word points to, in queue order. */
    void (*queueWork)(void *record);
    /* Tears down what the server holds for the connection; called once per
     * added connection, when no reference to it is held any more. The server
     * does not touch the connection after it returns. */
    void (*removeConnection)(TQ_Connection *connection);
    /* One received dataset (header length equal to the buffer size), one at a
     * time per connection, in the peer's order; the protocol's reference
     * covers the call. */
    void (*receive)(TQ_Connection *connection, TQ_Buffer *dataset);
    TQ_Allocator *allocator; /* the server allocator, stored when communication starts */
    TQ_Logger *log;          /* g_TQ_serverLog */
    size_t sizeLimit;        /* TQ_SERVER_SIZE_LIMIT */
};

/* The prefix of an interface's operations table that the server reads: the
 * default communication manager opens a new interface through slot 2. */
typedef struct TQ_InterfaceOps {
    void *moduleSlot0;
    void *moduleSlot1;
    void (*open)(TQ_Interface *interface);
} TQ_InterfaceOps;

/* A network interface of a protocol; created and owned by the protocol. */
struct TQ_Interface {
    const TQ_InterfaceOps *ops;
    TQ_Server_Protocol *protocol; /* the owning protocol */
    const char *name;
};

/* ---- Connections and nodes ------------------------------------------------ */

/* The prefix of a connection's operations table that the server calls. */
typedef struct TQ_ConnectionOps {
    void *moduleSlot0;
    void *moduleSlot1;
    /* Asks the protocol to shut the link (the server rejected the peer or was
     * rejected by it). */
    void (*close)(TQ_Connection *connection);
    /* Called exactly once, when the connection is invalid and no reference is
     * left. */
    void (*destroy)(TQ_Connection *connection);
} TQ_ConnectionOps;

/* One link to a peer, made and owned by a protocol. The protocol fills ops,
 * send, name and isServer; TQ_connectionInit sets the rest. */
struct TQ_Connection {
    const TQ_ConnectionOps *ops;
    /* Sends one dataset; the caller's reference covers the call. Datasets to
     * one connection go out in the order of the calls. */
    void (*send)(TQ_Connection *connection, TQ_Buffer *dataset);
    TQ_Interface *interface;
    const char *name;
    uint16_t peerVersionMajor; /* from the peer's network-ID dataset */
    uint16_t peerVersionMinor;
    uint8_t isServer;       /* nonzero when the peer is a server */
    uint8_t localAccepted;  /* this side accepted the peer */
    uint8_t remoteAccepted; /* the peer accepted this side */
    uint8_t valid;          /* 1 until invalidated; guarded by lock */
    int32_t refCount;       /* guarded by lock */
    intptr_t lock;          /* a TQ_mutexCreate handle */
    /* The node the connection serves; null until the handshake attaches one.
     * Written under lock and read without it, so the server reads and writes
     * it atomically (__atomic builtins). */
    TQ_Server_Node *node;
    void *moduleData; /* the protocol's; null after TQ_connectionInit */
};

/* A per-service record kept in a node's info set. A service embeds it as the
 * first member of its own record. */
typedef struct TQ_Server_NodeInfo TQ_Server_NodeInfo;
struct TQ_Server_NodeInfo {
    uint8_t key; /* written by TQ_Server_nodeSetInfo */
    /* Called when the record is replaced or removed, or the node destroyed. */
    void (*destroy)(TQ_Server_NodeInfo *info);
};

/* An accepted peer: the common part of client and server nodes. Node
 * records are 256-byte blocks of the server allocator, owned by the core. */
struct TQ_Server_Node {
    TQ_Uuid id;            /* key of the client or server table */
    char *name;            /* a string of the server allocator */
    int32_t isServer;      /* 1 server node, 0 client node */
    uint16_t versionMajor; /* the peer's version when the node was made */
    uint16_t versionMinor;
    uint64_t connectedAt; /* TQ_getTimeMs when the node was made */
    intptr_t lock;        /* guards info, and for server nodes connections, live, refCount, neighbours */
    TQ_TreeSet info;      /* TQ_Server_NodeInfo records by key */
    /* Sends a dataset to the node; send2 holds the same function. */
    void (*send)(TQ_Server_Node *node, TQ_Buffer *dataset);
    void (*send2)(TQ_Server_Node *node, TQ_Buffer *dataset);
    /* Takes a reference: the node, or null when it is going away. A non-null
     * result is given back with release. */
    TQ_Server_Node *(*acquire)(TQ_Server_Node *node);
    void (*release)(TQ_Server_Node *node);
    TQ_TreeSet groups; /* TQ_Server_Group pointers by address */
};

typedef struct TQ_Server_ClientNode {
    TQ_Server_Node base;
    TQ_Connection *connection; /* its one connection */
} TQ_Server_ClientNode;

typedef struct TQ_Server_ServerNode {
    TQ_Server_Node base;
    TQ_List connections;   /* TQ_Connection pointers */
    int32_t live;          /* 1 while the node has a connection */
    int32_t refCount;      /* references taken with acquire */
    TQ_HashSet neighbours; /* TQ_Server_Neighbour entries, by uuid */

    /* 1 once announced neighbours were left out over the bound; node lock */
    int32_t neighboursCapped;
} TQ_Server_ServerNode;

/* A neighbour of a server node: a 32-byte block of the server allocator. */
typedef struct TQ_Server_Neighbour {
    TQ_Uuid uuid;
    uint64_t since; /* local TQ_getTimeMs from which the node has had this neighbour */
} TQ_Server_Neighbour;

TQ_SERVER_STATIC_ASSERT(sizeof(TQ_Server_ClientNode) <= 256, "client node fits a 256-byte block");
TQ_SERVER_STATIC_ASSERT(sizeof(TQ_Server_ServerNode) <= 256, "server node fits a 256-byte block");
TQ_SERVER_STATIC_ASSERT(sizeof(TQ_Server_Neighbour) <= 32, "neighbour entry fits a 32-byte block");

/* Sets interface; localAccepted, remoteAccepted, refCount 0; valid 1; creates
 * the lock; node and moduleData null. Called by the protocol before
 * addConnection. */
TQ_API void TQ_connectionInit(TQ_Connection *connection, TQ_Interface *interface);
/* Deletes the lock. */
TQ_API void TQ_connectionDestroy(TQ_Connection *connection);
/* The connection with one more reference, or null (nothing changed) when it
 * has been invalidated. */
TQ_API TQ_Connection *TQ_connectionAcquire(TQ_Connection *connection);
/* Gives a reference back; the last release of an invalid connection calls
 * ops->destroy, with no lock held. */
TQ_API void TQ_connectionRelease(TQ_Connection *connection);
/* Marks the connection invalid (no new references); calls ops->destroy at
 * once when no reference is held. A second call does nothing. */
TQ_API void TQ_connectionInvalidate(TQ_Connection *connection);

/* Creates the node lock and the info and groups sets. */
TQ_API void TQ_Server_nodeInit(TQ_Server_Node *node);
/* Calls destroy of every info record in key order, destroys both sets and
 * deletes the lock. */
TQ_API void TQ_Server_nodeDestroy(TQ_Server_Node *node);
/* Under the node lock: destroys the record stored under `key`, if any; then
 * stores `info` (its key set to `key`) unless it is null. */
TQ_API void TQ_Server_nodeSetInfo(TQ_Server_Node *node, TQ_Server_NodeInfo *info, uint8_t key);
/* The record stored under `key`, or null. */
TQ_API TQ_Server_NodeInfo *TQ_Server_nodeGetInfo(TQ_Server_Node *node, uint8_t key);

/* ---- Communication manager ------------------------------------------------ */

/* A table of 9 operations through which the server drives its protocols.
 * The current one is g_TQ_Server_defaultCommManager unless a service
 * installs another before communication starts. */
struct TQ_Server_CommManager {
    /* Once, when communication starts: the allocator, the callback record and
     * the server's list of TQ_Server_Protocol pointers. */
    void (*init)(TQ_Allocator *allocator, TQ_Server_ProtocolCallbacks *callbacks, TQ_List *protocolList);
    void (*stop)(void);
    void (*destroy)(void); /* after every protocol's destroy */
    void (*startProtocol)(TQ_Server_Protocol *protocol);
    void (*addInterface)(TQ_Interface *interface);
    void (*removeInterface)(TQ_Interface *interface);
    /* Nonzero takes the connection into the handshake; zero leaves it idle. */
    int (*addConnection)(TQ_Connection *connection);
    void (*connectionReady)(TQ_Connection *connection);  /* a node has been attached */
    void (*removeConnection)(TQ_Connection *connection); /* first in the removeConnection callback */
};

/* The built-in communication manager: runs and stops every registered
 * protocol and logs interfaces and connections at level 4. */
extern TQ_API TQ_Server_CommManager g_TQ_Server_defaultCommManager;

/* ---- Encryption provider -------------------------------------------------- */

/* Handed to the provider's init. */
typedef struct TQ_Server_EncryptionContext {
    TQ_Allocator *allocator;
    TQ_Logger *log; /* g_TQ_serverLog */
} TQ_Server_EncryptionContext;

/* A table of 7 operations; none is installed by default. The server never
 * encrypts: a provider that encrypts does so behind the connection's send. */
struct TQ_Server_Encryption {
    /* When communication starts; -1 uninstalls the provider. */
    int (*init)(TQ_Server_EncryptionContext *context);
    void (*stop)(void); /* after the communication manager's stop */
    int (*canEncrypt)(TQ_Connection *connection);
    void (*startLowerSide)(TQ_Connection *connection);
    void (*startUpperSide)(TQ_Connection *connection);
    /* Decrypts a type-3 dataset in place so that the buffer begins with a
     * complete header; zero drops it. */
    int (*decrypt)(TQ_Connection *connection, TQ_Buffer *dataset);
    void (*removeConnection)(TQ_Connection *connection); /* last in the removeConnection callback */
};

/* ---- Groups --------------------------------------------------------------- */

/* A group record; owned by its group manager, which keeps it alive longer
 * than every set that holds it. Group sets are TQ_TreeSets of
 * TQ_Server_Group pointers ordered by TQ_ptrCompare. */
struct TQ_Server_Group {
    uint32_t id;
    const char *name;
};

/* What exchangeGroups calls, exactly once, when group information has been
 * exchanged on the connection. */
typedef void (*TQ_Server_GroupContinuation)(TQ_Connection *connection, TQ_Buffer *dataset);

/* A table of 13 operations deciding which peers share which groups. The
 * operations run on protocol and service threads, some with the server state
 * lock held: they must be safe to run concurrently and must not call back
 * into the server. */
struct TQ_Server_GroupManager {
    TQ_Server_Group *(*defaultGroup)(void);
    TQ_Server_Group *(*wildcardGroup)(void);
    /* The local groups; valid while the manager is installed. */
    TQ_TreeSet *(*localGroups)(void);
    /* Sends this side's group exchange dataset on the connection, then calls
     * continuation(connection, dataset) once. */
    void (*exchangeGroups)(TQ_Server_GroupContinuation continuation, TQ_Connection *connection, TQ_Buffer *dataset);
    /* Inserts the peer's groups into `groups` (a new node's set). */
    void (*peerGroups)(TQ_Connection *connection, TQ_TreeSet *groups);
    int (*groupsMatch)(TQ_TreeSet *groupsA, TQ_TreeSet *groupsB);
    /* Reads the group information of a received broadcast into `groups` and
     * returns the dataset to deliver, or null to drop it. */
    TQ_Buffer *(*filterBroadcast)(TQ_Server_Node *node, TQ_Buffer *dataset, uint32_t infoLength, uint32_t infoOffset,
                                  TQ_TreeSet *groups);
    TQ_Buffer *(*clearGroupInfo)(TQ_Buffer *dataset, uint32_t infoLength, uint32_t infoOffset);
    /* Bytes of group information written for `groups`. */
    uint32_t (*groupInfoSize)(TQ_TreeSet *groups);
    /* Writes group information at the iterator (advancing it); 1 or -1. */
    int (*writeGroupInfo)(TQ_TreeSet *groups, TQ_BufferIter *iterator);
    void (*writeGroupInfoRaw)(TQ_TreeSet *groups, void *destination);
    /* Reads `infoLength` bytes of group information at the iterator into
     * `groups` (may be null); 1 or -1. */
    int (*readGroupInfo)(TQ_BufferIter *iterator, uint32_t infoLength, TQ_TreeSet *groups);
    void (*destroy)(void);
};

/* Readies the default group manager (its empty local group set) and returns
 * its table; the same table on every call. */
TQ_API TQ_Server_GroupManager *TQ_Server_getDefaultGroupManager(void);
/* Calls destroy of the installed manager, if any, then installs `manager`
 * and publishes it as the groupManager member of the server API table.
 * Installing the manager already installed changes nothing. Null leaves the
 * server without one: peers are admitted without a group exchange and with
 * no groups, and every server node matches every broadcast. Call before
 * communication starts (from TQ_Server_initCommunication or a service's
 * preinit). */
TQ_API void TQ_Server_setGroupManager(TQ_Server_GroupManager *manager);

/* ---- Services ------------------------------------------------------------- */

/* A dataset hook: the node it came from, the dataset (the caller's reference
 * covers the call; acquire one to keep it) and its groups (may be null). */
typedef void (*TQ_Server_DatasetHandler)(TQ_Server_Node *node, TQ_Buffer *dataset, TQ_TreeSet *groups);

/* The server API table handed to every service's preinit. */
struct TQ_Server_ServiceApi {
    void (*setCommunicationManager)(TQ_Server_CommManager *manager);
    void (*setEncryption)(TQ_Server_Encryption *provider);
    void (*setGroupManager)(TQ_Server_GroupManager *manager);
    const TQ_Uuid *(*getUuid)(void);
    char *(*getName)(void);
    void (*setName)(const char *name);
    char *(*getNetworkId)(void);
    void (*setNetworkId)(const char *networkId);
    void (*stop)(void);
    void (*broadcast)(TQ_Buffer *dataset, TQ_TreeSet *groups, TQ_List *sentTo);
    void (*rebroadcast)(TQ_Server_Node *node, TQ_Buffer *dataset, TQ_TreeSet *groups, TQ_List *sentTo);
    void (*handleDataset)(TQ_Server_Node *node, TQ_Buffer *dataset, TQ_TreeSet *groups);
    TQ_Server_Node *(*getServer)(const TQ_Uuid *uuid);
    TQ_Server_Node *(*getClient)(const TQ_Uuid *uuid);
    void (*getServices)(TQ_List *list);
    void *(*getServiceInterface)(const char *name);
    TQ_Server_Protocol *(*getProtocol)(const char *name);
    TQ_Server_GroupManager *groupManager; /* the current group manager */
    TQ_Allocator *allocator;              /* the server allocator */
    TQ_Logger *log;                       /* g_TQ_serverLog */
};

extern TQ_API TQ_Server_ServiceApi g_TQ_Server_serviceApi;

/* A service descriptor; built and kept alive by the service (until the host
 * unloads it). Every hook must be set except handleDatasetAlt. */
struct TQ_Server_Service {
    /* Before communication starts; -1 refuses and unregisters the service. */
    int32_t (*preinit)(TQ_Server_ServiceApi *api);
    void (*postinit)(void); /* after communication has started */
    void (*addNode)(TQ_Server_Node *node);
    void (*removeNode)(TQ_Server_Node *node);
    /* Datasets of the service's type: new or non-broadcast ones to
     * handleDataset, already-seen broadcasts to handleDatasetAlt (not
     * delivered when it is null). */
    TQ_Server_DatasetHandler handleDataset;
    TQ_Server_DatasetHandler handleDatasetAlt;
    void (*predestroy)(void);  /* before communication stops */
    void (*postdestroy)(void); /* after it has stopped */
    const char *name;          /* key of TQ_Server_getServiceInterface */
    void *interface;           /* handed out by name; may be null */
    int16_t order;             /* lower runs first when starting */
    uint8_t datasetType;       /* owned dataset type; 0 for none */
};

/* The interface of the host's "Args" service. */
typedef struct TQ_ArgsInterface {
    /* Stores the program's argument count through `count` and returns its
     * argument vector (the program's own; not to be freed). */
    char **(*getArgs)(int32_t *count);
} TQ_ArgsInterface;

/* Creates the service tables and stores the server allocator in the server
 * API table. Called by TQ_Server_init. */
TQ_API void TQ_Server_initServices(void);
/* Destroys the service tables; descriptors are untouched. Called by
 * TQ_Server_destroy. */
TQ_API void TQ_Server_destroyServices(void);
/* Registers a descriptor (not copied, not owned). 1 on success; -1, leaving
 * the registry unchanged, when a service of the same nonzero type or the same
 * descriptor is registered. Start-up thread only, before TQ_Server_run. */
TQ_API int32_t TQ_Server_addService(TQ_Server_Service *service);
/* The service registered for `type`; null for none and always for type 0. */
TQ_API TQ_Server_Service *TQ_Server_findServiceByType(uint8_t type);
/* The interface of the first service named `name` (exact match) in
 * ascending dataset-type order; null when none matches. */
TQ_API void *TQ_Server_getServiceInterface(const char *name);
/* Appends every registered descriptor to `list` in dataset-type order; the
 * list's nodes are the caller's. */
TQ_API void TQ_Server_getServices(TQ_List *list);
/* The server API table. */
TQ_API TQ_Server_ServiceApi *TQ_Server_getServiceApi(void);
/* Hook runs, in order of the services' `order` (ties by dataset type, then
 * by descriptor address). preinit and postinit run lowest first; a preinit
 * returning -1 unregisters its service. predestroy and postdestroy run
 * highest first. Called by the start and stop tasks. */
TQ_API void TQ_Server_Services_preinit(void);
TQ_API void TQ_Server_Services_postinit(void);
TQ_API void TQ_Server_Services_predestroy(void);
TQ_API void TQ_Server_Services_postdestroy(void);
/* Log the node's arrival or departure and run every addNode or removeNode
 * hook, lowest order first. Called with no server lock held. */
TQ_API void TQ_Server_Services_addNode(TQ_Server_Node *node);
TQ_API void TQ_Server_Services_removeNode(TQ_Server_Node *node);

/* ---- Lifecycle and identity ----------------------------------------------- */

/* A host callback: takes nothing, returns nothing. */
typedef void (*TQ_Server_Callback)(void);

/* The allocator of the whole server core, set by TQ_Server_init; owned by
 * the host. */
extern TQ_API TQ_Allocator *g_TQ_serverAllocator;

/* Initialises the core: clocks, lifecycle lock, `allocator` as the server
 * allocator, communication state (node identifier, server state lock,
 * default group manager) and service registry. Call once, first, on the
 * start-up thread. */
TQ_API void TQ_Server_init(TQ_Allocator *allocator);
/* Starts the task "Start" and the scheduler; the calling thread stays parked there.
 * Returns only when the server is already running ("Server is already
 * starting" is logged and nothing started). */
TQ_API void TQ_Server_run(void);
/* Requests the stop sequence in the task "Stop" and returns at once; a
 * stop asked for during the start sequence (from a service's hook) runs once
 * that sequence has finished. While not running it only logs "Server is
 * already stopping". Any thread. */
TQ_API void TQ_Server_stop(void);
/* Releases what TQ_Server_init made. Called once, from the postdestroy
 * callback. */
TQ_API void TQ_Server_destroy(void);
/* The server logger, g_TQ_serverLog. Usable before TQ_Server_init. */
TQ_API TQ_Logger *TQ_Server_getLog(void);
/* For the host only: the install root the server runs from (a path without
 * a trailing slash). The core keeps a copy of "<root>/Config"; `root`
 * stays the caller's. Call once, on the start-up thread, after
 * TQ_Server_init and before TQ_Server_run; later calls are ignored. When no
 * memory can be had for the copy, it is logged and nothing is stored. */
TQ_API void TQ_Server_setInstallRoot(const char *root);
/* The install root's configuration directory, "<root>/Config", where
 * modules find their own settings files. Owned by the core and valid until
 * the process ends; null while the host has not set the install root. Any
 * thread. */
TQ_API const char *TQ_Server_getConfigDir(void);
/* Store a host callback; null stores the do-nothing callback. Usable
 * before TQ_Server_init; set them before TQ_Server_run. The postinit
 * callback runs after the start sequence, outside every server lock;
 * predestroy first and postdestroy last in the stop sequence. */
TQ_API void TQ_Server_setPostinitCallback(TQ_Server_Callback callback);
TQ_API void TQ_Server_setPredestroyCallback(TQ_Server_Callback callback);
TQ_API void TQ_Server_setPostdestroyCallback(TQ_Server_Callback callback);
/* The server's own 12-byte node identifier, random per process and fixed
 * from TQ_Server_init on; stored in the core, not to be freed. */
TQ_API const TQ_Uuid *TQ_Server_getUuid(void);
/* Replace the stored name / network identifier with a copy of `text` (at
 * most 255 characters are kept; null clears it). Under the server state
 * lock; not after communication has been destroyed. */
TQ_API void TQ_Server_setName(const char *text);
TQ_API void TQ_Server_setNetworkId(const char *text);
/* A fresh copy of the name / network identifier from the server allocator,
 * or null when none is stored; the caller frees it with
 * TQ_freeStringWithAllocator(g_TQ_serverAllocator, copy). */
TQ_API char *TQ_Server_getName(void);
TQ_API char *TQ_Server_getNetworkId(void);
/* Gives the server the host name as its name when it has none. */
TQ_API void TQ_Server_initName(void);

/* ---- Communication -------------------------------------------------------- */

/* Initialises the protocol list, draws the node identifier, creates the
 * node tables and the server state lock and installs the default group
 * manager. Called by TQ_Server_init. */
TQ_API void TQ_Server_initCommunication(void);
/* Registers a protocol descriptor (owned by its module): replaces a
 * registered one of the same name in its place, else appends it. Start-up
 * thread only, before TQ_Server_run. */
TQ_API void TQ_Server_addProtocol(TQ_Server_Protocol *protocol);
/* The registered protocol named `name`, or null. */
TQ_API TQ_Server_Protocol *TQ_Server_getProtocol(const char *name);
/* Defaults the network identifier to "Tessarc", starts the work queue and
 * its worker thread, creates the broadcast tables, initialises the
 * encryption provider and the communication manager and starts every
 * protocol. Called by the start task. */
TQ_API void TQ_Server_startCommunication(void);
/* Stops the communication manager, then the encryption provider. Called by
 * the stop task. */
TQ_API void TQ_Server_stopCommunication(void);
/* Destroys every protocol, the communication manager and the group manager,
 * frees the broadcast records, ends the worker thread after it has run what
 * is still queued, and frees the node tables, the server state lock, the
 * name and the network identifier. Called by the stop task. */
TQ_API void TQ_Server_destroyCommunication(void);
/* Frees the protocol list (not the descriptors). Called by
 * TQ_Server_destroy. */
TQ_API void TQ_Server_cleanupCommunication(void);
/* The live server / client node with this identifier with a reference taken
 * (give it back with the node's release), or null. */
TQ_API TQ_Server_Node *TQ_Server_getServer(const TQ_Uuid *uuid);
TQ_API TQ_Server_Node *TQ_Server_getClient(const TQ_Uuid *uuid);
/* Install the communication manager / encryption provider (null: none).
 * They take effect for later calls; install before communication starts for
 * their init to run. Without a communication manager no protocol is run and
 * a connection added later stays idle (no handshake is started on it). */
TQ_API void TQ_Server_setCommunicationManager(TQ_Server_CommManager *manager);
TQ_API void TQ_Server_setEncryption(TQ_Server_Encryption *provider);

/* ---- Datasets and broadcast ----------------------------------------------- */

/* Delivers a dataset from `node` to the service that owns its type, applying
 * the broadcast check, the group filter and forwarding for broadcast
 * datasets. `node` may be null only without TQ_FLAG_BROADCAST; `groups` null
 * lets the group manager supply them. Keeps no reference. */
TQ_API void TQ_Server_handleDataset(TQ_Server_Node *node, TQ_Buffer *dataset, TQ_TreeSet *groups);
/* Sends a dataset the caller built (length, type, subtype, ttl, group
 * information filled in) to every server node whose groups match; sets the
 * broadcast flag, hops, origin and sequence. sentTo (may be null) receives a
 * copy of the TQ_Uuid of every node it went to, in 32-byte blocks of the
 * server allocator that the caller then owns. The caller keeps its
 * reference. */
TQ_API void TQ_Server_broadcast(TQ_Buffer *dataset, TQ_TreeSet *groups, TQ_List *sentTo);
/* Forwards a received broadcast from server node `node` once to the other
 * matching server nodes that are not known to have it. */
TQ_API void TQ_Server_rebroadcast(TQ_Server_Node *node, TQ_Buffer *dataset, TQ_TreeSet *groups, TQ_List *sentTo);

/* ---- Logging what peers do ------------------------------------------------ */

/* Logs, through `logger` at `level`, a message about what the peer behind
 * `connection` sent; null stands for the connection whose dataset the
 * calling thread is delivering (a service hook's), and with none the
 * message is simply logged. Per connection and format the first 5 messages
 * are written as they are; later ones are counted, and the count is written
 * as `<n> more like "<format>" from <connection name>` with the first one at
 * least 10 s after the previous count, and when the connection is removed.
 * `format` is the key and must outlive the connection: pass a string
 * literal. Text the peer supplied goes through TQ_Server_escapeText first.
 * Any thread; takes a short internal lock, never held while writing. */
TQ_API void TQ_Server_logPeerFault(TQ_Connection *connection, TQ_Logger *logger, int level, const char *format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 4, 5)))
#endif
    ;
/* Room enough for any escaped text the server logs (a name or network
 * identifier of up to 255 bytes, each written as at most 4). */
#define TQ_SERVER_ESCAPED_SIZE 1024u
/* Copies the NUL-terminated `text` (null counts as empty) into `out` of
 * `size` bytes for the log, writing control bytes, DEL, '\' and bytes that
 * are not well-formed UTF-8 as \xNN; cut at a character boundary to fit,
 * always NUL-terminated when `size` is not 0. Returns `out`. Any thread. */
TQ_API const char *TQ_Server_escapeText(const char *text, char *out, size_t size);

/* Heap bytes the records of received broadcasts may take unless told
 * otherwise: 32 MiB. */
#define TQ_SERVER_BROADCAST_RECORD_BUDGET (32ull << 20)
/* Bounds the memory of the broadcast records (duplicate detection) to about
 * `bytes`, counting each record's block, its haveIt set and its share of the
 * tables. Every record expires 10 seconds after it was made or forwarded;
 * past the budget the oldest records are forgotten early, with a warning at
 * most every 10 seconds, and a late copy of their dataset is then taken for
 * new. The newest record is always kept. Any thread; takes effect at the
 * next new record. */
TQ_API void TQ_Server_setBroadcastRecordBudget(uint64_t bytes);
/* Neighbours one server node may announce unless told otherwise. */
#define TQ_SERVER_NEIGHBOUR_LIMIT 4096u
/* Bounds the neighbours stored for each server node: entries announced past
 * the bound are not stored (one warning per node), so those servers may be
 * sent broadcasts they already have. Any thread; applies to neighbour
 * datasets received afterwards. */
TQ_API void TQ_Server_setNeighbourLimit(uint32_t limit);
/* For tests only: the clock by which broadcast records expire and
 * neighbours age, in place of TQ_getTimeMs; null restores TQ_getTimeMs.
 * `source` must be callable from any thread. */
TQ_API void TQ_Server_setBroadcastTimeSource(uint64_t (*source)(void));

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TESSARC_SERVER_H */
