/* Tessarc client library: connects to a Tessarc server as a client node,
 * runs the client side of the handshake and then sends and receives
 * datasets.
 *
 * The handshake as this library runs it: on connect the client sends its
 * network identifier ("*" unless told otherwise) with its protocol version
 * (2.1), reads the server's network identifier and version, accepts the
 * server when its version is 2.1 or later and its network identifier matches
 * (any identifier matches "*"), sends its node name, and is connected once
 * the server's accept and its group exchange dataset have arrived. A server
 * that refuses answers with a reject, which this library reports with
 * TQ_CLIENT_REFUSED and a message that says what was announced on each side.
 *
 * Datasets on the wire are the server's: an 8-byte header (u32 length
 * including the header, u8 type, u8 flags, u16 reserved 0, little-endian),
 * then for service types (4 and up) a u32 subtype and the payload.
 *
 * Flow control: the sending calls block while the server is not reading,
 * as a socket does. A server holds back reading a publisher whose datasets
 * it cannot pass on as fast as they come, so a publisher at full speed is
 * slowed to the pace of the mesh and its slowest reader instead of losing
 * datasets; a reader that takes nothing for a while is cut out of that
 * pace by its server (its datasets are dropped, or it is disconnected, as
 * the server is configured).
 *
 * Threads: a client object may be used by two threads at once, one on the
 * sending side (TQ_Client_send, TQ_Client_queue, TQ_Client_flush) and one on
 * the receiving side (TQ_Client_receive); each side by one thread at a time.
 * TQ_Client_close must not race with either. Every function has C linkage. */
#ifndef TESSARC_CLIENT_H
#define TESSARC_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TQ_Client TQ_Client;

/* Result codes. Every failing call also leaves a message (see
 * TQ_ClientError and TQ_Client_errorText). */
enum {
    TQ_CLIENT_OK = 0,
    TQ_CLIENT_BAD_ARGUMENT = 1, /* an address or option that cannot be used */
    TQ_CLIENT_CONNECT = 2,      /* the server could not be reached */
    TQ_CLIENT_REFUSED = 3,      /* the server (or this client) rejected the handshake */
    TQ_CLIENT_CLOSED = 4,       /* the server closed the connection */
    TQ_CLIENT_PROTOCOL = 5,     /* the server sent something malformed */
    TQ_CLIENT_TIMEOUT = 6,      /* the handshake did not finish in time */
    TQ_CLIENT_IO = 7,           /* a socket error */
    TQ_CLIENT_TLS = 8           /* the TLS handshake failed (the server's certificate, or the server refused ours) */
};

/* A result code and its message, for calls that have no client object. */
typedef struct TQ_ClientError {
    int code;
    char message[256];
} TQ_ClientError;

/* How to connect. Zeroed fields take the defaults. */
typedef struct TQ_ClientOptions {
    const char *networkId; /* announced network identifier; null: "*" (any network) */
    const char *nodeName;  /* the client's name; null: "tessarc-cli" */
    uint16_t versionMajor; /* announced version; 0: 2.1 */
    uint16_t versionMinor;
    int timeoutMs; /* connect and handshake limit; 0: 10000 */
    /* TLS 1.3 is used when a CA file or a pin is set. */
    const char *tlsCaFile;      /* PEM file of the CAs the server's certificate must chain to */
    const char *tlsPin;         /* SHA-256 fingerprint (hex, colons allowed) the server's certificate must have */
    const char *tlsServerName;  /* name the server's certificate must carry (also sent as SNI); null: not checked */
    const char *tlsCertificate; /* PEM certificate chain shown to a server that asks for one; null: none */
    const char *tlsKey;         /* PEM key of that certificate; null: read from tlsCertificate */
} TQ_ClientOptions;

/* One received dataset. The pointers lead into the client's receive buffer
 * and stay valid until the next TQ_Client_receive or TQ_Client_close. */
typedef struct TQ_ClientDataset {
    const uint8_t *bytes; /* the whole dataset, header included */
    uint32_t length;      /* its length in bytes */
    uint8_t type;
    uint8_t flags;
    uint32_t subtype;       /* the u32 after the header; 0 when the dataset is shorter */
    const uint8_t *payload; /* the bytes after the subtype (after the header when shorter) */
    uint32_t payloadLength;
} TQ_ClientDataset;

/* Largest dataset this library sends or accepts, header included (the size
 * limit servers hand to their protocols). */
#define TQ_CLIENT_MAX_DATASET 1048576u

/* The version this library announces by default. */
#define TQ_CLIENT_VERSION_MAJOR 2
#define TQ_CLIENT_VERSION_MINOR 1

/* Connects to `address` ("host:port"; host a name or an IPv4 text) and runs
 * the handshake. Returns the connected client, owned by the caller until
 * TQ_Client_close, or null with `error` (may be null) filled in. Any
 * thread. */
TQ_Client *TQ_Client_connect(const char *address, const TQ_ClientOptions *options, TQ_ClientError *error);

/* As TQ_Client_connect over a connected stream socket `fd`, which the
 * client owns from then on, also on failure (it is closed then). */
TQ_Client *TQ_Client_connectFd(int fd, const TQ_ClientOptions *options, TQ_ClientError *error);

/* Closes the connection and frees the client. Null is ignored. */
void TQ_Client_close(TQ_Client *client);

/* Sends one dataset at once: header (type, flags, length), the u32 subtype,
 * then `size` bytes of `payload`; anything queued goes first. TQ_CLIENT_OK,
 * or a code with the message in TQ_Client_errorText. A failed send leaves
 * the connection unusable. Blocks while the server is not reading. Sending
 * side. */
int TQ_Client_send(TQ_Client *client, uint8_t type, uint8_t flags, uint32_t subtype, const void *payload,
                   uint32_t size);

/* As TQ_Client_send but only appends the dataset to the send queue; the
 * queue goes out when it grows past 64 KiB, on TQ_Client_flush and before
 * any TQ_Client_send. For sending many datasets with few system calls.
 * Sending side. */
int TQ_Client_queue(TQ_Client *client, uint8_t type, uint8_t flags, uint32_t subtype, const void *payload,
                    uint32_t size);

/* Queues `length` bytes as they are: a whole dataset built by the caller,
 * whose header is not checked (for tests of servers). Sending side. */
int TQ_Client_queueRaw(TQ_Client *client, const void *bytes, uint32_t length);

/* Writes out everything queued; blocks while the server is not reading.
 * Sending side. */
int TQ_Client_flush(TQ_Client *client);

/* Waits up to `timeoutMs` (negative: without limit) for the next dataset
 * for the application and fills `dataset`. Handshake traffic that may still
 * come (group exchange, neighbour datasets) is skipped. Returns TQ_CLIENT_OK,
 * TQ_CLIENT_TIMEOUT when nothing came in time (the client stays usable), or
 * another code: TQ_CLIENT_REFUSED when the server rejected the client
 * afterwards, TQ_CLIENT_CLOSED at the end of the connection. Receiving
 * side. */
int TQ_Client_receive(TQ_Client *client, TQ_ClientDataset *dataset, int timeoutMs);

/* The server's network identifier and version as it announced them. */
const char *TQ_Client_serverNetworkId(const TQ_Client *client);
void TQ_Client_serverVersion(const TQ_Client *client, uint16_t *major, uint16_t *minor);

/* The message of the last failure on either side; "" when none. The text
 * belongs to the client and may change with the next failing call. */
const char *TQ_Client_errorText(const TQ_Client *client);

/* The name of a result code ("ok", "refused", ...). */
const char *TQ_Client_codeName(int code);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TESSARC_CLIENT_H */
