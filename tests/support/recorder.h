/* Observers for the scripted peers: a recording service, a capture of the server log, and broadcast datasets. */
#ifndef TQ_TEST_RECORDER_H
#define TQ_TEST_RECORDER_H

#include "peer.h"

#include <functional>
#include <string>
#include <vector>

namespace tqtest {

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
