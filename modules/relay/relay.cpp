/* relay.service: carries one dataset type between clients and through the
 * mesh. A dataset from a client goes to every other client of this server
 * and is broadcast to the mesh; a broadcast from the mesh goes to this
 * server's clients once, and its repeats are counted (and logged on
 * request). Settings come from Config/relay.cfg under the install root.
 *
 * Client datasets: 8-byte header, u32 subtype, payload. Mesh datasets: the
 * 40-byte broadcast header (same type and subtype), the group information,
 * the same payload. The relay converts between the two.
 *
 * Hot path: no lock of its own but a shared read lock on the client list,
 * no heap allocation but the converted dataset buffer. */
#include <tessarc/metrics.h>
#include <tessarc/module.h>

#include <string.h>

#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

namespace {

const uint32_t c_clientHeader = sizeof(TQ_DatasetHeader) + 4; /* header and subtype */

/* ---- Settings ---- */

struct Settings {
    uint8_t datasetType = 16;
    uint16_t ttl = 8;
    bool logRepeats = false;
};

Settings s_settings;
bool s_settingsRead = false; /* false: relay.cfg was unusable and the service refuses */

TQ_Logger *logger()
{
    return TQ_Server_getLog();
}

/* Reads the setting `name` of `root` into `value` when it is there: false
 * (logged) when it has another type. */
template <typename T>
bool readSetting(const libconfig::Setting &root, const char *name, T &value, const std::string &path)
{
    if (root.exists(name) && !root.lookupValue(name, value)) {
        TQ_log(logger(), TQ_LOG_ERROR, "relay: %s: %s has the wrong type\n", path.c_str(), name);
        return false;
    }
    return true;
}

/* Reads relay.cfg; a missing file leaves the defaults. False (logged) for
 * a file that cannot be parsed or holds a value out of range. */
bool readSettings()
{
    const char *dir = TQ_Server_getConfigDir();
    if (!dir) {
        TQ_log(logger(), TQ_LOG_INFO, "relay: no configuration directory; dataset type %u, ttl %u\n",
               s_settings.datasetType, s_settings.ttl);
        return true;
    }
    std::string path = std::string(dir) + "/relay.cfg";
    libconfig::Config config;
    try {
        config.readFile(path.c_str());
    } catch (const libconfig::FileIOException &) {
        TQ_log(logger(), TQ_LOG_INFO, "relay: no %s; dataset type %u, ttl %u\n", path.c_str(), s_settings.datasetType,
               s_settings.ttl);
        return true;
    } catch (const libconfig::ParseException &e) {
        TQ_log(logger(), TQ_LOG_ERROR, "relay: %s:%d: %s\n", e.getFile() ? e.getFile() : path.c_str(), e.getLine(),
               e.getError());
        return false;
    }
    const libconfig::Setting &root = config.getRoot();
    int type = s_settings.datasetType, ttl = s_settings.ttl;
    if (!readSetting(root, "datasetType", type, path) || !readSetting(root, "ttl", ttl, path) ||
        !readSetting(root, "logRepeats", s_settings.logRepeats, path))
        return false;
    if (type < 5 || type > 255 || ttl < 1 || ttl > 65535) {
        TQ_log(logger(), TQ_LOG_ERROR, "relay: %s: datasetType must be from 5 to 255, ttl from 1 to 65535\n",
               path.c_str());
        return false;
    }
    s_settings.datasetType = (uint8_t)type;
    s_settings.ttl = (uint16_t)ttl;
    return true;
}

/* ---- State ---- */

TQ_Server_ServiceApi *s_api;
TQ_Server_GroupManager *s_groupManager; /* fixed from postinit on */
TQ_TreeSet s_groups;                    /* the default group: every broadcast's groups */
uint32_t s_groupInfoSize;
/* Set at the end of postinit. Protocols run before it, so clients may send
 * earlier: they are relayed to clients, but not to the mesh until then. */
std::atomic<bool> s_meshReady{false};

std::shared_mutex s_clientsLock;
std::vector<TQ_Server_Node *> s_clients; /* client nodes, under s_clientsLock */
/* s_clients' size, written under the write lock: a server with no clients
 * (one inside the mesh) skips converting what it only passes on. */
std::atomic<size_t> s_clientCount{0};
std::atomic<int> s_servers{0}; /* server nodes: no broadcast while there are none */

std::atomic<uint64_t> s_fromClients{0}, s_fromMesh{0}, s_repeats{0}, s_dropped{0};

/* ---- Metrics ---- */

/* The counters above, read when the metrics are scraped: the hot path
 * stays as it is. */
TQ_Metric *s_metrics[4];

void collectCounter(void *counter, TQ_MetricWriter *writer)
{
    TQ_metricWriteSample(writer, nullptr,
                         (double)static_cast<std::atomic<uint64_t> *>(counter)->load(std::memory_order_relaxed));
}

void registerMetrics()
{
    const struct {
        const char *name, *help;
        std::atomic<uint64_t> *counter;
    } counters[] = {
        {"tessarc_relay_from_clients_total", "Datasets the relay took from clients.", &s_fromClients},
        {"tessarc_relay_from_mesh_total", "Datasets the relay took from the mesh.", &s_fromMesh},
        {"tessarc_relay_repeats_total", "Mesh datasets that arrived again over another path.", &s_repeats},
        {"tessarc_relay_dropped_total", "Datasets the relay dropped (malformed, or no memory).", &s_dropped},
    };
    for (size_t i = 0; i < 4; i++)
        s_metrics[i] = TQ_metricRegisterCollector(counters[i].name, counters[i].help, TQ_METRIC_COUNTER, nullptr,
                                                  collectCounter, counters[i].counter);
}

/* ---- Sending ---- */

/* Sends `dataset` to every client but `except`, under the read lock: the
 * core calls removeNode before it frees a client node, and removeNode waits
 * for the lock, so every listed node stays valid while it is sent to. A
 * node's send only queues the dataset on its connection (it never calls
 * back into the server), so no node reference is taken per dataset. */
void sendToClients(TQ_Buffer *dataset, TQ_Server_Node *except)
{
    std::shared_lock<std::shared_mutex> guard(s_clientsLock);
    for (TQ_Server_Node *node : s_clients) {
        if (node != except)
            node->send(node, dataset);
    }
}

/* A fresh buffer of `size` bytes with one reference, or null (logged). */
TQ_Buffer *newDataset(uint32_t size)
{
    TQ_Allocator *allocator = s_api->allocator;
    TQ_Buffer *buffer = allocator->allocBuffer(allocator, size);
    if (!buffer) {
        s_dropped.fetch_add(1, std::memory_order_relaxed);
        TQ_log(logger(), TQ_LOG_ERROR, "relay: no memory for a dataset of %u bytes\n", size);
        return nullptr;
    }
    return TQ_bufferAcquire(buffer);
}

/* Broadcasts the payload of a client dataset of `length` bytes to the mesh. */
void broadcastFromClient(TQ_Buffer *dataset, const TQ_DatasetHeader &header, uint32_t subtype, uint32_t length)
{
    uint32_t payload = length - c_clientHeader;
    uint32_t size = (uint32_t)sizeof(TQ_BroadcastHeader) + s_groupInfoSize + payload;
    TQ_Buffer *copy = newDataset(size);
    if (!copy)
        return;
    TQ_BroadcastHeader out;
    memset(&out, 0, sizeof out);
    out.header.length = size;
    out.header.type = header.type;
    out.header.flags = (uint8_t)(header.flags & ~(TQ_FLAG_BROADCAST | TQ_FLAG_ENCRYPT));
    out.subtype = subtype;
    out.ttl = s_settings.ttl;
    out.groupInfoLength = s_groupInfoSize;
    out.groupInfoOffset = (uint32_t)sizeof out;
    TQ_BufferIter to, from;
    TQ_bufferInitIter(copy, &to);
    TQ_bufferInitIter(dataset, &from);
    if (TQ_bufferCopyTo(&to, &out, sizeof out) == 1 && s_groupManager->writeGroupInfo(&s_groups, &to) == 1 &&
        TQ_bufferSkip(&from, c_clientHeader) == 1 && TQ_bufferCopyToBuf(&to, &from, payload) == 1)
        s_api->broadcast(copy, &s_groups, nullptr);
    TQ_bufferRelease(copy);
}

/* Gives the payload of a mesh broadcast to the local clients as a client
 * dataset. */
void deliverFromMesh(TQ_Buffer *dataset, uint32_t length)
{
    TQ_BroadcastHeader in;
    TQ_BufferIter from;
    TQ_bufferInitIter(dataset, &from);
    uint64_t start = 0;
    if (length >= sizeof in && TQ_bufferCopyFrom(&in, &from, sizeof in) == 1)
        start = (uint64_t)in.groupInfoOffset + in.groupInfoLength;
    if (start < sizeof in || start > length) {
        s_dropped.fetch_add(1, std::memory_order_relaxed);
        TQ_Server_logPeerFault(nullptr, logger(), TQ_LOG_WARN,
                               "relay: dropped a malformed broadcast dataset of %u bytes\n", length);
        return;
    }
    s_fromMesh.fetch_add(1, std::memory_order_relaxed);
    if (s_clientCount.load(std::memory_order_relaxed) == 0)
        return;
    uint32_t payload = length - (uint32_t)start;
    TQ_Buffer *plain = newDataset(c_clientHeader + payload);
    if (!plain)
        return;
    TQ_DatasetHeader header = {c_clientHeader + payload, in.header.type,
                               (uint8_t)(in.header.flags & ~(TQ_FLAG_BROADCAST | TQ_FLAG_ENCRYPT)), 0};
    TQ_BufferIter to;
    TQ_bufferInitIter(plain, &to);
    if (TQ_bufferCopyTo(&to, &header, sizeof header) == 1 && TQ_bufferCopyTo(&to, &in.subtype, 4) == 1 &&
        TQ_bufferSkip(&from, (uint32_t)start - (uint32_t)sizeof in) == 1 &&
        TQ_bufferCopyToBuf(&to, &from, payload) == 1)
        sendToClients(plain, nullptr);
    TQ_bufferRelease(plain);
}

/* ---- Hooks ---- */

void handleDataset(TQ_Server_Node *node, TQ_Buffer *dataset, TQ_TreeSet *groups)
{
    (void)groups;
    TQ_DatasetHeader header;
    TQ_BufferIter at;
    TQ_bufferInitIter(dataset, &at);
    uint32_t length = TQ_bufferSize(dataset);
    if (!node || TQ_bufferCopyFrom(&header, &at, sizeof header) != 1)
        return;
    if (header.flags & TQ_FLAG_BROADCAST) {
        deliverFromMesh(dataset, length);
        return;
    }
    uint32_t subtype = 0;
    if (length < c_clientHeader || TQ_bufferCopyFrom(&subtype, &at, 4) != 1) {
        s_dropped.fetch_add(1, std::memory_order_relaxed);
        char safe[TQ_SERVER_ESCAPED_SIZE];
        TQ_Server_logPeerFault(nullptr, logger(), TQ_LOG_WARN,
                               "relay: dropped a dataset of %u bytes from %s (no subtype)\n", length,
                               TQ_Server_escapeText(node->name, safe, sizeof safe));
        return;
    }
    if (node->isServer) {
        /* Sent to this server alone: for its clients only. */
        s_fromMesh.fetch_add(1, std::memory_order_relaxed);
        sendToClients(dataset, nullptr);
        return;
    }
    s_fromClients.fetch_add(1, std::memory_order_relaxed);
    sendToClients(dataset, node);
    if (s_servers.load(std::memory_order_relaxed) > 0 && s_meshReady.load(std::memory_order_acquire))
        broadcastFromClient(dataset, header, subtype, length);
}

/* A broadcast this server has delivered already, arriving again over
 * another path: counted, and logged when relay.cfg asks for it. */
void handleRepeat(TQ_Server_Node *node, TQ_Buffer *dataset, TQ_TreeSet *groups)
{
    (void)groups;
    s_repeats.fetch_add(1, std::memory_order_relaxed);
    if (!s_settings.logRepeats)
        return;
    TQ_BroadcastHeader in;
    TQ_BufferIter at;
    TQ_bufferInitIter(dataset, &at);
    if (TQ_bufferCopyFrom(&in, &at, sizeof in) != 1)
        return;
    char safe[TQ_SERVER_ESCAPED_SIZE];
    TQ_log(logger(), TQ_LOG_INFO, "relay: repeat from %s: origin %08x%08x%08x sequence %u, %u hops, ttl %u\n",
           node ? TQ_Server_escapeText(node->name, safe, sizeof safe) : "(none)", in.origin.data[0], in.origin.data[1],
           in.origin.data[2], in.sequence, in.hops, in.ttl);
}

int32_t preinit(TQ_Server_ServiceApi *api)
{
    s_api = api;
    if (!s_settingsRead)
        return -1;
    registerMetrics();
    return 1;
}

void postinit()
{
    s_groupManager = s_api->groupManager;
    TQ_treeSetInit(&s_groups, TQ_ptrCompare);
    TQ_treeSetInsert(&s_groups, s_groupManager->defaultGroup());
    s_groupInfoSize = s_groupManager->groupInfoSize(&s_groups);
    s_meshReady.store(true, std::memory_order_release);
    TQ_log(logger(), TQ_LOG_INFO, "relay: dataset type %u, ttl %u%s\n", s_settings.datasetType, s_settings.ttl,
           s_settings.logRepeats ? ", repeats logged" : "");
}

void addNode(TQ_Server_Node *node)
{
    if (node->isServer) {
        s_servers.fetch_add(1);
        return;
    }
    {
        std::unique_lock<std::shared_mutex> guard(s_clientsLock);
        s_clients.push_back(node);
        s_clientCount.store(s_clients.size(), std::memory_order_relaxed);
    }
    char safe[TQ_SERVER_ESCAPED_SIZE];
    TQ_log(logger(), TQ_LOG_INFO, "relay: client %s joined\n", TQ_Server_escapeText(node->name, safe, sizeof safe));
}

void removeNode(TQ_Server_Node *node)
{
    if (node->isServer) {
        s_servers.fetch_sub(1);
        return;
    }
    {
        std::unique_lock<std::shared_mutex> guard(s_clientsLock);
        for (size_t i = 0; i < s_clients.size(); ++i) {
            if (s_clients[i] == node) {
                s_clients[i] = s_clients.back();
                s_clients.pop_back();
                s_clientCount.store(s_clients.size(), std::memory_order_relaxed);
                break;
            }
        }
    }
    char safe[TQ_SERVER_ESCAPED_SIZE];
    TQ_log(logger(), TQ_LOG_INFO, "relay: client %s left\n", TQ_Server_escapeText(node->name, safe, sizeof safe));
}

void predestroy()
{
    TQ_log(logger(), TQ_LOG_INFO, "relay: %llu datasets from clients, %llu from the mesh, %llu repeats, %llu dropped\n",
           (unsigned long long)s_fromClients.load(), (unsigned long long)s_fromMesh.load(),
           (unsigned long long)s_repeats.load(), (unsigned long long)s_dropped.load());
}

void postdestroy()
{
    for (TQ_Metric *&metric : s_metrics) {
        TQ_metricUnregister(metric);
        metric = nullptr;
    }
    s_meshReady.store(false);
    if (s_groupManager)
        TQ_treeSetDestroy(&s_groups);
    s_groupManager = nullptr;
}

TQ_Server_Service s_service = {
    preinit,    postinit,    addNode, removeNode, handleDataset, handleRepeat,
    predestroy, postdestroy, "relay", nullptr,    100,           16,
};

} /* namespace */

/* The type comes from relay.cfg, so the settings are read here, before the
 * host registers the service under that type. */
extern "C" TQ_Server_Service *getService(void)
{
    s_settingsRead = readSettings();
    s_service.datasetType = s_settings.datasetType;
    return &s_service;
}
