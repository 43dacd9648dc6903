/* A scripted peer: the protocol module "peer", which plays the remote side of links inside the server process. It adds
 * connections through the protocol callbacks, feeds hand-built datasets to `receive`, and records what the server does
 * to each link: every dataset sent, close, destroy. Its observers record node events, service deliveries and the
 * server log. A test program brings the core up once with tqtest::ServerEnvironment. */
#ifndef TQ_TEST_PEER_H
#define TQ_TEST_PEER_H

#include <tessarc/server.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace tqtest {

using Bytes = std::vector<uint8_t>;

struct Event {
    enum Kind { Send, Close, Destroy } kind;
    Bytes bytes; /* the dataset, for Send */
};

/* One link; `conn` is what the server sees. */
struct Link {
    TQ_Connection conn;
    std::string name;
    std::mutex lock;
    std::vector<Event> events; /* guarded by lock, oldest first */
    std::atomic<int> closes{0}, destroys{0};
    /* As a protocol whose writes fail: every send invalidates the link, and its destroy removes it at once (then the
     * Link is gone). */
    std::atomic<bool> dying{false};
    std::vector<Bytes> takeSent();   /* the sends so far; clears them */
    std::vector<Event> takeEvents(); /* every event so far; clears them */
};

/* TQ_connectionInit, then the addConnection callback. */
Link *connect(const std::string &name, bool isServer);
/* The receive callback with each dataset in a fresh buffer. */
void feed(Link *link, const Bytes &bytes);
void feedAll(Link *link, const std::vector<Bytes> &datasets);
/* A server-allocator buffer of `bytes` (one reference for the caller). */
TQ_Buffer *toBuffer(const Bytes &bytes);
Bytes bytesOf(TQ_Buffer *buffer);
/* As a protocol takes a link down: invalidate, removeConnection, TQ_connectionDestroy; frees the link. */
void remove(Link *link);
TQ_Server_Node *nodeOf(Link *link);

/* Basic datasets as a peer sends them. */
Bytes netIdDataset(uint16_t major, uint16_t minor, const std::string &networkId);
Bytes verdictDataset(uint8_t verdict);
Bytes nodeNameDataset(const std::string &name);
Bytes uuidDataset(const TQ_Uuid &uuid, const std::string &name, uint8_t extraFlags = 0);
struct Neighbour {
    TQ_Uuid uuid;
    uint32_t age;
};
Bytes neighbourDataset(uint8_t subtype, const std::vector<Neighbour> &entries);
/* Bytes seed, seed+1, ... */
TQ_Uuid makeUuid(uint8_t seed);

/* A whole handshake as a server or client peer; the attached node. */
TQ_Server_Node *shakeAsServer(Link *link, const TQ_Uuid &uuid, const std::string &name);
TQ_Server_Node *shakeAsClient(Link *link, const std::string &name);

/* What the recording service (type 0) heard. With holdServers it keeps a reference on each server node added, until
 * releaseHeld. */
struct NodeEvents {
    std::mutex lock;
    std::vector<TQ_Server_Node *> added, removed, held; /* guarded by lock */
    std::atomic<bool> holdServers{false};
    void clear();
    void releaseHeld();
};
NodeEvents &nodeEvents();

/* The core for one test program: the "peer" protocol and the recording service, name "alpha", communication started. */
class ServerEnvironment : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
};

/* One call of a dataset hook. */
struct Delivery {
    TQ_Server_Node *node;
    Bytes bytes;
    bool alt;        /* handleDatasetAlt rather than handleDataset */
    int groups;      /* size of the groups set; -1 when it was null */
    TQ_TreeSet *set; /* the groups set as passed */
};

/* Registers a recording service of `type` once (with handleDatasetAlt when `withAlt`), after the environment is up. */
void addRecordingService(uint8_t type, bool withAlt);
/* Every delivery so far to any recording service, oldest first; clears. */
std::vector<Delivery> takeDeliveries();
/* The one delivery so far (a failure, and an empty Delivery, if not one). */
Delivery takeOne();
/* Called on the delivering thread inside each hook, after recording. */
extern std::function<void(const Delivery &)> g_onDelivery;

/* Captures the messages of the server log (level and formatted text) for its lifetime, in place of standard output. */
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    /* 1 for each captured message at `level` containing `text`. */
    int count(int level, const std::string &text) const;
    std::vector<std::string> take(); /* "<level> <text>", oldest first; clears */
};

/* A broadcast dataset: four bytes of group information (0xAA) at 40, then `payload` bytes 0x11, 0x12, ... */
Bytes broadcastDataset(uint8_t type, uint16_t ttl, const TQ_Uuid &origin, uint32_t sequence,
                       uint8_t flags = TQ_FLAG_BROADCAST, uint32_t payload = 4);
/* The header fields of a dataset's bytes. */
TQ_BroadcastHeader headerOf(const Bytes &bytes);

} // namespace tqtest

#endif
