/* Tessarc wire format: the dataset header, the dataset types and flags, and
 * the basic datasets of the connection handshake (network ID, accept/reject,
 * node name, UUID, neighbour lists), with the version rule peers are judged
 * by. The server core, the client library and anything else that speaks to
 * a server take their bytes from here, so no side can drift from the other.
 *
 * Standalone: needs nothing but <stdint.h>, compiles as C and as C++, and
 * every function is inline. Offsets are from the start of the dataset;
 * multi-byte fields are little-endian, written and read byte by byte. */
#ifndef TESSARC_WIRE_H
#define TESSARC_WIRE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define TQ_WIRE_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define TQ_WIRE_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* ---- Every dataset -------------------------------------------------------- */

/* Header flags. Bits not named here are carried and not interpreted. */
#define TQ_FLAG_ENCRYPT   0x20 /* UUID dataset only: the sender requires encryption */
#define TQ_FLAG_BROADCAST 0x40 /* the dataset begins with a TQ_BroadcastHeader */
#define TQ_FLAG_RELIABLE  0x80

/* Dataset types. 4 and above belong to services; the group exchange dataset
 * of the group manager is type 4 and is dispatched like any service type. */
#define TQ_DATASET_NONE      0 /* dropped on receipt */
#define TQ_DATASET_PROTOCOL  1 /* private to the receiving connection's protocol */
#define TQ_DATASET_BASIC     2 /* handshake and neighbour datasets */
#define TQ_DATASET_ENCRYPTED 3 /* decrypted by the encryption provider */
#define TQ_DATASET_GROUPS    4 /* group exchange dataset */

/* The 8 bytes at the start of every dataset. `length` repeats the size of
 * the buffer that holds the dataset, header included. For service datasets
 * the first payload word is a u32 subtype that belongs to the service. */
typedef struct TQ_DatasetHeader {
    uint32_t length;
    uint8_t type;
    uint8_t flags;
    uint16_t reserved; /* written 0 */
} TQ_DatasetHeader;

TQ_WIRE_STATIC_ASSERT(sizeof(TQ_DatasetHeader) == 8, "dataset header is 8 bytes");
TQ_WIRE_STATIC_ASSERT(offsetof(TQ_DatasetHeader, type) == 4, "dataset header type at 4");
TQ_WIRE_STATIC_ASSERT(offsetof(TQ_DatasetHeader, flags) == 5, "dataset header flags at 5");
TQ_WIRE_STATIC_ASSERT(offsetof(TQ_DatasetHeader, reserved) == 6, "dataset header reserved at 6");

#define TQ_DATASET_HEADER_SIZE 8
/* The largest dataset, header included, that servers and clients carry. */
#define TQ_DATASET_SIZE_LIMIT 1048576u
/* A node identifier (TQ_Uuid) on the wire. */
#define TQ_WIRE_UUID_SIZE 12
/* Texts are sent with their NUL and kept to at most 255 characters. */
#define TQ_WIRE_TEXT_LIMIT 256

/* ---- Basic datasets (type TQ_DATASET_BASIC, flags TQ_FLAG_RELIABLE) ------- */

/* The subtype: one byte after the header. */
#define TQ_BASIC_SUBTYPE_OFFSET    8
#define TQ_BASIC_NETWORK_ID        0
#define TQ_BASIC_ACCEPT            1
#define TQ_BASIC_NODE_NAME         2
#define TQ_BASIC_UUID              3
#define TQ_BASIC_ADD_NEIGHBOURS    4
#define TQ_BASIC_REMOVE_NEIGHBOURS 5

/* Network ID: a byte 1 (not read), the version, the network identifier to
 * the dataset's end. */
#define TQ_NETID_MARKER_OFFSET 9
#define TQ_NETID_MAJOR_OFFSET  10
#define TQ_NETID_MINOR_OFFSET  12
#define TQ_NETID_TEXT_OFFSET   14
#define TQ_NETID_MIN_SIZE      15

/* Accept/reject: the verdict, 1 accept, 0 reject; nothing else. */
#define TQ_ACCEPT_VERDICT_OFFSET 9
#define TQ_ACCEPT_SIZE           10

/* Node name (client to server): three bytes of padding, the name. */
#define TQ_NODE_NAME_TEXT_OFFSET 12
#define TQ_NODE_NAME_MIN_SIZE    13

/* UUID (server to server): three bytes of padding, the sender's node
 * identifier, its server name; TQ_FLAG_ENCRYPT in the header when the sender
 * can encrypt the link. */
#define TQ_UUID_DATASET_ID_OFFSET   12
#define TQ_UUID_DATASET_NAME_OFFSET 24
#define TQ_UUID_DATASET_MIN_SIZE    25

/* Neighbour lists (add and remove): a padding byte, a u16 count, then count
 * entries of a node identifier and a u32 age in milliseconds. The length is
 * exactly TQ_NEIGHBOURS_FIXED_SIZE + TQ_NEIGHBOUR_ENTRY_SIZE * count. */
#define TQ_NEIGHBOURS_COUNT_OFFSET 10
#define TQ_NEIGHBOURS_FIXED_SIZE   12
#define TQ_NEIGHBOUR_ENTRY_SIZE    16
#define TQ_NEIGHBOUR_AGE_OFFSET    12 /* within an entry */
#define TQ_NEIGHBOURS_MAX_COUNT    0xFFFFu
#define TQ_NEIGHBOUR_AGE_MAX       0xFFFFFFFFu /* an age that does not fit */

/* The version a server announces, and the oldest a peer may announce. */
#define TQ_WIRE_VERSION_MAJOR 2
#define TQ_WIRE_VERSION_MINOR 1
#define TQ_WIRE_OLDEST_MAJOR  2
#define TQ_WIRE_OLDEST_MINOR  1

/* 1 when a peer announcing `major`.`minor` is spoken to, 0 when it is too
 * old and is rejected. */
static inline int TQ_wireVersionAccepted(uint16_t major, uint16_t minor)
{
    return major > TQ_WIRE_OLDEST_MAJOR || (major == TQ_WIRE_OLDEST_MAJOR && minor >= TQ_WIRE_OLDEST_MINOR);
}

/* ---- Byte order ----------------------------------------------------------- */

/* Little-endian fields at `at`, which need not be aligned. */
static inline void TQ_wirePutU16(uint8_t *at, uint16_t value)
{
    at[0] = (uint8_t)value;
    at[1] = (uint8_t)(value >> 8);
}

static inline void TQ_wirePutU32(uint8_t *at, uint32_t value)
{
    at[0] = (uint8_t)value;
    at[1] = (uint8_t)(value >> 8);
    at[2] = (uint8_t)(value >> 16);
    at[3] = (uint8_t)(value >> 24);
}

static inline uint16_t TQ_wireGetU16(const uint8_t *at)
{
    return (uint16_t)(at[0] | (at[1] << 8));
}

static inline uint32_t TQ_wireGetU32(const uint8_t *at)
{
    return (uint32_t)at[0] | ((uint32_t)at[1] << 8) | ((uint32_t)at[2] << 16) | ((uint32_t)at[3] << 24);
}

/* Writes a dataset header (reserved 0) to the first TQ_DATASET_HEADER_SIZE
 * bytes at `at`. */
static inline void TQ_wirePutHeader(uint8_t *at, uint32_t length, uint8_t type, uint8_t flags)
{
    TQ_wirePutU32(at, length);
    at[4] = type;
    at[5] = flags;
    at[6] = 0;
    at[7] = 0;
}

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TESSARC_WIRE_H */
