/* Broadcast: flooding datasets through the mesh of servers. A service
 * broadcasts a dataset to every server node whose groups match; each
 * receiving server checks by (origin, sequence number) whether it has seen
 * the dataset, delivers it to the service that owns its type and forwards
 * it once to its other servers, leaving out those known to have it: the
 * nodes it came from and servers that have been the sender's neighbours
 * for more than ten seconds. The delivery of service datasets,
 * TQ_Server_handleDataset, is dispatch's; it asks broadcastCheck here.
 *
 * Every record of a received broadcast expires: ten seconds after it was
 * made, and again ten seconds after it was forwarded. The record table is
 * bounded: past the limit the records that would expire first are forgotten
 * early, with a warning, so memory stays bounded whatever the broadcast
 * rate. A forgotten record only means that a late copy of its dataset is
 * taken for new again.
 *
 * Locks, outermost first: broadcast lock, server state lock, node lock.
 * The server state lock is never held while the broadcast lock is taken;
 * datasets are sent and hooks run with no lock held. */
#include <atomic>
#include <string.h>
#include <vector>

#include "core.h"

using namespace Tessarc::Core;

namespace {

/* How long a record is kept after it was made or forwarded, and how long a
 * server must have been the sender's neighbour to be taken as having every
 * dataset the sender forwards. */
const uint64_t kRecordLifetimeMs = 10000;
const uint64_t kNeighbourAgeMs = 10000;

/* ---- Clock and bound ---- */

std::atomic<uint64_t (*)(void)> s_timeSource{nullptr};
std::atomic<uint32_t> s_recordLimit{TQ_SERVER_BROADCAST_RECORD_LIMIT};
/* Set while the table is held at its bound, so that an overload is
 * reported once rather than with every new record; broadcast lock. */
bool s_overLimit = false;

uint64_t now()
{
    uint64_t (*source)(void) = s_timeSource.load(std::memory_order_acquire);
    return source ? source() : TQ_getTimeMs();
}

/* ---- Header access ---- */

/* Reads the broadcast header; 0 when the dataset is shorter. */
int readHeader(TQ_Buffer *dataset, TQ_BroadcastHeader *header)
{
    TQ_BufferIter it;
    TQ_bufferInitIter(dataset, &it);
    return TQ_bufferCopyFrom(header, &it, sizeof *header) == 1;
}

/* Writes `count` bytes of `header` from `offset` back into the dataset. */
void writeHeaderBytes(TQ_Buffer *dataset, const TQ_BroadcastHeader *header, size_t offset, size_t count)
{
    TQ_BufferIter it;
    TQ_bufferInitIter(dataset, &it);
    if (TQ_bufferSkip(&it, (uint32_t)offset) == 1)
        TQ_bufferCopyTo(&it, reinterpret_cast<const uint8_t *>(header) + offset, (uint32_t)count);
}

} /* namespace */

/* Reads the header of a dataset flagged (or to be flagged) broadcast and
 * checks that the whole header is there and that the group information lies
 * inside the dataset. Logs why and returns 0 when not. */
int Tessarc::Core::readWellFormedBroadcast(TQ_Buffer *dataset, TQ_BroadcastHeader *header)
{
    uint32_t size = TQ_bufferSize(dataset);
    if (size < sizeof *header || !readHeader(dataset, header)) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_ERROR,
               "Dropping a broadcast dataset of %u bytes: shorter than the %u-byte broadcast header\n", (unsigned)size,
               (unsigned)sizeof *header);
        return 0;
    }
    if ((uint64_t)header->groupInfoOffset + header->groupInfoLength > size) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_ERROR,
               "Dropping a broadcast dataset of %u bytes: its group information (offset %u, length %u) "
               "lies outside it\n",
               (unsigned)size, (unsigned)header->groupInfoOffset, (unsigned)header->groupInfoLength);
        return 0;
    }
    return 1;
}

namespace {

/* ---- Candidates ---- */

/* The server nodes one broadcast or forward goes to: one slot per entry of
 * the server table, holding an acquired node or null. The slots live in a
 * per-thread arena that grows to the largest table seen and is then reused,
 * so a call allocates nothing; slots are addressed by index, so a nested
 * call on the same thread (a send that delivers in place) stacks its own
 * slots on top safely. */
class Candidates {
public:
    Candidates() : m_base(s_arena.size()) {}
    ~Candidates()
    {
        for (size_t i = 0; i < m_count; i++)
            if (TQ_Server_Node *node = at(i))
                node->release(node);
        s_arena.resize(m_base);
    }
    Candidates(const Candidates &) = delete;
    Candidates &operator=(const Candidates &) = delete;

    /* Fills the slots in table order: a node whose groups match `groups`,
     * acquired, else null. Caller holds the server state lock. */
    void select(TQ_TreeSet *groups)
    {
        TQ_Server_GroupManager *manager = g_comm.groupManager.load();
        m_count = TQ_hashSetSize(&g_comm.servers);
        s_arena.resize(m_base + m_count);
        size_t i = 0;
        TQ_HashSetIterator it;
        for (TQ_hashSetBegin(&g_comm.servers, &it); TQ_hashSetHasNext(&it) && i < m_count; TQ_hashSetNext(&it)) {
            TQ_Server_Node *node = static_cast<TQ_Server_Node *>(it.m_value);
            int match = !manager || manager->groupsMatch(groups, &node->groups);
            at(i++) = match ? node->acquire(node) : nullptr;
        }
    }

    size_t size() const { return m_count; }
    TQ_Server_Node *&at(size_t i) { return s_arena[m_base + i]; }

    /* Sends to every remaining candidate in slot order, noting each in
     * `sentTo` (may be null), and gives the references back. No lock held. */
    void sendAll(TQ_Buffer *dataset, TQ_List *sentTo)
    {
        TQ_Allocator *allocator = g_TQ_serverAllocator;
        for (size_t i = 0; i < m_count; i++) {
            TQ_Server_Node *node = at(i);
            if (!node)
                continue;
            node->send(node, dataset);
            if (sentTo) {
                /* Without a block the copy is skipped; the dataset went. */
                if (TQ_Uuid *copy = static_cast<TQ_Uuid *>(allocator->allocBlock32(allocator))) {
                    *copy = node->id;
                    TQ_listPushBack(sentTo, copy);
                }
            }
            at(i) = nullptr;
            node->release(node);
        }
    }

private:
    static thread_local std::vector<TQ_Server_Node *> s_arena;
    size_t m_base;
    size_t m_count = 0;
};

thread_local std::vector<TQ_Server_Node *> Candidates::s_arena;

/* ---- Records ---- */

/* Notes that the node with `id` has the dataset; without a block nothing is
 * noted. Caller holds the broadcast lock. */
void addHaveIt(BroadcastRecord *record, const TQ_Uuid *id)
{
    TQ_Allocator *allocator = g_TQ_serverAllocator;
    TQ_Uuid *copy = static_cast<TQ_Uuid *>(allocator->allocBlock32(allocator));
    if (!copy)
        return;
    *copy = *id;
    if (TQ_hashSetInsert(&record->haveIt, copy) != copy)
        allocator->freeBlock32(allocator, copy);
}

BroadcastRecord *findRecord(const TQ_BroadcastHeader *header)
{
    BroadcastRecord key;
    key.origin = header->origin;
    key.sequence = header->sequence;
    TQ_HashSetIterator it;
    if (!TQ_hashSetFind(&g_comm.broadcastRecords, &it, &key))
        return nullptr;
    return static_cast<BroadcastRecord *>(it.m_value);
}

/* Takes a record out of both tables and frees it; `it` is on it in the
 * expiry order and is left on the next one. Caller holds the broadcast
 * lock. */
void forget(TQ_TreeSetIterator *it)
{
    BroadcastRecord *record = static_cast<BroadcastRecord *>(TQ_treeSetErase(it));
    TQ_hashSetRemoveNoFree(&g_comm.broadcastRecords, record);
    freeBroadcastRecord(record);
}

/* Frees every record that expired before `time`, from the front of the
 * expiry order; then, while the table is over its bound, the records that
 * would expire first, except `keep`. The first sweep that has to cut the
 * table warns; it warns again only after expiry alone has kept it within
 * the bound. Caller holds the broadcast lock. */
void sweep(uint64_t time, const BroadcastRecord *keep)
{
    TQ_TreeSetIterator it;
    TQ_treeSetBegin(&g_comm.broadcastExpiry, &it);
    while (TQ_treeSetHasNext(&it) && static_cast<BroadcastRecord *>(it.m_value)->expiresAt < time)
        forget(&it);

    uint32_t limit = s_recordLimit.load(std::memory_order_relaxed);
    uint32_t size = TQ_hashSetSize(&g_comm.broadcastRecords);
    if (size <= limit) {
        s_overLimit = false;
        return;
    }
    uint32_t excess = size - limit;
    if (!s_overLimit)
        TQ_log(&g_TQ_serverLog, TQ_LOG_WARN,
               "Broadcast record table holds %u records, above its limit of %u; forgetting the oldest early "
               "until expiry brings it below\n",
               (unsigned)size, (unsigned)limit);
    s_overLimit = true;
    TQ_treeSetBegin(&g_comm.broadcastExpiry, &it);
    while (excess > 0 && TQ_treeSetHasNext(&it)) {
        if (it.m_value == keep) {
            TQ_treeSetNext(&it);
            continue;
        }
        forget(&it);
        g_coreCounters.recordsForgotten.fetch_add(1, std::memory_order_relaxed);
        excess--;
    }
}

} /* namespace */

/* ---- Broadcast check ---- */

/* Decides whether a broadcast dataset received from `node` is new, seen
 * already or to be dropped, and notes the node as having it. A new dataset
 * gets a record. Every copy that is not dropped has its ttl decremented and
 * its hop count incremented, in the dataset and in `header`: a repeat whose
 * delivery overtakes the first copy's may be the one that is forwarded, and
 * must go on with the hop it has made. */
BroadcastVerdict Tessarc::Core::broadcastCheck(TQ_Server_Node *node, TQ_Buffer *dataset, TQ_BroadcastHeader *header)
{
    if (!node->isServer) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "Got a broadcast dataset from a client\n");
        return BroadcastDrop;
    }
    if (memcmp(&header->origin, &g_comm.uuid, sizeof(TQ_Uuid)) == 0) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "Got a broadcast dataset that originated from this server\n");
        return BroadcastDrop;
    }
    BroadcastVerdict verdict = BroadcastSeen;
    TQ_mutexLock(g_comm.broadcastLock);
    if (BroadcastRecord *record = findRecord(header)) {
        addHaveIt(record, &node->id);
    } else {
        TQ_Allocator *allocator = g_TQ_serverAllocator;
        record = static_cast<BroadcastRecord *>(allocator->allocBlock256(allocator));
        if (!record) {
            TQ_mutexUnlock(g_comm.broadcastLock);
            TQ_log(&g_TQ_serverLog, TQ_LOG_ERROR, "No memory for a broadcast record; dropping the dataset\n");
            return BroadcastDrop;
        }
        uint64_t time = now();
        memset(record, 0, sizeof *record);
        record->origin = header->origin;
        record->sequence = header->sequence;
        record->expiresAt = time + kRecordLifetimeMs;
        record->forwarded = 0;
        TQ_hashSetInit(&record->haveIt, TQ_uuidEqual, TQ_uuidHash);
        addHaveIt(record, &node->id);
        TQ_hashSetInsert(&g_comm.broadcastRecords, record);
        TQ_treeSetInsert(&g_comm.broadcastExpiry, record);
        sweep(time, record);
        verdict = BroadcastNew;
    }
    TQ_mutexUnlock(g_comm.broadcastLock);
    (verdict == BroadcastNew ? g_coreCounters.broadcastsFirst : g_coreCounters.broadcastsRepeated)
        .fetch_add(1, std::memory_order_relaxed);

    /* A dataset that arrives with no hop left keeps ttl 0 rather than
     * wrapping round to 65535. */
    if (header->ttl > 0)
        header->ttl--;
    header->hops++;
    writeHeaderBytes(dataset, header, offsetof(TQ_BroadcastHeader, ttl), 2 * sizeof(uint16_t));
    return verdict;
}

/* ---- Record element functions ---- */

int Tessarc::Core::broadcastRecordEqual(const void *a, const void *b)
{
    const BroadcastRecord *x = static_cast<const BroadcastRecord *>(a);
    const BroadcastRecord *y = static_cast<const BroadcastRecord *>(b);
    return x->sequence == y->sequence && memcmp(&x->origin, &y->origin, sizeof(TQ_Uuid)) == 0;
}

uint32_t Tessarc::Core::broadcastRecordHash(const void *record)
{
    const BroadcastRecord *r = static_cast<const BroadcastRecord *>(record);
    return TQ_djb2hash(r->sequence, &r->origin, sizeof(TQ_Uuid));
}

int Tessarc::Core::broadcastRecordCompare(const void *a, const void *b)
{
    const BroadcastRecord *x = static_cast<const BroadcastRecord *>(a);
    const BroadcastRecord *y = static_cast<const BroadcastRecord *>(b);
    if (x->expiresAt != y->expiresAt)
        return x->expiresAt < y->expiresAt;
    return reinterpret_cast<uintptr_t>(x) < reinterpret_cast<uintptr_t>(y);
}

void Tessarc::Core::freeBroadcastRecord(BroadcastRecord *record)
{
    TQ_HashSetIterator it;
    TQ_hashSetBegin(&record->haveIt, &it);
    while (TQ_hashSetHasNext(&it))
        g_TQ_serverAllocator->freeBlock32(g_TQ_serverAllocator, TQ_hashSetErase(&it));
    TQ_hashSetDestroy(&record->haveIt);
    g_TQ_serverAllocator->freeBlock256(g_TQ_serverAllocator, record);
}

/* ---- Broadcast tables ---- */

void Tessarc::Core::createBroadcastTables()
{
    TQ_hashSetInit(&g_comm.broadcastRecords, broadcastRecordEqual, broadcastRecordHash);
    TQ_treeSetInit(&g_comm.broadcastExpiry, broadcastRecordCompare);
    g_comm.broadcastLock = TQ_mutexCreate();
}

/* Frees every record, forwarded or not, and the tables. */
void Tessarc::Core::destroyBroadcastTables()
{
    TQ_treeSetDestroy(&g_comm.broadcastExpiry);
    TQ_HashSetIterator it;
    TQ_hashSetBegin(&g_comm.broadcastRecords, &it);
    while (TQ_hashSetHasNext(&it))
        freeBroadcastRecord(static_cast<BroadcastRecord *>(TQ_hashSetErase(&it)));
    TQ_hashSetDestroy(&g_comm.broadcastRecords);
    TQ_mutexDelete(g_comm.broadcastLock);
    g_comm.broadcastLock = 0;
}

/* Each record is a 256-byte block with a 32-byte block per node noted in
 * its haveIt set. */
void Tessarc::Core::broadcastRecordUsage(uint64_t *records, uint64_t *bytes)
{
    TQ_mutexLock(g_comm.broadcastLock);
    *records = TQ_hashSetSize(&g_comm.broadcastRecords);
    *bytes = *records * 256;
    TQ_HashSetIterator it;
    for (TQ_hashSetBegin(&g_comm.broadcastRecords, &it); TQ_hashSetHasNext(&it); TQ_hashSetNext(&it))
        *bytes += 32 * (uint64_t)TQ_hashSetSize(&static_cast<BroadcastRecord *>(it.m_value)->haveIt);
    TQ_mutexUnlock(g_comm.broadcastLock);
}

/* ---- Bound and clock ---- */

void TQ_Server_setBroadcastRecordLimit(uint32_t limit)
{
    s_recordLimit.store(limit > 0 ? limit : 1, std::memory_order_relaxed);
}

void TQ_Server_setBroadcastTimeSource(uint64_t (*source)(void))
{
    s_timeSource.store(source, std::memory_order_release);
}

/* ---- Broadcast and forwarding ---- */

void TQ_Server_broadcast(TQ_Buffer *dataset, TQ_TreeSet *groups, TQ_List *sentTo)
{
    TQ_BroadcastHeader header;
    if (!readWellFormedBroadcast(dataset, &header))
        return;
    if (header.header.flags & TQ_FLAG_BROADCAST) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_WARN, "Not broadcasting a dataset that already has the broadcast flag set\n");
        return;
    }
    if (header.ttl == 0) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_WARN, "Not broadcasting a dataset with a ttl of 0\n");
        return;
    }
    header.header.flags |= TQ_FLAG_BROADCAST;
    header.hops = 0;
    header.origin = g_comm.uuid;

    Candidates candidates;
    TQ_mutexLock(g_comm.stateLock);
    header.sequence = g_comm.broadcastSequence++;
    candidates.select(groups);
    TQ_mutexUnlock(g_comm.stateLock);

    writeHeaderBytes(dataset, &header, 0, sizeof header);
    candidates.sendAll(dataset, sentTo);
}

void TQ_Server_rebroadcast(TQ_Server_Node *node, TQ_Buffer *dataset, TQ_TreeSet *groups, TQ_List *sentTo)
{
    TQ_BroadcastHeader header;
    if (!node || !node->isServer || !readHeader(dataset, &header))
        return;
    if (!(header.header.flags & TQ_FLAG_BROADCAST) || header.ttl == 0)
        return;
    uint64_t time = now();

    TQ_mutexLock(g_comm.broadcastLock);
    BroadcastRecord *record = findRecord(&header);
    if (!record) {
        TQ_mutexUnlock(g_comm.broadcastLock);
        TQ_log(&g_TQ_serverLog, TQ_LOG_ERROR, "Broadcast error! Dataset type = %d, subtype = %lu\n", header.header.type,
               (unsigned long)header.subtype);
        return;
    }
    if (record->forwarded) {
        TQ_mutexUnlock(g_comm.broadcastLock);
        return;
    }
    record->forwarded = 1;
    TQ_mutexUnlock(g_comm.broadcastLock);

    Candidates candidates;
    TQ_mutexLock(g_comm.stateLock);
    candidates.select(groups);
    TQ_mutexUnlock(g_comm.stateLock);

    TQ_mutexLock(g_comm.broadcastLock);
    /* Looked up again: while no lock was held the record may have been
     * forgotten early under the table's bound. Then only the sender is left
     * out. */
    record = findRecord(&header);
    if (record) {
        TQ_treeSetRemoveNoFree(&g_comm.broadcastExpiry, record);
        record->expiresAt = time + kRecordLifetimeMs;
        TQ_treeSetInsert(&g_comm.broadcastExpiry, record);
        TQ_Server_ServerNode *server = reinterpret_cast<TQ_Server_ServerNode *>(node);
        TQ_mutexLock(node->lock);
        TQ_HashSetIterator it;
        for (TQ_hashSetBegin(&server->neighbours, &it); TQ_hashSetHasNext(&it); TQ_hashSetNext(&it)) {
            const TQ_Server_Neighbour *neighbour = static_cast<const TQ_Server_Neighbour *>(it.m_value);
            if (neighbour->since < time && time - neighbour->since > kNeighbourAgeMs)
                addHaveIt(record, &neighbour->uuid);
        }
        TQ_mutexUnlock(node->lock);
    }
    for (size_t i = candidates.size(); i-- > 0;) {
        TQ_Server_Node *candidate = candidates.at(i);
        if (!candidate)
            continue;
        TQ_HashSetIterator found;
        int haveIt = TQ_uuidEqual(&candidate->id, &node->id) ||
                     (record && TQ_hashSetFind(&record->haveIt, &found, &candidate->id));
        if (haveIt) {
            candidates.at(i) = nullptr;
            candidate->release(candidate);
        }
    }
    TQ_mutexUnlock(g_comm.broadcastLock);

    candidates.sendAll(dataset, sentTo);
}
