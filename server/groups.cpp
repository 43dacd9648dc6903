/* The default group manager: every node is in one default group, every group
 * test passes, and the group information of a broadcast dataset is four
 * zero bytes. Also installing a group manager. */
#include <string.h>

#include "core.h"

using namespace Tessarc::Core;

namespace {

/* Bytes of group information the default manager writes and reads. */
const uint32_t kGroupInfoSize = 4;
const uint8_t kZeroInfo[kGroupInfoSize] = {0, 0, 0, 0};

/* Length of the group exchange dataset: the header and one zero byte. */
const uint32_t kExchangeLength = sizeof(TQ_DatasetHeader) + 1;

TQ_Server_Group s_defaultGroup = {0, ""};
TQ_Server_Group s_wildcardGroup = {0, "*"};
/* Stays empty; initialised by TQ_Server_getDefaultGroupManager, destroyed by
 * the manager's destroy. */
TQ_TreeSet s_localGroups;
bool s_localGroupsReady = false;

/* Writes the four zero bytes at `infoOffset` when the range holds them. */
void zeroGroupInfo(TQ_Buffer *dataset, uint32_t infoLength, uint32_t infoOffset)
{
    if (infoLength < kGroupInfoSize)
        return;
    TQ_BufferIter it;
    TQ_bufferInitIter(dataset, &it);
    if (TQ_bufferSkip(&it, infoOffset) == 1)
        TQ_bufferCopyTo(&it, kZeroInfo, kGroupInfoSize);
}

/* ---- Table slots ---- */

TQ_Server_Group *defaultGroup()
{
    return &s_defaultGroup;
}

TQ_Server_Group *wildcardGroup()
{
    return &s_wildcardGroup;
}

TQ_TreeSet *localGroups()
{
    return &s_localGroups;
}

/* Sends the group exchange dataset (length 9, type TQ_DATASET_GROUPS,
 * reliable, one zero payload byte), built from the received dataset's
 * allocator, then calls the continuation whether or not it could be sent. */
void exchangeGroups(TQ_Server_GroupContinuation continuation, TQ_Connection *connection, TQ_Buffer *dataset)
{
    TQ_Allocator *allocator = dataset->allocator;
    TQ_Buffer *exchange = allocator->allocBuffer(allocator, kExchangeLength);
    if (exchange) {
        uint8_t bytes[kExchangeLength];
        TQ_DatasetHeader header = {kExchangeLength, TQ_DATASET_GROUPS, TQ_FLAG_RELIABLE, 0};
        memcpy(bytes, &header, sizeof header);
        bytes[sizeof header] = 0;
        TQ_BufferIter it;
        TQ_bufferInitIter(exchange, &it);
        TQ_bufferCopyTo(&it, bytes, kExchangeLength);
        TQ_bufferAcquire(exchange);
        connection->send(connection, exchange);
        TQ_bufferRelease(exchange);
    }
    continuation(connection, dataset);
}

void peerGroups(TQ_Connection *, TQ_TreeSet *groups)
{
    TQ_treeSetInsert(groups, &s_defaultGroup);
}

int groupsMatch(TQ_TreeSet *, TQ_TreeSet *)
{
    return 1;
}

TQ_Buffer *filterBroadcast(TQ_Server_Node *, TQ_Buffer *dataset, uint32_t infoLength, uint32_t infoOffset,
                           TQ_TreeSet *groups)
{
    zeroGroupInfo(dataset, infoLength, infoOffset);
    TQ_treeSetInsert(groups, &s_defaultGroup);
    return dataset;
}

TQ_Buffer *clearGroupInfo(TQ_Buffer *dataset, uint32_t infoLength, uint32_t infoOffset)
{
    zeroGroupInfo(dataset, infoLength, infoOffset);
    return dataset;
}

uint32_t groupInfoSize(TQ_TreeSet *)
{
    return kGroupInfoSize;
}

int writeGroupInfo(TQ_TreeSet *, TQ_BufferIter *iterator)
{
    return TQ_bufferCopyTo(iterator, kZeroInfo, kGroupInfoSize);
}

void writeGroupInfoRaw(TQ_TreeSet *, void *destination)
{
    memcpy(destination, kZeroInfo, kGroupInfoSize);
}

int readGroupInfo(TQ_BufferIter *iterator, uint32_t infoLength, TQ_TreeSet *groups)
{
    if (groups)
        TQ_treeSetInsert(groups, &s_defaultGroup);
    return TQ_bufferSkip(iterator, infoLength);
}

void destroy()
{
    if (s_localGroupsReady)
        TQ_treeSetDestroy(&s_localGroups);
    s_localGroupsReady = false;
}

TQ_Server_GroupManager s_defaultManager = {
    defaultGroup,   wildcardGroup, localGroups,    exchangeGroups,    peerGroups,    groupsMatch, filterBroadcast,
    clearGroupInfo, groupInfoSize, writeGroupInfo, writeGroupInfoRaw, readGroupInfo, destroy,
};

} /* namespace */

/* ---- Installing a manager ---- */

TQ_Server_GroupManager *TQ_Server_getDefaultGroupManager(void)
{
    if (!s_localGroupsReady)
        TQ_treeSetInit(&s_localGroups, TQ_ptrCompare);
    s_localGroupsReady = true;
    return &s_defaultManager;
}

void TQ_Server_setGroupManager(TQ_Server_GroupManager *manager)
{
    TQ_Server_GroupManager *previous = g_comm.groupManager.load();
    if (previous == manager)
        return;
    if (previous)
        previous->destroy();
    g_comm.groupManager.store(manager);
    __atomic_store_n(&g_TQ_Server_serviceApi.groupManager, manager, __ATOMIC_RELEASE);
}
