/* Observers for dataset delivery: a service that records what its dataset
 * hooks receive, a capture of the server log, and builders of broadcast
 * datasets. Used with the scripted peers of peer.h. */
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

/* Registers a recording service of `type` (with a handleDatasetAlt hook
 * when `withAlt`). Call after the environment is up, before any dataset of
 * the type flows; a later call for a type already registered does nothing. */
void addRecordingService(uint8_t type, bool withAlt);
/* Every delivery so far to any recording service, oldest first; clears. */
std::vector<Delivery> takeDeliveries();
/* When set, called inside each hook after the delivery is recorded, on the
 * delivering thread: a test reacts to a delivery while it is under way. */
extern std::function<void(const Delivery &)> g_onDelivery;

/* Captures the messages of the server log (level and formatted text) for
 * its lifetime, in place of standard output. */
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    /* 1 for each captured message at `level` containing `text`. */
    int count(int level, const std::string &text) const;
    std::vector<std::string> take(); /* "<level> <text>", oldest first; clears */
};

/* A broadcast dataset: header with `flags`, `ttl`, hops 0, four bytes of
 * group information at offset 40 (0xAA), origin and sequence, then
 * `payload` bytes 0x11, 0x12, ... */
Bytes broadcastDataset(uint8_t type, uint16_t ttl, const TQ_Uuid &origin, uint32_t sequence,
                       uint8_t flags = TQ_FLAG_BROADCAST, uint32_t payload = 4);
/* The header fields of a dataset's bytes. */
TQ_BroadcastHeader headerOf(const Bytes &bytes);
} // namespace tqtest

#endif
