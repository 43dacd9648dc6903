/* The service registry: registered service descriptors in two orders, the
 * service hooks run in order, lookups by dataset type and by name, and the
 * server API table handed to services. */
#include <string.h>

#include "core.h"

namespace {

/* ---- Orders ---- */

/* Services by type: by dataset type; two type-0 services by descriptor
 * address. Two services of one nonzero type are equal. */
int compareByType(const void *a, const void *b)
{
    const TQ_Server_Service *x = static_cast<const TQ_Server_Service *>(a);
    const TQ_Server_Service *y = static_cast<const TQ_Server_Service *>(b);
    if (x->datasetType != y->datasetType)
        return x->datasetType < y->datasetType;
    if (x->datasetType == 0)
        return reinterpret_cast<uintptr_t>(x) < reinterpret_cast<uintptr_t>(y);
    return 0;
}

/* Services by order: by order (signed), then as by type. */
int compareByOrder(const void *a, const void *b)
{
    const TQ_Server_Service *x = static_cast<const TQ_Server_Service *>(a);
    const TQ_Server_Service *y = static_cast<const TQ_Server_Service *>(b);
    if (x->order != y->order)
        return x->order < y->order;
    return compareByType(a, b);
}

/* Both sets hold the same descriptors, never owned. Changed only on the
 * start-up thread and by the start task; read from any thread after that. */
TQ_TreeSet s_byType;
TQ_TreeSet s_byOrder;
/* The service of each nonzero dataset type, kept with s_byType: every
 * received service dataset looks its service up here, so the lookup costs
 * the same however many services are loaded. */
TQ_Server_Service *s_typeIndex[256];

TQ_Server_Service *service(const TQ_TreeSetIterator &it)
{
    return static_cast<TQ_Server_Service *>(it.m_value);
}

/* Calls `hook` of every service, lowest order first. */
template <typename Hook, typename... Args>
void forEachAscending(Hook TQ_Server_Service::*hook, Args... args)
{
    TQ_TreeSetIterator it;
    for (TQ_treeSetBegin(&s_byOrder, &it); TQ_treeSetHasNext(&it); TQ_treeSetNext(&it))
        if (Hook fn = service(it)->*hook)
            fn(args...);
}

/* Calls `hook` of every service, highest order first. */
template <typename Hook>
void forEachDescending(Hook TQ_Server_Service::*hook)
{
    TQ_TreeSetIterator it;
    for (TQ_treeSetReverseBegin(&s_byOrder, &it); TQ_treeSetHasPrev(&it); TQ_treeSetPrev(&it))
        if (Hook fn = service(it)->*hook)
            fn();
}

} /* namespace */

TQ_Server_ServiceApi g_TQ_Server_serviceApi = {
    TQ_Server_setCommunicationManager,
    TQ_Server_setEncryption,
    TQ_Server_setGroupManager,
    TQ_Server_getUuid,
    TQ_Server_getName,
    TQ_Server_setName,
    TQ_Server_getNetworkId,
    TQ_Server_setNetworkId,
    TQ_Server_stop,
    TQ_Server_broadcast,
    TQ_Server_rebroadcast,
    TQ_Server_handleDataset,
    TQ_Server_getServer,
    TQ_Server_getClient,
    TQ_Server_getServices,
    TQ_Server_getServiceInterface,
    TQ_Server_getProtocol,
    nullptr, /* groupManager: kept current by TQ_Server_setGroupManager */
    nullptr, /* allocator: stored by TQ_Server_initServices */
    &g_TQ_serverLog,
};

/* ---- Registry ---- */

void TQ_Server_initServices(void)
{
    TQ_treeSetInit(&s_byType, compareByType);
    TQ_treeSetInit(&s_byOrder, compareByOrder);
    memset(s_typeIndex, 0, sizeof s_typeIndex);
    g_TQ_Server_serviceApi.allocator = g_TQ_serverAllocator;
}

void TQ_Server_destroyServices(void)
{
    TQ_treeSetDestroy(&s_byType);
    TQ_treeSetDestroy(&s_byOrder);
    memset(s_typeIndex, 0, sizeof s_typeIndex);
}

int32_t TQ_Server_addService(TQ_Server_Service *service)
{
    TQ_TreeSetIterator it;
    if (!service || TQ_treeSetFind(&s_byType, &it, service))
        return -1;
    TQ_treeSetInsert(&s_byType, service);
    TQ_treeSetInsert(&s_byOrder, service);
    if (service->datasetType != 0)
        s_typeIndex[service->datasetType] = service;
    return 1;
}

TQ_Server_Service *TQ_Server_findServiceByType(uint8_t type)
{
    return s_typeIndex[type]; /* entry 0 stays null */
}

void *TQ_Server_getServiceInterface(const char *name)
{
    TQ_TreeSetIterator it;
    for (TQ_treeSetBegin(&s_byType, &it); TQ_treeSetHasNext(&it); TQ_treeSetNext(&it)) {
        const char *serviceName = service(it)->name;
        if (serviceName && name && strcmp(serviceName, name) == 0)
            return service(it)->interface;
    }
    return nullptr;
}

void TQ_Server_getServices(TQ_List *list)
{
    TQ_TreeSetIterator it;
    for (TQ_treeSetBegin(&s_byType, &it); TQ_treeSetHasNext(&it); TQ_treeSetNext(&it))
        TQ_listPushBack(list, it.m_value);
}

TQ_Server_ServiceApi *TQ_Server_getServiceApi(void)
{
    return &g_TQ_Server_serviceApi;
}

/* ---- Hooks ---- */

void TQ_Server_Services_preinit(void)
{
    TQ_TreeSetIterator it;
    TQ_treeSetBegin(&s_byOrder, &it);
    while (TQ_treeSetHasNext(&it)) {
        TQ_Server_Service *s = service(it);
        if (s->preinit && s->preinit(&g_TQ_Server_serviceApi) == -1) {
            TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "Service manager: failed to init service '%s'\n", s->name);
            TQ_treeSetErase(&it);
            TQ_treeSetRemoveNoFree(&s_byType, s);
            if (s_typeIndex[s->datasetType] == s)
                s_typeIndex[s->datasetType] = nullptr;
        } else {
            TQ_treeSetNext(&it);
        }
    }
}

void TQ_Server_Services_postinit(void)
{
    forEachAscending(&TQ_Server_Service::postinit);
}

void TQ_Server_Services_predestroy(void)
{
    forEachDescending(&TQ_Server_Service::predestroy);
}

void TQ_Server_Services_postdestroy(void)
{
    forEachDescending(&TQ_Server_Service::postdestroy);
}

void TQ_Server_Services_addNode(TQ_Server_Node *node)
{
    char safe[TQ_SERVER_ESCAPED_SIZE];
    TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "Service manager: adding a node with name '%s'\n",
           TQ_Server_escapeText(node->name, safe, sizeof safe));
    forEachAscending(&TQ_Server_Service::addNode, node);
}

void TQ_Server_Services_removeNode(TQ_Server_Node *node)
{
    char safe[TQ_SERVER_ESCAPED_SIZE];
    TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, "Service manager: removing a node with name '%s'\n",
           TQ_Server_escapeText(node->name, safe, sizeof safe));
    forEachAscending(&TQ_Server_Service::removeNode, node);
}
