/* The client library: dataset framing over a stream, the client side of the
 * handshake, sending with an optional send queue, receiving. Portable C++;
 * the socket calls are in socket.cpp. */
#include <tessarc/client.h>
#include <tessarc/wire.h>

#include <errno.h>
#include <string.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "socket.h"
#include "tls.h"

using namespace tq_client;

/* The client's public constants, checked against the wire definitions. */
static_assert(TQ_CLIENT_MAX_DATASET == TQ_DATASET_SIZE_LIMIT, "the size limit servers use");
static_assert(TQ_CLIENT_VERSION_MAJOR == TQ_WIRE_VERSION_MAJOR && TQ_CLIENT_VERSION_MINOR == TQ_WIRE_VERSION_MINOR,
              "the client announces the servers' version");

namespace {

const size_t c_headerSize = TQ_DATASET_HEADER_SIZE;
const size_t c_queueFlushAt = 64 * 1024;
const size_t c_readChunk = 256 * 1024;
const int c_closeDrainMs = 1000;

/* The oldest version servers speak, as text. */
std::string oldestVersion()
{
    return std::to_string(TQ_WIRE_OLDEST_MAJOR) + "." + std::to_string(TQ_WIRE_OLDEST_MINOR);
}

} /* namespace */

struct TQ_Client {
    int fd = -1;
    Tls *tls = nullptr; /* the TLS session; null on a plain connection */

    /* Receiving side: bytes read and not yet handed out are [inStart, inEnd). */
    std::vector<uint8_t> in;
    size_t inStart = 0, inEnd = 0;
    bool atEnd = false;
    bool refused = false;

    /* Sending side. */
    std::vector<uint8_t> out;
    bool broken = false;

    /* What each side announced. */
    std::string networkId;
    uint16_t major = 0, minor = 0;
    std::string serverNetworkId;
    uint16_t serverMajor = 0, serverMinor = 0;

    std::mutex errorLock;
    char error[256] = "";

    int fail(int code, const std::string &text)
    {
        std::lock_guard<std::mutex> guard(errorLock);
        snprintf(error, sizeof error, "%s", text.c_str());
        return code;
    }
};

/* ---- Framing ---- */

/* Makes the next whole dataset available at in[inStart] within `timeoutMs`
 * (negative: no limit): TQ_CLIENT_OK with its length in `length`, or an
 * error code (TQ_CLIENT_TIMEOUT leaves the client usable). */
static int nextDataset(TQ_Client *client, int timeoutMs, uint32_t *length)
{
    uint64_t deadline = deadlineAfter(timeoutMs);
    for (;;) {
        size_t have = client->inEnd - client->inStart;
        size_t want = c_headerSize;
        if (have >= c_headerSize) {
            uint32_t announced = TQ_wireGetU32(&client->in[client->inStart]);
            if (announced < c_headerSize || announced > TQ_CLIENT_MAX_DATASET)
                return client->fail(TQ_CLIENT_PROTOCOL,
                                    "the server sent a dataset of length " + std::to_string(announced));
            if (have >= announced) {
                *length = announced;
                return TQ_CLIENT_OK;
            }
            want = announced;
        }
        if (client->atEnd && client->refused)
            return TQ_CLIENT_REFUSED; /* the reject's message stands */
        if (client->atEnd)
            return client->fail(TQ_CLIENT_CLOSED, "the server closed the connection");
        /* Room for the whole dataset and a read chunk behind what is held. */
        if (client->inStart > 0 && client->in.size() - client->inStart < want + c_readChunk) {
            memmove(client->in.data(), client->in.data() + client->inStart, have);
            client->inStart = 0;
            client->inEnd = have;
        }
        if (client->in.size() < client->inStart + want + c_readChunk)
            client->in.resize(client->inStart + want + c_readChunk);

        int ready = tlsWaitReadable(client->tls, client->fd, msUntil(deadline));
        if (ready == 0)
            return client->fail(TQ_CLIENT_TIMEOUT, "no dataset arrived in time");
        long got = ready < 0 ? -1
                             : tlsReadSome(client->tls, client->fd, &client->in[client->inEnd],
                                           client->in.size() - client->inEnd);
        if (got < 0 && errno == ECONNRESET)
            return client->fail(TQ_CLIENT_CLOSED, "the server reset the connection");
        if (got < 0) {
            char buffer[128];
            return client->fail(TQ_CLIENT_IO,
                                std::string("reading from the server: ") + errnoText(errno, buffer, sizeof buffer));
        }
        if (got == 0)
            client->atEnd = true;
        client->inEnd += (size_t)got;
    }
}

/* ---- Sending ---- */

static int flushQueue(TQ_Client *client)
{
    if (client->broken)
        return client->fail(TQ_CLIENT_CLOSED, "the connection is no longer usable");
    if (client->out.empty())
        return TQ_CLIENT_OK;
    if (tlsWriteAll(client->tls, client->fd, client->out.data(), client->out.size()) < 0) {
        char buffer[128];
        int number = errno;
        client->broken = true;
        client->out.clear();
        return client->fail(number == EPIPE || number == ECONNRESET ? TQ_CLIENT_CLOSED : TQ_CLIENT_IO,
                            std::string("sending to the server: ") + errnoText(number, buffer, sizeof buffer));
    }
    client->out.clear();
    return TQ_CLIENT_OK;
}

static int queueDataset(TQ_Client *client, uint8_t type, uint8_t flags, uint32_t subtype, const void *payload,
                        uint32_t size)
{
    if (size > TQ_CLIENT_MAX_DATASET - c_headerSize - 4)
        return client->fail(TQ_CLIENT_BAD_ARGUMENT,
                            "a dataset of " + std::to_string(size) + " payload bytes is longer than servers take");
    if (size > 0 && payload == NULL)
        return client->fail(TQ_CLIENT_BAD_ARGUMENT, "no payload");
    uint32_t length = (uint32_t)c_headerSize + 4 + size;
    size_t at = client->out.size();
    client->out.resize(at + length);
    uint8_t *to = &client->out[at];
    TQ_wirePutHeader(to, length, type, flags);
    TQ_wirePutU32(to + c_headerSize, subtype);
    if (size > 0)
        memcpy(to + c_headerSize + 4, payload, size);
    return client->out.size() >= c_queueFlushAt ? flushQueue(client) : TQ_CLIENT_OK;
}

/* Queues a basic dataset: header, subtype byte, then `body`. */
static void queueBasic(TQ_Client *client, uint8_t subtype, const uint8_t *body, size_t size)
{
    uint32_t length = (uint32_t)(c_headerSize + 1 + size);
    size_t at = client->out.size();
    client->out.resize(at + length);
    uint8_t *to = &client->out[at];
    TQ_wirePutHeader(to, length, TQ_DATASET_BASIC, TQ_FLAG_RELIABLE);
    to[TQ_BASIC_SUBTYPE_OFFSET] = subtype;
    memcpy(to + TQ_BASIC_SUBTYPE_OFFSET + 1, body, size);
}

static void queueVerdict(TQ_Client *client, uint8_t verdict)
{
    queueBasic(client, TQ_BASIC_ACCEPT, &verdict, 1);
}

/* ---- Handshake ---- */

/* Reads the server's network-ID dataset at `at` and decides: TQ_CLIENT_OK
 * when the client accepts the server, TQ_CLIENT_REFUSED (message set) when
 * it rejects it, TQ_CLIENT_PROTOCOL when malformed. */
static int judgeServer(TQ_Client *client, const uint8_t *at, uint32_t length)
{
    if (length < TQ_NETID_MIN_SIZE)
        return client->fail(TQ_CLIENT_PROTOCOL,
                            "the server sent a network identifier dataset of " + std::to_string(length) + " bytes");
    client->serverMajor = TQ_wireGetU16(at + TQ_NETID_MAJOR_OFFSET);
    client->serverMinor = TQ_wireGetU16(at + TQ_NETID_MINOR_OFFSET);
    /* The text runs to the dataset's end; its last byte stands for the NUL. */
    const char *text = (const char *)at + TQ_NETID_TEXT_OFFSET;
    size_t textLength = strnlen(text, length - TQ_NETID_MIN_SIZE);
    client->serverNetworkId.assign(text, textLength < TQ_WIRE_TEXT_LIMIT - 1 ? textLength : TQ_WIRE_TEXT_LIMIT - 1);
    std::string version = std::to_string(client->serverMajor) + "." + std::to_string(client->serverMinor);
    if (!TQ_wireVersionAccepted(client->serverMajor, client->serverMinor))
        return client->fail(TQ_CLIENT_REFUSED, "the server announced version " + version + ", older than " +
                                                   oldestVersion() + "; rejected");
    if (client->networkId != "*" && client->networkId != client->serverNetworkId)
        return client->fail(TQ_CLIENT_REFUSED, "the server's network identifier \"" + client->serverNetworkId +
                                                   "\" is not \"" + client->networkId + "\"; rejected");
    return TQ_CLIENT_OK;
}

/* The message for a reject from the server, with the likely reason. */
static std::string refusalText(const TQ_Client *client)
{
    std::string text = "the server refused the connection: this client announced network \"" + client->networkId +
                       "\" version " + std::to_string(client->major) + "." + std::to_string(client->minor) +
                       ", the server network \"" + client->serverNetworkId + "\" version " +
                       std::to_string(client->serverMajor) + "." + std::to_string(client->serverMinor);
    if (!TQ_wireVersionAccepted(client->major, client->minor))
        text += " (the server requires version " + oldestVersion() + " or later)";
    else if (client->networkId != "*" && client->networkId != client->serverNetworkId)
        text += " (the network identifiers differ)";
    return text;
}

/* Runs the handshake to its end: TQ_CLIENT_OK once the server accepted the
 * client and sent its group exchange dataset. */
static int handshake(TQ_Client *client, const std::string &nodeName, int timeoutMs)
{
    /* Network identifier: a byte 1, the version, the text. The body starts
     * after the subtype byte. */
    const size_t bodyAt = TQ_BASIC_SUBTYPE_OFFSET + 1;
    std::vector<uint8_t> body(TQ_NETID_TEXT_OFFSET - bodyAt + client->networkId.size() + 1, 0);
    body[TQ_NETID_MARKER_OFFSET - bodyAt] = 1;
    TQ_wirePutU16(&body[TQ_NETID_MAJOR_OFFSET - bodyAt], client->major);
    TQ_wirePutU16(&body[TQ_NETID_MINOR_OFFSET - bodyAt], client->minor);
    memcpy(&body[TQ_NETID_TEXT_OFFSET - bodyAt], client->networkId.c_str(), client->networkId.size() + 1);
    queueBasic(client, TQ_BASIC_NETWORK_ID, body.data(), body.size());
    int result = flushQueue(client);
    if (result != TQ_CLIENT_OK)
        return result;

    uint64_t deadline = deadlineAfter(timeoutMs);
    bool judged = false, accepted = false;
    for (;;) {
        uint32_t length = 0;
        result = nextDataset(client, msUntil(deadline), &length);
        if (result == TQ_CLIENT_TIMEOUT)
            return client->fail(TQ_CLIENT_TIMEOUT, judged ? "the server did not finish the handshake in time"
                                                          : "the server sent no network identifier in time");
        if (result == TQ_CLIENT_CLOSED && !judged)
            return client->fail(TQ_CLIENT_CLOSED, "the server closed the connection before the handshake "
                                                  "(is this its address for clients?)");
        if (result == TQ_CLIENT_PROTOCOL && !judged)
            return client->fail(TQ_CLIENT_PROTOCOL, std::string(client->error) +
                                                        " before the handshake (is this its address for clients?)");
        if (result != TQ_CLIENT_OK)
            return result;
        const uint8_t *at = &client->in[client->inStart];
        uint8_t type = at[offsetof(TQ_DatasetHeader, type)];
        if (type >= TQ_DATASET_GROUPS && accepted) {
            /* The group exchange dataset ends the handshake; anything else
             * already belongs to the application and stays. */
            if (type == TQ_DATASET_GROUPS)
                client->inStart += length;
            return TQ_CLIENT_OK;
        }
        client->inStart += length;
        if (type != TQ_DATASET_BASIC || length <= TQ_BASIC_SUBTYPE_OFFSET)
            continue;
        uint8_t subtype = at[TQ_BASIC_SUBTYPE_OFFSET];
        if (subtype == TQ_BASIC_NETWORK_ID && !judged) {
            judged = true;
            result = judgeServer(client, at, length);
            if (result == TQ_CLIENT_REFUSED) {
                queueVerdict(client, 0);
                flushQueue(client);
            }
            if (result != TQ_CLIENT_OK)
                return result;
            /* Accept, then the node name (padding after the subtype first). */
            queueVerdict(client, 1);
            const size_t nameAt = TQ_NODE_NAME_TEXT_OFFSET - TQ_BASIC_SUBTYPE_OFFSET - 1;
            std::vector<uint8_t> name(nameAt + nodeName.size() + 1, 0);
            memcpy(&name[nameAt], nodeName.c_str(), nodeName.size() + 1);
            queueBasic(client, TQ_BASIC_NODE_NAME, name.data(), name.size());
            result = flushQueue(client);
            if (result != TQ_CLIENT_OK)
                return result;
        } else if (subtype == TQ_BASIC_ACCEPT) {
            if (length != TQ_ACCEPT_SIZE)
                return client->fail(TQ_CLIENT_PROTOCOL,
                                    "the server sent an accept dataset of " + std::to_string(length) + " bytes");
            if (at[TQ_ACCEPT_VERDICT_OFFSET] == 0) {
                client->refused = true;
                return client->fail(TQ_CLIENT_REFUSED, refusalText(client));
            }
            accepted = true;
        }
    }
}

/* ---- Public operations ---- */

static void setError(TQ_ClientError *error, int code, const char *text)
{
    if (error) {
        error->code = code;
        snprintf(error->message, sizeof error->message, "%s", text);
    }
}

extern "C" TQ_Client *TQ_Client_connectFd(int fd, const TQ_ClientOptions *options, TQ_ClientError *error)
{
    TQ_ClientOptions defaults;
    memset(&defaults, 0, sizeof defaults);
    if (!options)
        options = &defaults;
    if (fd < 0) {
        setError(error, TQ_CLIENT_BAD_ARGUMENT, "no socket");
        return NULL;
    }
    std::string networkId = options->networkId ? options->networkId : "*";
    std::string nodeName = options->nodeName ? options->nodeName : "tessarc-cli";
    if (networkId.size() >= TQ_WIRE_TEXT_LIMIT || nodeName.size() >= TQ_WIRE_TEXT_LIMIT) {
        closeFd(fd);
        setError(error, TQ_CLIENT_BAD_ARGUMENT, "network identifiers and names hold at most 255 characters");
        return NULL;
    }
    int timeoutMs = options->timeoutMs > 0 ? options->timeoutMs : 10000;
    Tls *tls = nullptr;
    if (tlsWanted(options) && (tls = tlsConnect(fd, options, deadlineAfter(timeoutMs), error)) == nullptr) {
        closeFd(fd);
        return NULL;
    }
    TQ_Client *client = new TQ_Client;
    client->fd = fd;
    client->tls = tls;
    client->networkId = networkId;
    client->major = options->versionMajor ? options->versionMajor : TQ_CLIENT_VERSION_MAJOR;
    client->minor = options->versionMajor ? options->versionMinor : TQ_CLIENT_VERSION_MINOR;
    int result = handshake(client, nodeName, timeoutMs);
    if (result != TQ_CLIENT_OK) {
        setError(error, result, client->error);
        client->broken = true; /* nothing to wait for on close */
        TQ_Client_close(client);
        return NULL;
    }
    client->error[0] = '\0';
    setError(error, TQ_CLIENT_OK, "");
    return client;
}

extern "C" TQ_Client *TQ_Client_connect(const char *address, const TQ_ClientOptions *options, TQ_ClientError *error)
{
    int timeoutMs = options && options->timeoutMs > 0 ? options->timeoutMs : 10000;
    TQ_ClientError local;
    int fd = connectTo(address, timeoutMs, error ? error : &local);
    if (fd < 0)
        return NULL;
    return TQ_Client_connectFd(fd, options, error);
}

extern "C" void TQ_Client_close(TQ_Client *client)
{
    if (!client)
        return;
    /* Unread input at close would make the system reset the connection,
     * and the server could then lose what was just sent: end the sending
     * direction and read until the server closes (briefly). */
    if (!client->broken && !client->atEnd && tlsShutdownWrite(client->tls, client->fd) == 0) {
        uint64_t deadline = deadlineAfter(c_closeDrainMs);
        char sink[4096];
        while (tlsWaitReadable(client->tls, client->fd, msUntil(deadline)) > 0 &&
               tlsReadSome(client->tls, client->fd, sink, sizeof sink) > 0) {
        }
    }
    tlsFree(client->tls);
    closeFd(client->fd);
    delete client;
}

extern "C" int TQ_Client_queue(TQ_Client *client, uint8_t type, uint8_t flags, uint32_t subtype, const void *payload,
                               uint32_t size)
{
    return queueDataset(client, type, flags, subtype, payload, size);
}

extern "C" int TQ_Client_send(TQ_Client *client, uint8_t type, uint8_t flags, uint32_t subtype, const void *payload,
                              uint32_t size)
{
    int result = queueDataset(client, type, flags, subtype, payload, size);
    return result == TQ_CLIENT_OK ? flushQueue(client) : result;
}

extern "C" int TQ_Client_queueRaw(TQ_Client *client, const void *bytes, uint32_t length)
{
    if (length > 0 && bytes == NULL)
        return client->fail(TQ_CLIENT_BAD_ARGUMENT, "no bytes");
    client->out.insert(client->out.end(), (const uint8_t *)bytes, (const uint8_t *)bytes + length);
    return client->out.size() >= c_queueFlushAt ? flushQueue(client) : TQ_CLIENT_OK;
}

extern "C" int TQ_Client_flush(TQ_Client *client)
{
    return flushQueue(client);
}

extern "C" int TQ_Client_receive(TQ_Client *client, TQ_ClientDataset *dataset, int timeoutMs)
{
    uint64_t deadline = deadlineAfter(timeoutMs);
    for (;;) {
        uint32_t length = 0;
        int result = nextDataset(client, msUntil(deadline), &length);
        if (result != TQ_CLIENT_OK)
            return result;
        const uint8_t *at = &client->in[client->inStart];
        client->inStart += length;
        uint8_t type = at[offsetof(TQ_DatasetHeader, type)];
        if (type == TQ_DATASET_BASIC) {
            /* A late reject: the server refused the client after all. */
            if (length == TQ_ACCEPT_SIZE && at[TQ_BASIC_SUBTYPE_OFFSET] == TQ_BASIC_ACCEPT &&
                at[TQ_ACCEPT_VERDICT_OFFSET] == 0) {
                client->refused = true;
                return client->fail(TQ_CLIENT_REFUSED, "the server rejected the client after the handshake");
            }
            continue;
        }
        if (type == TQ_DATASET_NONE || type == TQ_DATASET_GROUPS)
            continue;
        dataset->bytes = at;
        dataset->length = length;
        dataset->type = type;
        dataset->flags = at[offsetof(TQ_DatasetHeader, flags)];
        if (length >= c_headerSize + 4) {
            dataset->subtype = TQ_wireGetU32(at + c_headerSize);
            dataset->payload = at + c_headerSize + 4;
            dataset->payloadLength = length - (uint32_t)c_headerSize - 4;
        } else {
            dataset->subtype = 0;
            dataset->payload = at + c_headerSize;
            dataset->payloadLength = length - (uint32_t)c_headerSize;
        }
        return TQ_CLIENT_OK;
    }
}

extern "C" const char *TQ_Client_serverNetworkId(const TQ_Client *client)
{
    return client->serverNetworkId.c_str();
}

extern "C" void TQ_Client_serverVersion(const TQ_Client *client, uint16_t *major, uint16_t *minor)
{
    if (major)
        *major = client->serverMajor;
    if (minor)
        *minor = client->serverMinor;
}

extern "C" const char *TQ_Client_errorText(const TQ_Client *client)
{
    return client->error;
}

extern "C" const char *TQ_Client_codeName(int code)
{
    static const char *const names[] = {
        "ok", "bad argument", "cannot connect", "refused", "closed", "protocol error", "timed out", "i/o error", "tls"};
    return code >= 0 && code < (int)(sizeof names / sizeof names[0]) ? names[code] : "unknown";
}
