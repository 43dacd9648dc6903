/* Reception: every dataset a protocol receives enters the server through
 * the `receive` callback and is routed by its type byte. The receive path
 * takes no lock of its own; it runs on the protocol's delivery thread, one
 * dataset at a time per connection. */
#include "core.h"

using namespace Tessarc;
using namespace Tessarc::Core;

/* ---- Routing by type ---- */

static void route(TQ_Connection *connection, TQ_Buffer *dataset, uint8_t type)
{
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
        /* Encrypted datasets (type 3) and service datasets (4 and up) are
         * not routed yet: they are dropped with a warning until decryption
         * and service dispatch are in place. */
        TQ_log(&g_TQ_serverLog, TQ_LOG_WARN, "Dataset type %d is not handled yet; dropped\n", type);
        return;
    }
}

/* ---- The receive callback ---- */

void Core::receiveCallback(TQ_Connection *connection, TQ_Buffer *dataset)
{
    uint32_t size = TQ_bufferSize(dataset);
    TQ_DatasetHeader header;
    TQ_BufferIter it;
    TQ_bufferInitIter(dataset, &it);
    if (size < sizeof header || TQ_bufferCopyFrom(&header, &it, sizeof header) != 1) {
        TQ_log(&g_TQ_serverLog, TQ_LOG_ERROR,
               "Dataset of %u bytes on connection %s is shorter than its header; invalidating\n",
               (unsigned)size, connection->name);
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
    route(connection, dataset, header.type);
}
