/* The tcp protocol's descriptor and entry points: getProtocol, configure,
 * run, stop, destroy, and the protocol's own datasets (ping and pong). */
#include "tcp.h"
#include "tls.h"

#include <cstring>

namespace {

tcp::Settings s_settings;
bool s_running = false;

int run(TQ_Server_ProtocolCallbacks *callbacks)
{
    if (s_running)
        return -1;
    /* A TLS key that cannot be used leaves nothing safe to serve. */
    if (tcp::tlsStart(callbacks->log) != 1) {
        TQ_log(callbacks->log, TQ_LOG_ERROR, "tcp: TLS cannot start; stopping the server\n");
        TQ_Server_stop();
        return -1;
    }
    if (tcp::transportStart(s_settings, callbacks, getProtocol()) != 1)
        return -1;
    s_running = true;
    return 1;
}

void stop()
{
    tcp::transportStop();
}

void destroy()
{
    tcp::transportDestroy();
    tcp::tlsStop();
    s_running = false;
}

/* A ping (first payload byte kPing) comes back to its sender as a pong with
 * the same bytes; pongs and other subtypes are dropped. Runs on the I/O
 * thread, inside the receive callback. */
void handleDataset(TQ_Connection *connection, TQ_Buffer *dataset)
{
    uint32_t size = dataset->size;
    if (size < sizeof(TQ_DatasetHeader) + 1 || dataset->first.length < size)
        return;
    if (dataset->first.data[sizeof(TQ_DatasetHeader)] != tcp::kPing)
        return;
    TQ_Allocator *allocator = dataset->allocator;
    TQ_Buffer *pong = allocator->allocBuffer(allocator, size);
    if (pong == nullptr)
        return;
    std::memcpy(pong->first.data, dataset->first.data, size);
    pong->first.data[sizeof(TQ_DatasetHeader)] = tcp::kPong;
    TQ_bufferAcquire(pong);
    connection->send(connection, pong);
    TQ_bufferRelease(pong);
}

char s_name[] = "tcp";

TQ_Server_Protocol s_protocol = {
    nullptr, nullptr, run, stop, destroy, nullptr, nullptr, nullptr, handleDataset, s_name,
};

} /* namespace */

TQ_Server_Protocol *getProtocol(void)
{
    return &s_protocol;
}

void configure(libconfig::Setting &group, TQ_Logger *log)
{
    /* TLS first: a TLS setting that cannot be read must not leave its
     * addresses configured in clear. */
    tcp::readTlsSettings(group);
    tcp::readSettings(group, s_settings);
    tcp::warnUnknownSettings(group, log);
    TQ_log(log, TQ_LOG_INFO, "tcp: configured: %u server and %u client listen addresses, %u peers\n",
           static_cast<unsigned>(s_settings.listen.size()), static_cast<unsigned>(s_settings.clientListen.size()),
           static_cast<unsigned>(s_settings.peers.size()));
}
