/* Reception: every dataset a protocol receives enters the server through
 * the `receive` callback and is routed by its type byte; a service dataset,
 * broadcast or not, goes on to its service through TQ_Server_handleDataset. The receive path
 * takes no lock of its own; it runs on the protocol's delivery thread, one
 * dataset at a time per connection. */
#include <deque>
#include <optional>
#include <string.h>

#include "core.h"

using namespace Tessarc;
using namespace Tessarc::Core;

/* ---- Decryption ---- */

/* Runs a type-3 dataset through the encryption provider, which decrypts it
 * in place. 1 with `type` set to the plain dataset's type and the buffer cut
 * to the plain dataset's length; 0 when the dataset is dropped (no provider,
 * or the provider refused it) or the connection was invalidated because the
 * plain dataset claims more bytes than the buffer holds. */
static int decrypt(TQ_Connection *connection, TQ_Buffer *dataset, uint8_t *type)
{
    TQ_Server_Encryption *encryption = g_comm.encryption.load();
    if (!encryption || encryption->decrypt(connection, dataset) == 0)
        return 0;
    TQ_DatasetHeader header;
    TQ_BufferIter it;
    TQ_bufferInitIter(dataset, &it);
    if (TQ_bufferCopyFrom(&header, &it, sizeof header) != 1 || header.length < sizeof header) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_ERROR,
               "Decrypted dataset on connection %s is shorter than its header; invalidating\n", connection->name);
        TQ_connectionInvalidate(connection);
        return 0;
    }
    if (TQ_bufferSize(dataset) < header.length) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_ERROR, "Decrypted dataset was too large!\n");
        TQ_connectionInvalidate(connection);
        return 0;
    }
    dataset->size = header.length;
    *type = header.type;
    return 1;
}

/* ---- Routing by type ---- */

static void route(TQ_Connection *connection, TQ_Buffer *dataset, uint8_t type, uint8_t flags)
{
    /* A decrypted dataset is routed again from the start: it may be of any
     * type, another encrypted one included. */
    while (type == TQ_DATASET_ENCRYPTED) {
        if (!decrypt(connection, dataset, &type))
            return;
        TQ_BufferIter it;
        TQ_bufferInitIter(dataset, &it);
        TQ_bufferSkip(&it, offsetof(TQ_DatasetHeader, flags));
        TQ_bufferCopyFrom(&flags, &it, 1);
    }
    switch (type) {
    case TQ_DATASET_NONE:
        return;
    case TQ_DATASET_PROTOCOL: {
        TQ_Server_Protocol *protocol = connection->interface->protocol;
        protocol->handleDataset(connection, dataset);
        return;
    }
    case TQ_DATASET_BASIC:
        handleBasicDataset(connection, dataset);
        return;
    default:
        break;
    }
    /* Service datasets need a node. The protocol delivers reliable datasets
     * in order, so a reliable one before the handshake has attached the node
     * means the peer broke the protocol; an unreliable one may simply have
     * overtaken the handshake and is dropped. */
    TQ_Server_Node *node = connectionNode(connection);
    if (!node) {
        if (flags & TQ_FLAG_RELIABLE) {
            TQ_Server_logPeerFault(connection, &g_TQ_serverLog, TQ_LOG_ERROR,
                                   "Got a reliable dataset out of order, type = %d\n", type);
            TQ_connectionInvalidate(connection);
        }
        return;
    }
    TQ_Server_handleDataset(node, dataset, nullptr);
}

/* ---- The receive callback ---- */

/* Reads the dataset header at the start of the payload: straight from the
 * embedded first segment when it holds the whole header (every dataset a
 * protocol receives in one piece), else through a cursor over the chain.
 * False when the buffer holds fewer bytes than a header. */
static bool readDatasetHeader(TQ_Buffer *dataset, TQ_DatasetHeader *header)
{
    if (dataset->size < sizeof *header)
        return false;
    if (dataset->first.length >= sizeof *header) {
        memcpy(header, dataset->first.data, sizeof *header);
        return true;
    }
    TQ_BufferIter it;
    TQ_bufferInitIter(dataset, &it);
    return TQ_bufferCopyFrom(header, &it, sizeof *header) == 1;
}

void Core::receiveCallback(TQ_Connection *connection, TQ_Buffer *dataset)
{
    uint32_t size = dataset->size;
    TQ_DatasetHeader header;
    if (!readDatasetHeader(dataset, &header)) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_ERROR,
               "Dataset of %u bytes on connection %s is shorter than its header; invalidating\n", (unsigned)size,
               connection->name);
        TQ_connectionInvalidate(connection);
        return;
    }
    /* The header's length must repeat the size of the buffer that carries
     * it; a disagreement means the link lost its framing. */
    if (header.length != size) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_ERROR,
               "Dataset length %u disagrees with the %u bytes received on connection %s; invalidating\n",
               (unsigned)header.length, (unsigned)size, connection->name);
        TQ_connectionInvalidate(connection);
        return;
    }
    /* What the core and the services log about this dataset is counted
     * against the connection it came on. */
    setReceivingConnection(connection);
    g_coreCounters.received[header.type].fetch_add(1, std::memory_order_relaxed);
    route(connection, dataset, header.type, header.flags);
    setReceivingConnection(nullptr);
}

/* ---- Service datasets ---- */

namespace {

/* The groups set that the group filter fills for one broadcast dataset.
 * Each thread keeps its sets and reuses them emptied, so that a dataset
 * costs no set of its own; a nested delivery on the same thread (a hook
 * that hands a dataset in again) takes the next set up. A deque never
 * moves a set that an outer delivery is using. */
class LocalGroups {
public:
    LocalGroups() : m_sets(s_sets)
    {
        if (m_sets.depth == m_sets.sets.size()) {
            m_sets.sets.emplace_back();
            TQ_treeSetInit(&m_sets.sets.back(), TQ_ptrCompare);
        }
        m_set = &m_sets.sets[m_sets.depth++];
    }
    ~LocalGroups()
    {
        TQ_TreeSetIterator it;
        TQ_treeSetBegin(m_set, &it);
        while (TQ_treeSetHasNext(&it))
            TQ_treeSetErase(&it);
        m_sets.depth--;
    }
    LocalGroups(const LocalGroups &) = delete;
    LocalGroups &operator=(const LocalGroups &) = delete;
    TQ_TreeSet *set() { return m_set; }

private:
    struct Sets {
        std::deque<TQ_TreeSet> sets;
        size_t depth = 0;
        ~Sets()
        {
            for (TQ_TreeSet &set : sets)
                TQ_treeSetDestroy(&set);
        }
    };
    static TQ_CORE_THREAD_LOCAL Sets s_sets;
    Sets &m_sets;
    TQ_TreeSet *m_set;
};

TQ_CORE_THREAD_LOCAL LocalGroups::Sets LocalGroups::s_sets;

} /* namespace */

void TQ_Server_handleDataset(TQ_Server_Node *node, TQ_Buffer *dataset, TQ_TreeSet *groups)
{
    TQ_DatasetHeader plain;
    TQ_BufferIter it;
    TQ_bufferInitIter(dataset, &it);
    if (TQ_bufferCopyFrom(&plain, &it, sizeof plain) != 1) {
        TQ_Server_logPeerFault(nullptr, &g_TQ_serverLog, TQ_LOG_ERROR,
                               "Dropping a dataset of %u bytes: shorter than its header\n",
                               (unsigned)TQ_bufferSize(dataset));
        return;
    }
    int broadcast = (plain.flags & TQ_FLAG_BROADCAST) != 0;
    BroadcastVerdict verdict = BroadcastNew;
    uint64_t time = 0;
    std::optional<LocalGroups> localGroups;
    TQ_Buffer *filtered = nullptr;
    if (broadcast) {
        if (!node) {
            TQ_Server_logPeerFault(nullptr, &g_TQ_serverLog, TQ_LOG_WARN,
                                   "Got a broadcast dataset before the node was set up; ignoring.\n");
            return;
        }
        TQ_BroadcastHeader header;
        if (!readWellFormedBroadcast(dataset, &header))
            return;
        verdict = broadcastCheck(node, dataset, &header, &time);
        if (verdict != BroadcastDrop)
            (verdict == BroadcastNew ? g_coreCounters.broadcastsFirst : g_coreCounters.broadcastsRepeated)
                .fetch_add(1, std::memory_order_relaxed);
        if (verdict == BroadcastDrop)
            return;
        if (!groups) {
            localGroups.emplace();
            TQ_Server_GroupManager *manager = g_comm.groupManager.load();
            TQ_Buffer *result = manager ? manager->filterBroadcast(node, dataset, header.groupInfoLength,
                                                                   header.groupInfoOffset, localGroups->set())
                                        : dataset;
            if (!result)
                return;
            filtered = TQ_bufferAcquire(result);
            groups = localGroups->set();
            if (result != dataset) {
                dataset = result;
                TQ_bufferInitIter(dataset, &it);
                if (TQ_bufferCopyFrom(&plain, &it, sizeof plain) != 1)
                    plain.type = 0;
            }
        }
    }

    TQ_Server_Service *service = TQ_Server_findServiceByType(plain.type);
    if (!service) {
        g_coreCounters.noService.fetch_add(1, std::memory_order_relaxed);
        TQ_Server_logPeerFault(nullptr, &g_TQ_serverLog, TQ_LOG_WARN, "No service for dataset type %d\n", plain.type);
    } else if (verdict == BroadcastNew)
        service->handleDataset(node, dataset, groups);
    else if (service->handleDatasetAlt)
        service->handleDatasetAlt(node, dataset, groups);

    /* Forwarded whether or not a service took it, and for repeats too: the
     * forward itself goes out only once per dataset, and a repeat of one
     * that went out already is not even offered. */
    if (broadcast && verdict != BroadcastSeenForwarded)
        forwardBroadcast(node, dataset, groups, nullptr, time);

    if (filtered)
        TQ_bufferRelease(filtered);
}
