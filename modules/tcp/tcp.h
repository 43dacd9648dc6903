/* The tcp protocol module: what its source files share.
 *
 * settings.cpp reads the module's group of Communication.cfg, protocol.cpp
 * holds the descriptor, the module's entry points and its own datasets;
 * transport.cpp (the I/O thread) and link.cpp (datasets over one link) do
 * every socket operation, on one epoll thread. */
#ifndef TESSARC_MODULES_TCP_H
#define TESSARC_MODULES_TCP_H

#include <tessarc/module.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tcp {

/* The protocol's configuration. Every configure call adds its addresses to
 * the lists and replaces the numbers it names. */
struct Settings {
    std::vector<std::string> listen;       /* "host:port" where server peers connect */
    std::vector<std::string> clientListen; /* "host:port" where clients connect */
    std::vector<std::string> peers;        /* "host:port" of servers to connect to */
    uint32_t connectTimeoutMs = 5000;      /* to connect and to receive the peer's hello */
    uint32_t handshakeTimeoutMs = 5000;    /* from accept or dial until the server has a node for the link */
    uint32_t acceptBackoffMs = 1000;       /* no accepting this long once out of descriptors */
    uint32_t reconnectMinMs = 500;         /* first delay before dialling a peer again */
    uint32_t reconnectMaxMs = 30000;       /* cap of the doubling delay */
    uint32_t closeTimeoutMs = 2000;        /* to send what is queued when a link is closed */
    uint32_t sendTimeoutMs = 30000;        /* a peer taking nothing for this long is dropped */
    uint64_t sendQueueBytes = 16u << 20;   /* most bytes a link holds queued: its cap */
    uint64_t highWater = 2u << 20;         /* queued bytes from which a link is congested */
    uint64_t lowWater = 512u << 10;        /* queued bytes under which it is not any more */
    uint32_t stallLimitMs = 2000;          /* congested without write progress: it sheds */
    bool slowClientDisconnect = false;     /* slowClient = "disconnect": a stalled client is closed */
};

/* Reads `group` into `settings`; throws std::runtime_error (with a message
 * naming the setting) for a setting of the wrong type or range, leaving the
 * settings read so far in place. Start-up thread only. */
void readSettings(const libconfig::Setting &group, Settings &settings);
/* Adds `name` to the settings the group may hold, for a reader outside
 * settings.cpp. Start-up thread only. */
void noteSetting(const char *name);
/* Logs a warning, naming the file, the group and the setting, for each
 * setting of `group` that readSettings does not read (a misspelt name would
 * otherwise leave its default in place without a word). Call after
 * readSettings. Start-up thread only. */
void warnUnknownSettings(const libconfig::Setting &group, TQ_Logger *log);

/* The protocol's first payload byte of a TQ_DATASET_PROTOCOL dataset. A
 * ping is answered with a pong carrying the same bytes. */
enum : uint8_t { kPing = 0, kPong = 1 };

/* Starts listening and dialling on the I/O thread with a copy of
 * `settings`. 1, or -1 (nothing started) when the thread or its epoll set
 * cannot be made, or when listen addresses are set and none of them can be
 * bound; in that last case the server is asked to stop. Called once, by the
 * protocol's run. */
int transportStart(const Settings &settings, TQ_Server_ProtocolCallbacks *callbacks, TQ_Server_Protocol *protocol);
/* Closes the listeners, stops dialling and closes every link, sending what
 * is queued first (within closeTimeoutMs); returns once every link the
 * server no longer references has been removed, or the time is up. Any
 * thread but the I/O thread; does nothing when not started. */
void transportStop();
/* Ends the I/O thread and removes and frees every remaining link; links the
 * server still references are logged and left alone. Call after
 * transportStop; does nothing when not started. */
void transportDestroy();

} /* namespace tcp */

#endif /* TESSARC_MODULES_TCP_H */
