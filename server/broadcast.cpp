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
 * made, and again ten seconds after it was forwarded. The records together
 * are held to a memory budget: past it the records that would expire first
 * (the oldest) are forgotten early, with a warning at most every ten
 * seconds, so memory stays bounded whatever the broadcast rate. A forgotten
 * record only means that a late copy of its dataset is taken for new again.
 *
 * Locks, outermost first: broadcast lock, server state lock, node lock.
 * The server state lock is never held while the broadcast lock is taken;
 * datasets are sent and hooks run with no lock held. */
#include <atomic>
#include <stdint.h>
#include <string.h>
#include <vector>

#include "../runtime/treeorder.h"
#include "core.h"

using namespace Tessarc::Core;

namespace {

/* How long a record is kept after it was made or forwarded, and how long a
 * server must have been the sender's neighbour to be taken as having every
 * dataset the sender forwards. */
constexpr uint64_t kRecordLifetimeMs = 10000;
constexpr uint64_t kNeighbourAgeMs = 10000;
/* At most one warning about the budget in this time. */
constexpr uint64_t kBudgetWarningMs = 10000;
/* Records let go are kept, emptied, for the next new ones, up to this many:
 * a new record then costs no allocation and no bucket initialisation. They
 * are held outside the budget (about 1 KB each). The records that expire
 * in one millisecond at a high rate, freed together, fit. */
constexpr size_t kSpareRecords = 512;
/* The bucket count of a fresh haveIt set; a spare keeps only such a set.
 * A record notes which of them hold a copy in one bit each. */
constexpr uint32_t kHaveItBuckets = 32;
static_assert(kHaveItBuckets == 8 * sizeof(BroadcastRecord::haveItUsed), "a bit per haveIt bucket");
/* Identifier copies let go are kept for the next haveIt entries, up to this
 * many (32 KB): each new record and each repeat then takes and gives back a
 * copy under the broadcast lock it holds anyway, instead of a round trip to
 * the allocator's pool lock for each. */
constexpr size_t kSpareCopies = 1024;

/* ---- What a record costs ---- */

/* The heap bytes that malloc adds to each block (its chunk header and
 * rounding), so that the budget counts what the process really holds. */
constexpr uint64_t kMallocOverhead = 16;
/* A record without its haveIt set: its 256-byte block, its list node in the
 * record table and up to two of that table's buckets, and half a node of
 * the expiry order (a node holds one to three records). */
constexpr uint64_t kRecordBaseBytes = (256 + kMallocOverhead) + (sizeof(TQ_ListNode) + kMallocOverhead) +
                                      2 * sizeof(TQ_List) + (sizeof(TQ_TreeNode) + kMallocOverhead) / 2;
/* One haveIt entry: the 32-byte identifier copy and its list node. */
constexpr uint64_t kHaveItEntryBytes = (32 + kMallocOverhead) + (sizeof(TQ_ListNode) + kMallocOverhead);

uint64_t footprint(const BroadcastRecord *record)
{
    return kRecordBaseBytes + uint64_t(record->haveIt.m_capacity) * sizeof(TQ_List) + kMallocOverhead +
           uint64_t(record->haveIt.m_size) * kHaveItEntryBytes;
}

/* ---- Clock, budget and table state ---- */

std::atomic<uint64_t (*)(void)> s_timeSource{nullptr};
std::atomic<uint64_t> s_budget{TQ_SERVER_BROADCAST_RECORD_BUDGET};

/* The rest is guarded by the broadcast lock. */
struct Table {
    uint64_t bytes = 0;               /* footprint of every record in the table */
    uint64_t frontBound = UINT64_MAX; /* no record expires before this: the expiry
                                       * order's front is looked at only once it passed */
    bool warned = false;              /* a budget warning was logged, at warnedAt */
    uint64_t warnedAt = 0;
    uint64_t forgotten = 0;                /* records forgotten early since the last warning */
    BroadcastRecord next;                  /* key and hash of the last new record's successor */
    std::vector<BroadcastRecord *> spares; /* blocks with an empty haveIt set, kSpareRecords at most */
    size_t spareCopyCount = 0;             /* 32-byte blocks kept in spareCopies */
    void *spareCopies[kSpareCopies];
} s_table;

uint64_t now()
{
    uint64_t (*source)(void) = s_timeSource.load(std::memory_order_acquire);
    return source ? source() : TQ_getTimeMs();
}

/* ---- Header access ---- */

/* Reads the broadcast header; 0 when the dataset is shorter. A dataset
 * received in one piece is read in place. */
int readHeader(TQ_Buffer *dataset, TQ_BroadcastHeader *header)
{
    if (dataset->first.length >= sizeof *header && dataset->size >= sizeof *header) {
        memcpy(header, dataset->first.data, sizeof *header);
        return 1;
    }
    TQ_BufferIter it;
    TQ_bufferInitIter(dataset, &it);
    return TQ_bufferCopyFrom(header, &it, sizeof *header) == 1;
}

/* Writes `count` bytes of `header` from `offset` back into the dataset. */
void writeHeaderBytes(TQ_Buffer *dataset, const TQ_BroadcastHeader *header, size_t offset, size_t count)
{
    const uint8_t *from = reinterpret_cast<const uint8_t *>(header) + offset;
    if (dataset->first.length >= offset + count) {
        memcpy(dataset->first.data + offset, from, count);
        return;
    }
    TQ_BufferIter it;
    TQ_bufferInitIter(dataset, &it);
    if (TQ_bufferSkip(&it, (uint32_t)offset) == 1)
        TQ_bufferCopyTo(&it, from, (uint32_t)count);
}

} /* namespace */

/* Reads the header of a dataset flagged (or to be flagged) broadcast and
 * checks that the whole header is there and that the group information,
 * unless empty, lies inside the dataset behind the header. Logs why and
 * returns 0 when not. */
int Tessarc::Core::readWellFormedBroadcast(TQ_Buffer *dataset, TQ_BroadcastHeader *header)
{
    uint32_t size = TQ_bufferSize(dataset);
    if (size < sizeof *header || !readHeader(dataset, header)) {
        TQ_Server_logPeerFault(nullptr, &g_TQ_serverLog, TQ_LOG_ERROR,
                               "Dropping a broadcast dataset of %u bytes: shorter than the %u-byte broadcast header\n",
                               (unsigned)size, (unsigned)sizeof *header);
        return 0;
    }
    /* The group manager writes into the group information in place, so it
     * must lie wholly behind the header; an empty range touches nothing and
     * may point anywhere. */
    if (header->groupInfoLength != 0 && header->groupInfoOffset < sizeof *header) {
        TQ_Server_logPeerFault(nullptr, &g_TQ_serverLog, TQ_LOG_ERROR,
                               "Dropping a broadcast dataset of %u bytes: its group information (offset %u, length %u) "
                               "overlaps the %u-byte broadcast header\n",
                               (unsigned)size, (unsigned)header->groupInfoOffset, (unsigned)header->groupInfoLength,
                               (unsigned)sizeof *header);
        return 0;
    }
    if (header->groupInfoLength != 0 && (uint64_t)header->groupInfoOffset + header->groupInfoLength > size) {
        TQ_Server_logPeerFault(nullptr, &g_TQ_serverLog, TQ_LOG_ERROR,
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
 * the server table, holding an acquired node or null, and the connection
 * acquired with it that the dataset goes out on (null: the node's own send
 * picks one). The slots live in a per-thread arena that grows to the
 * largest table seen and is then reused, so a call allocates nothing; slots
 * are addressed by index, so a nested call on the same thread (a send that
 * delivers in place) stacks its own slots on top safely. */
class Candidates {
public:
    /* The arena is reached once per call: every access to a thread-local
     * of a shared library goes through the TLS resolver. */
    Candidates() : m_arena(s_arena), m_base(m_arena.size()) {}
    ~Candidates()
    {
        for (size_t i = 0; i < m_count; i++)
            releaseSlot(slot(i));
        m_arena.resize(m_base);
    }
    Candidates(const Candidates &) = delete;
    Candidates &operator=(const Candidates &) = delete;

    /* Fills the slots in table order: a node whose groups match `groups`,
     * acquired with a connection, else null. `sender` (may be null), which
     * a forward would leave out anyway, is not even acquired. The table's
     * buckets are read only up to its last node. Caller holds the server
     * state lock. */
    void select(TQ_TreeSet *groups, const TQ_Server_Node *sender)
    {
        TQ_Server_GroupManager *manager = g_comm.groupManager.load();
        const TQ_HashSet *table = &g_comm.servers;
        m_count = TQ_hashSetSize(table);
        m_arena.resize(m_base + m_count);
        size_t i = 0;
        for (uint32_t bucket = 0; i < m_count && bucket < table->m_capacity; bucket++) {
            for (TQ_ListNode *n = table->m_buckets[bucket].m_head; n && i < m_count; n = n->m_next) {
                TQ_Server_Node *node = static_cast<TQ_Server_Node *>(n->m_value);
                int match = node != sender && (!manager || manager->groupsMatch(groups, &node->groups));
                Slot &s = slot(i++);
                s.link = nullptr;
                s.node = match ? acquireNodeAndLink(node, &s.link) : nullptr;
            }
        }
    }

    size_t size() const { return m_count; }
    TQ_Server_Node *at(size_t i) { return slot(i).node; }

    /* Leaves candidate `i` out and gives its node back; its connection is
     * given back later with no lock held, as giving back the last
     * reference to a connection destroys it. */
    void drop(size_t i)
    {
        TQ_Server_Node *node = slot(i).node;
        slot(i).node = nullptr;
        node->release(node);
    }

    /* Sends to every remaining candidate in slot order, noting each in
     * `sentTo` (may be null), and gives the references back. No lock held. */
    void sendAll(TQ_Buffer *dataset, TQ_List *sentTo)
    {
        TQ_Allocator *allocator = g_TQ_serverAllocator;
        for (size_t i = 0; i < m_count; i++) {
            Slot &s = slot(i);
            if (s.node) {
                if (s.link)
                    s.link->send(s.link, dataset);
                else
                    s.node->send(s.node, dataset);
                /* Without a block the copy is skipped; the dataset went. */
                TQ_Uuid *copy = sentTo ? static_cast<TQ_Uuid *>(allocator->allocBlock32(allocator)) : nullptr;
                if (copy) {
                    *copy = s.node->id;
                    TQ_listPushBack(sentTo, copy);
                }
            }
            releaseSlot(s);
        }
    }

private:
    struct Slot {
        TQ_Server_Node *node;
        TQ_Connection *link;
    };
    Slot &slot(size_t i) { return m_arena[m_base + i]; }
    static void releaseSlot(Slot &s)
    {
        if (s.link)
            TQ_connectionRelease(s.link);
        if (s.node)
            s.node->release(s.node);
        s.node = nullptr;
        s.link = nullptr;
    }

    static TQ_CORE_THREAD_LOCAL std::vector<Slot> s_arena;
    std::vector<Slot> &m_arena;
    size_t m_base;
    size_t m_count = 0;
};

TQ_CORE_THREAD_LOCAL std::vector<Candidates::Slot> Candidates::s_arena;

/* ---- Records ---- */

/* A 32-byte block for an identifier copy: a spare, or one from the pool;
 * null when none can be had. Caller holds the broadcast lock. */
void *takeCopy()
{
    if (s_table.spareCopyCount == 0) {
        TQ_Allocator *allocator = g_TQ_serverAllocator;
        return allocator->allocBlock32(allocator);
    }
    return s_table.spareCopies[--s_table.spareCopyCount];
}

/* Keeps a copy no longer in any set as a spare, or gives it back to the
 * pool when there are enough. Caller holds the broadcast lock. */
void letGoCopy(void *copy)
{
    if (s_table.spareCopyCount < kSpareCopies) {
        s_table.spareCopies[s_table.spareCopyCount++] = copy;
        return;
    }
    TQ_Allocator *allocator = g_TQ_serverAllocator;
    allocator->freeBlock32(allocator, copy);
}

/* Notes that the node with `id` has the dataset; without a block nothing is
 * noted. Caller holds the broadcast lock. */
void addHaveIt(BroadcastRecord *record, const TQ_Uuid *id)
{
    TQ_Uuid *copy = static_cast<TQ_Uuid *>(takeCopy());
    if (!copy)
        return;
    *copy = *id;
    uint64_t before = footprint(record);
    if (TQ_hashSetInsert(&record->haveIt, copy) != copy)
        letGoCopy(copy);
    else if (record->haveIt.m_capacity == kHaveItBuckets)
        record->haveItUsed |= 1u << (TQ_uuidHash(copy) & (kHaveItBuckets - 1));
    s_table.bytes += footprint(record) - before;
}

int hasIt(BroadcastRecord *record, const TQ_Uuid *id)
{
    TQ_HashSetIterator found;
    return TQ_hashSetFind(&record->haveIt, &found, id);
}

/* TQ_djb2hash of the 12 origin bytes seeded with the sequence number,
 * written out for the fixed length. */
uint32_t keyHash(const TQ_Uuid *origin, uint32_t sequence)
{
    uint32_t words[3];
    static_assert(sizeof words == sizeof(TQ_Uuid), "an identifier is three words");
    memcpy(words, origin, sizeof words);
    uint32_t h = sequence;
    for (uint32_t w : words) /* bytes in memory order: least significant first */
        h = ((((((h * 33u) ^ (w & 0xff)) * 33u) ^ ((w >> 8) & 0xff)) * 33u ^ ((w >> 16) & 0xff)) * 33u) ^ (w >> 24);
    return h;
}

/* Sets a record's key and its hash. Every lookup, insertion, removal and
 * prefetch of a record hashes it, so the hash is computed once with the
 * key; a new record that follows the last one from the same origin takes
 * the hash computed when its bucket was asked for. Caller holds the
 * broadcast lock. */
void setKey(BroadcastRecord *record, const TQ_Uuid *origin, uint32_t sequence)
{
    record->origin = *origin;
    record->sequence = sequence;
    const BroadcastRecord &next = s_table.next;
    record->hash = sequence == next.sequence && memcmp(origin, &next.origin, sizeof *origin) == 0
                       ? next.hash
                       : keyHash(origin, sequence);
}

BroadcastRecord *findRecord(const TQ_BroadcastHeader *header)
{
    BroadcastRecord key;
    setKey(&key, &header->origin, header->sequence);
    TQ_HashSetIterator it;
    if (!TQ_hashSetFind(&g_comm.broadcastRecords, &it, &key))
        return nullptr;
    return static_cast<BroadcastRecord *>(it.m_value);
}

/* A block with an empty haveIt set: a spare, or a new one. Null when no
 * block can be had. Caller holds the broadcast lock. */
BroadcastRecord *takeSpare()
{
    if (!s_table.spares.empty()) {
        BroadcastRecord *record = s_table.spares.back();
        s_table.spares.pop_back();
        return record;
    }
    TQ_Allocator *allocator = g_TQ_serverAllocator;
    BroadcastRecord *record = static_cast<BroadcastRecord *>(allocator->allocBlock256(allocator));
    if (record) {
        TQ_hashSetInit(&record->haveIt, TQ_uuidEqual, TQ_uuidHash);
        record->haveItUsed = 0;
    }
    return record;
}

/* Keeps a record that is in no table as a spare, its haveIt copies freed,
 * or frees it when there are enough spares. Caller holds the broadcast
 * lock. */
void letGo(BroadcastRecord *record)
{
    TQ_HashSet *haveIt = &record->haveIt;
    if (s_table.spares.size() >= kSpareRecords || haveIt->m_capacity != kHaveItBuckets) {
        freeBroadcastRecord(record);
        return;
    }
    /* Only the buckets noted as holding a copy are emptied: the set keeps
     * its bucket array, and no copy is hashed again to be found. */
    for (uint32_t used = record->haveItUsed; used != 0; used &= used - 1) {
        TQ_List *list = &haveIt->m_buckets[__builtin_ctz(used)];
        for (TQ_ListNode *n = list->m_head; n; n = n->m_next)
            letGoCopy(n->m_value);
        TQ_listClear(list);
    }
    haveIt->m_size = 0;
    record->haveItUsed = 0;
    s_table.spares.push_back(record);
}

/* Takes a record out of both tables and lets it go; `it` is on it in the
 * expiry order and is left on the next one. Caller holds the broadcast
 * lock. */
void forget(TQ_TreeSetIterator *it)
{
    BroadcastRecord *record = static_cast<BroadcastRecord *>(TQ_treeSetErase(it));
    TQ_hashSetRemoveNoFree(&g_comm.broadcastRecords, record);
    s_table.bytes -= footprint(record);
    letGo(record);
}

/* Enters a record in the expiry order, comparing inline in the order of
 * broadcastRecordCompare (expiresAt, ties by address): the insertion is the
 * receive path's largest cost, with a comparison or two per element on its
 * way down. Caller holds the broadcast lock. */
void enterExpiry(BroadcastRecord *record)
{
    TQ_treeSetInsertByKeyThenAddress(&g_comm.broadcastExpiry, record, offsetof(BroadcastRecord, expiresAt));
    if (record->expiresAt < s_table.frontBound)
        s_table.frontBound = record->expiresAt;
}

/* Frees every record that expired before `time`, from the front of the
 * expiry order; the front is not even looked at while the earliest expiry
 * time is still ahead. Caller holds the broadcast lock. */
void expire(uint64_t time)
{
    if (time <= s_table.frontBound)
        return;
    TQ_TreeSetIterator it;
    TQ_treeSetBegin(&g_comm.broadcastExpiry, &it);
    while (TQ_treeSetHasNext(&it) && static_cast<BroadcastRecord *>(it.m_value)->expiresAt < time)
        forget(&it);
    s_table.frontBound = TQ_treeSetHasNext(&it) ? static_cast<BroadcastRecord *>(it.m_value)->expiresAt : UINT64_MAX;
}

/* The next records to be forgotten at the budget have long gone cold.
 * Each new record asks for the memory of the two after it: the block of
 * the second, and, from the first's block asked for last time, its
 * bucket in the record table (whose capacity is a power of two) and its
 * haveIt buckets. By the time they are forgotten their misses are paid,
 * and the block, taken again as a spare by a new record, has all its
 * buckets warm for the identifiers that record looks up. `it` is on the
 * front of the expiry order. */
void prefetchFront(TQ_TreeSetIterator *it, const BroadcastRecord *keep)
{
    TQ_TreeSetIterator ahead = *it;
    if (TQ_treeSetHasNext(&ahead) && ahead.m_value == keep)
        TQ_treeSetNext(&ahead);
    if (!TQ_treeSetHasNext(&ahead))
        return;
    const BroadcastRecord *first = static_cast<const BroadcastRecord *>(ahead.m_value);
    TQ_treeSetNext(&ahead);
    if (TQ_treeSetHasNext(&ahead) && ahead.m_value == keep)
        TQ_treeSetNext(&ahead);
    if (TQ_treeSetHasNext(&ahead))
        __builtin_prefetch(ahead.m_value);
    const TQ_HashSet *table = &g_comm.broadcastRecords;
    __builtin_prefetch(&table->m_buckets[first->hash & (table->m_capacity - 1)]);
    const char *buckets = reinterpret_cast<const char *>(first->haveIt.m_buckets);
    for (size_t at = 0; at < first->haveIt.m_capacity * sizeof(TQ_List); at += 64)
        __builtin_prefetch(buckets + at);
}

/* An origin's broadcasts mostly arrive in the order of their sequence
 * numbers, so the record table's bucket for the origin's next number is
 * asked for now: the next new record finds it in the caches. */
void prefetchNextBucket(const BroadcastRecord *record)
{
    BroadcastRecord &next = s_table.next;
    next.origin = record->origin;
    next.sequence = record->sequence + 1;
    next.hash = keyHash(&next.origin, next.sequence);
    const TQ_HashSet *table = &g_comm.broadcastRecords;
    __builtin_prefetch(&table->m_buckets[next.hash & (table->m_capacity - 1)]);
}

/* Over the budget, forgets the records that would expire first, except
 * `keep`, until the records fit again: at the budget each new record
 * forgets about one old one. Forgetting in step keeps memory warm: the
 * nodes and blocks one forgotten record gives back are what the next new
 * one takes, from the heap's per-thread cache and the spares, whereas a
 * batch of hundreds overflows both and leaves the next records to take
 * memory that has gone cold. Warns at most every kBudgetWarningMs. Caller
 * holds the broadcast lock. */
void holdToBudget(uint64_t time, const BroadcastRecord *keep)
{
    uint64_t budget = s_budget.load(std::memory_order_relaxed);
    if (s_table.bytes <= budget)
        return;
    TQ_TreeSetIterator it;
    TQ_treeSetBegin(&g_comm.broadcastExpiry, &it);
    while (s_table.bytes > budget && TQ_treeSetHasNext(&it)) {
        if (it.m_value == keep) {
            TQ_treeSetNext(&it);
            continue;
        }
        forget(&it);
        s_table.forgotten++;
        g_coreCounters.recordsForgotten.fetch_add(1, std::memory_order_relaxed);
    }
    prefetchFront(&it, keep);
    if (s_table.warned && time >= s_table.warnedAt && time - s_table.warnedAt < kBudgetWarningMs)
        return;
    TQ_log(&g_TQ_serverLog, TQ_LOG_WARN,
           "Broadcast records reached their budget of %llu bytes: forgot %llu of the oldest early; a late copy of "
           "their datasets counts as new\n",
           (unsigned long long)budget, (unsigned long long)s_table.forgotten);
    s_table.warned = true;
    s_table.warnedAt = time;
    s_table.forgotten = 0;
}

} /* namespace */

/* ---- Broadcast check ---- */

/* Decides whether a broadcast dataset received from `node` is new, seen
 * already or to be dropped, and notes the node as having it. A new dataset
 * gets a record, and only a new dataset has its ttl decremented and its hop
 * count incremented (in the dataset and in `header`): a repeat reaches the
 * second hook as it arrived. Should a repeat be the copy that is forwarded
 * (the first arrived with ttl 1 and was delivered, not forwarded), it goes
 * on with the ttl it came with. */
BroadcastVerdict Tessarc::Core::broadcastCheck(TQ_Server_Node *node, TQ_Buffer *dataset, TQ_BroadcastHeader *header,
                                               uint64_t *time)
{
    *time = 0;
    if (!node->isServer) {
        TQ_Server_logPeerFault(nullptr, &g_TQ_serverLog, TQ_LOG_INFO, "Got a broadcast dataset from a client\n");
        return BroadcastDrop;
    }
    if (memcmp(&header->origin, &g_comm.uuid, sizeof(TQ_Uuid)) == 0) {
        TQ_Server_logPeerFault(nullptr, &g_TQ_serverLog, TQ_LOG_INFO,
                               "Got a broadcast dataset that originated from this server\n");
        return BroadcastDrop;
    }
    TQ_mutexLock(g_comm.broadcastLock);
    /* One lookup serves both outcomes: a block with the key is offered to
     * the table, and kept as a spare when an equal record is there
     * already. */
    BroadcastRecord *record = takeSpare();
    if (!record) {
        BroadcastRecord *seen = findRecord(header);
        if (seen)
            addHaveIt(seen, &node->id);
        BroadcastVerdict verdict = !seen ? BroadcastDrop : seen->forwarded ? BroadcastSeenForwarded : BroadcastSeen;
        TQ_mutexUnlock(g_comm.broadcastLock);
        if (seen)
            return verdict;
        TQ_log(&g_TQ_serverLog, TQ_LOG_ERROR, "No memory for a broadcast record; dropping the dataset\n");
        return BroadcastDrop;
    }
    setKey(record, &header->origin, header->sequence);
    BroadcastRecord *seen = static_cast<BroadcastRecord *>(TQ_hashSetInsert(&g_comm.broadcastRecords, record));
    if (seen != record) {
        s_table.spares.push_back(record);
        addHaveIt(seen, &node->id);
        BroadcastVerdict verdict = seen->forwarded ? BroadcastSeenForwarded : BroadcastSeen;
        TQ_mutexUnlock(g_comm.broadcastLock);
        return verdict;
    }
    *time = now();
    record->expiresAt = *time + kRecordLifetimeMs;
    record->forwarded = 0;
    s_table.bytes += footprint(record);
    addHaveIt(record, &node->id);
    enterExpiry(record);
    expire(*time);
    holdToBudget(*time, record);
    prefetchNextBucket(record);
    TQ_mutexUnlock(g_comm.broadcastLock);

    /* A dataset that arrives with no hop left keeps ttl 0 rather than
     * wrapping round to 65535. */
    if (header->ttl > 0)
        header->ttl--;
    header->hops++;
    writeHeaderBytes(dataset, header, offsetof(TQ_BroadcastHeader, ttl), 2 * sizeof(uint16_t));
    return BroadcastNew;
}

/* ---- Record element functions ---- */

int Tessarc::Core::broadcastRecordEqual(const void *a, const void *b)
{
    const BroadcastRecord *x = static_cast<const BroadcastRecord *>(a);
    const BroadcastRecord *y = static_cast<const BroadcastRecord *>(b);
    return x->sequence == y->sequence && memcmp(&x->origin, &y->origin, sizeof(TQ_Uuid)) == 0;
}

/* The hash set with the key. */
uint32_t Tessarc::Core::broadcastRecordHash(const void *record)
{
    return static_cast<const BroadcastRecord *>(record)->hash;
}

int Tessarc::Core::broadcastRecordCompare(const void *a, const void *b)
{
    const BroadcastRecord *x = static_cast<const BroadcastRecord *>(a);
    const BroadcastRecord *y = static_cast<const BroadcastRecord *>(b);
    if (x->expiresAt != y->expiresAt)
        return x->expiresAt < y->expiresAt;
    return reinterpret_cast<uintptr_t>(x) < reinterpret_cast<uintptr_t>(y);
}

/* The copies are found bucket by bucket and the walk stops at the last one:
 * most records hold one or two, and the other buckets are never read. */
void Tessarc::Core::freeBroadcastRecord(BroadcastRecord *record)
{
    TQ_Allocator *allocator = g_TQ_serverAllocator;
    TQ_HashSet *haveIt = &record->haveIt;
    uint32_t left = TQ_hashSetSize(haveIt);
    for (uint32_t bucket = 0; left > 0 && bucket < haveIt->m_capacity; bucket++)
        for (TQ_ListNode *n = haveIt->m_buckets[bucket].m_head; n; n = n->m_next, left--)
            allocator->freeBlock32(allocator, n->m_value);
    TQ_hashSetDestroy(haveIt);
    allocator->freeBlock256(allocator, record);
}

/* ---- Broadcast tables ---- */

void Tessarc::Core::createBroadcastTables()
{
    TQ_hashSetInit(&g_comm.broadcastRecords, broadcastRecordEqual, broadcastRecordHash);
    TQ_treeSetInit(&g_comm.broadcastExpiry, broadcastRecordCompare);
    g_comm.broadcastLock = TQ_mutexCreate();
    s_table = Table();
    s_table.next.hash = keyHash(&s_table.next.origin, s_table.next.sequence);
    s_table.spares.reserve(kSpareRecords);
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
    for (BroadcastRecord *record : s_table.spares)
        freeBroadcastRecord(record);
    TQ_Allocator *allocator = g_TQ_serverAllocator;
    for (size_t i = 0; i < s_table.spareCopyCount; i++)
        allocator->freeBlock32(allocator, s_table.spareCopies[i]);
    s_table = Table();
    TQ_mutexDelete(g_comm.broadcastLock);
    g_comm.broadcastLock = 0;
}

/* The records held and their heap footprint, as the budget counts it. */
void Tessarc::Core::broadcastRecordUsage(uint64_t *records, uint64_t *bytes)
{
    TQ_mutexLock(g_comm.broadcastLock);
    *records = TQ_hashSetSize(&g_comm.broadcastRecords);
    *bytes = s_table.bytes;
    TQ_mutexUnlock(g_comm.broadcastLock);
}

/* ---- Budget and clock ---- */

void TQ_Server_setBroadcastRecordBudget(uint64_t bytes)
{
    s_budget.store(bytes, std::memory_order_relaxed);
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
    candidates.select(groups, nullptr);
    TQ_mutexUnlock(g_comm.stateLock);

    writeHeaderBytes(dataset, &header, 0, sizeof header);
    candidates.sendAll(dataset, sentTo);
}

void TQ_Server_rebroadcast(TQ_Server_Node *node, TQ_Buffer *dataset, TQ_TreeSet *groups, TQ_List *sentTo)
{
    forwardBroadcast(node, dataset, groups, sentTo, 0);
}

void Tessarc::Core::forwardBroadcast(TQ_Server_Node *node, TQ_Buffer *dataset, TQ_TreeSet *groups, TQ_List *sentTo,
                                     uint64_t time)
{
    TQ_BroadcastHeader header;
    if (!node || !node->isServer || !readHeader(dataset, &header))
        return;
    if (!(header.header.flags & TQ_FLAG_BROADCAST) || header.ttl == 0)
        return;
    if (time == 0)
        time = now();

    /* The whole decision is made under one hold of the broadcast lock; the
     * candidates are selected inside it, which the lock order allows. */
    Candidates candidates;
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
    TQ_mutexLock(g_comm.stateLock);
    candidates.select(groups, node);
    TQ_mutexUnlock(g_comm.stateLock);

    /* A record made in the same millisecond keeps its place. */
    uint64_t expiresAt = time + kRecordLifetimeMs;
    if (record->expiresAt != expiresAt) {
        TQ_treeSetRemoveNoFree(&g_comm.broadcastExpiry, record);
        record->expiresAt = expiresAt;
        enterExpiry(record);
    }

    /* Servers that have been the sender's neighbours for more than ten
     * seconds are taken to have the dataset. Only those among the candidates
     * are copied into haveIt: the pruning below reads no other entry, and
     * nothing else reads haveIt, so the result is the same as copying them
     * all, at a cost bounded by the server table rather than by what the
     * sender announced. */
    bool anyCandidate = false;
    for (size_t i = 0; i < candidates.size() && !anyCandidate; i++)
        anyCandidate = candidates.at(i) != nullptr;
    TQ_Server_ServerNode *server = reinterpret_cast<TQ_Server_ServerNode *>(node);
    if (anyCandidate)
        TQ_mutexLock(node->lock);
    if (anyCandidate && !TQ_hashSetEmpty(&server->neighbours)) {
        for (size_t i = candidates.size(); i-- > 0;) {
            TQ_Server_Node *candidate = candidates.at(i);
            if (!candidate)
                continue;
            TQ_HashSetIterator found;
            if (!TQ_hashSetFind(&server->neighbours, &found, &candidate->id))
                continue;
            const TQ_Server_Neighbour *neighbour = static_cast<const TQ_Server_Neighbour *>(found.m_value);
            if (neighbour->since < time && time - neighbour->since > kNeighbourAgeMs)
                addHaveIt(record, &candidate->id);
        }
    }
    if (anyCandidate)
        TQ_mutexUnlock(node->lock);
    /* Released outside the node lock: a last release frees a dead node,
     * which takes the server state lock. */
    for (size_t i = candidates.size(); i-- > 0;) {
        TQ_Server_Node *candidate = candidates.at(i);
        if (candidate && (TQ_uuidEqual(&candidate->id, &node->id) || hasIt(record, &candidate->id)))
            candidates.drop(i);
    }
    TQ_mutexUnlock(g_comm.broadcastLock);

    candidates.sendAll(dataset, sentTo);
}
