/* The tcp protocol's transport state: the listeners, the peers it dials and
 * the one transport record the I/O thread of transport.cpp owns, and the
 * functions of that thread other files call. Internal to the module. */
#ifndef TESSARC_MODULES_TCP_TRANSPORT_H
#define TESSARC_MODULES_TCP_TRANSPORT_H

#include "link.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tcp {

const uint8_t kHelloMagic[4] = {'T', 'Q', 'T', '1'};
const size_t kReadBufferSize = 256 * 1024;
const uint32_t kTickMs = 100;
/* A dialled link that lasted this long resets its connector's delay. */
const uint64_t kStableLinkMs = 5000;

struct ListenSocket : Watched {
    int fd;
    bool forServers;
    bool tls = false;         /* accepted links run TLS first */
    uint64_t pausedUntil = 0; /* out of descriptors: not watched until then; 0 watched */
};

/* A server peer to dial and keep linked. */
struct Connector {
    std::string address;
    Link *link = nullptr;
    uint64_t nextAttempt = 0; /* 0: not scheduled */
    uint32_t delayMs = 0;
    bool knowsPeer = false; /* the peer's identifier, learnt from its hello */
    TQ_Uuid peer{};
    bool parked = false; /* linked to that peer through another link */
    bool self = false;   /* the address leads to this server */
};

struct Transport {
    Settings settings;
    TQ_Server_ProtocolCallbacks *cb = nullptr;
    TQ_Logger *log = nullptr;
    TQ_Interface iface{};
    TQ_Uuid own{};
    int epfd = -1;
    int wakefd = -1;
    Watched wake{Watched::Wake};
    std::thread thread;
    bool started = false;

    /* I/O thread only (and destroy, after the thread has ended). */
    std::vector<ListenSocket *> listeners;
    std::vector<Connector *> connectors;
    std::vector<Link *> links;
    std::vector<Link *> batch;
    uint8_t *readBuffer = nullptr;
    uint8_t *writeStage = nullptr; /* small datasets copied for one write; see flush */
    uint64_t nextTick = 0;
    bool stopping = false;

    /* Posted links, under attentionMutex. */
    std::mutex attentionMutex;
    std::vector<Link *> attention;

    /* Stop and quit requests, under controlMutex. */
    std::mutex controlMutex;
    std::condition_variable controlCv;
    bool stopRequested = false, stopDone = false, quit = false;
};

/* The one transport of the module. */
extern Transport g_transport;

/* ---- transport.cpp: the I/O thread ---- */

/* Puts the link in the I/O thread's attention list once; the thread handles
 * its requests before it waits again. Any thread. */
void post(Link *link);
/* Ends the socket side of the link: no more reads or writes, queued
 * datasets released, the connection invalidated if the server has it; the
 * record is freed later by the I/O thread. `why` (may be null) is logged at
 * `level`. `parkConnector`: the link gave way to another link to the same
 * server, so its connector stops dialling. I/O thread. */
void die(Link *link, int level, const char *why, bool parkConnector = false);
/* die with the system's text for `error`. I/O thread. */
void dieErrno(Link *link, int error);
/* The peer's hello is complete (link->hello); `rest` are the bytes read
 * behind it. True when the link was handed to the server. I/O thread. */
bool helloDone(Link *link, const uint8_t *rest, size_t restCount);

/* False, with the link ended, when `dataset` (received whole on a server
 * link) is a UUID dataset naming another server than the link's hello did:
 * a peer must not pass for a server it is not. I/O thread. */
bool identityMatches(Link *link, TQ_Buffer *dataset);

} /* namespace tcp */

#endif /* TESSARC_MODULES_TCP_TRANSPORT_H */
