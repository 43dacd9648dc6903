/* hello.service: owns dataset type 20. Every dataset of that type is logged
 * and answered to its sender with subtype 1 and the payload "hello, "
 * followed by the payload received. */
#include <tessarc/module.h>

#include <string.h>

namespace {

const uint8_t c_helloType = 20;                             /* a free type: 5 to 255, not 16 (relay) */
const uint32_t c_prefixSize = sizeof(TQ_DatasetHeader) + 4; /* header and u32 subtype */
const char c_greeting[] = "hello, ";
TQ_Server_ServiceApi *s_api;

int32_t preinit(TQ_Server_ServiceApi *api)
{
    s_api = api; /* valid for the whole run */
    TQ_log(api->log, TQ_LOG_INFO, "hello: ready for dataset type %u\n", c_helloType);
    return 1;
}

void postinit(void) {}

void addNode(TQ_Server_Node *node)
{
    TQ_log(s_api->log, TQ_LOG_DEBUG, "hello: %s %s arrived\n", node->isServer ? "server" : "client", node->name);
}

void removeNode(TQ_Server_Node *) {}

/* Datasets of type 20 from `node`; the caller's reference covers the call. */
void handleDataset(TQ_Server_Node *node, TQ_Buffer *dataset, TQ_TreeSet *)
{
    TQ_BufferIter in;
    uint32_t subtype = 0;
    TQ_bufferInitIter(dataset, &in);
    if (TQ_bufferSkip(&in, sizeof(TQ_DatasetHeader)) != 1 || TQ_bufferCopyFrom(&subtype, &in, 4) != 1)
        return; /* shorter than header and subtype */
    char text[256];
    uint32_t length = TQ_bufferSpaceRemaining(&in);
    if (length >= sizeof text)
        length = sizeof text - 1;
    TQ_bufferCopyFrom(text, &in, length);
    text[length] = '\0';
    TQ_log(s_api->log, TQ_LOG_INFO, "hello: subtype %u, \"%s\" from %s\n", subtype, text, node->name);

    /* The answer: header (length = whole dataset), subtype 1, payload. */
    uint32_t size = c_prefixSize + (uint32_t)strlen(c_greeting) + length;
    TQ_Buffer *answer = s_api->allocator->allocBuffer(s_api->allocator, size);
    if (answer == nullptr)
        return;
    TQ_bufferAcquire(answer);
    TQ_DatasetHeader header = {size, c_helloType, 0, 0};
    uint32_t answerSubtype = 1;
    TQ_BufferIter out;
    TQ_bufferInitIter(answer, &out);
    TQ_bufferCopyTo(&out, &header, sizeof header);
    TQ_bufferCopyTo(&out, &answerSubtype, 4);
    TQ_bufferCopyTo(&out, c_greeting, (uint32_t)strlen(c_greeting));
    TQ_bufferCopyTo(&out, text, length);
    node->send(node, answer);
    TQ_bufferRelease(answer);
}

void predestroy(void) {}

void postdestroy(void)
{
    TQ_log(s_api->log, TQ_LOG_INFO, "hello: stopped\n");
}

} /* namespace */

/* Called once, right after loading; the descriptor must outlive the module. */
extern "C" TQ_Server_Service *getService(void)
{
    static TQ_Server_Service service;
    service.preinit = preinit;             /* before communication starts */
    service.postinit = postinit;           /* after it has started */
    service.addNode = addNode;             /* a peer was accepted */
    service.removeNode = removeNode;       /* it went away */
    service.handleDataset = handleDataset; /* datasets of datasetType */
    service.handleDatasetAlt = nullptr;    /* repeats of a broadcast: not wanted */
    service.predestroy = predestroy;       /* before communication stops */
    service.postdestroy = postdestroy;     /* after it has stopped */
    service.name = "hello";                /* key of getServiceInterface */
    service.interface = nullptr;           /* nothing offered to other services */
    service.order = 100;                   /* start order: lower first */
    service.datasetType = c_helloType;
    return &service;
}
