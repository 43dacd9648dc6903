/* The receive path past the handshake: decryption and routing again,
 * service datasets before and after a node is attached, and what reaches
 * the service and the log. */
#include "recorder.h"

#include <cstring>
#include <deque>

using namespace tqtest;

static auto *const g_environment = ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

namespace {

const uint8_t kType = 5;

/* A dataset with header `length` (the byte count unless given), `type`,
 * `flags`, then bytes 1, 2, 3, ... up to `size`. */
Bytes dataset(uint32_t size, uint8_t type, uint8_t flags = 0, uint32_t length = 0)
{
    Bytes b(size);
    uint32_t n = length ? length : size;
    std::memcpy(b.data(), &n, 4);
    b[4] = type;
    b[5] = flags;
    for (uint32_t i = 8; i < size; i++)
        b[i] = (uint8_t)(i - 7);
    return b;
}

/* An encryption provider whose decrypt writes the next scripted plain text
 * over the start of the buffer, or refuses when none is scripted. */
std::deque<Bytes> g_plain;
int g_decrypts = 0;
int cryptoInit(TQ_Server_EncryptionContext *)
{
    return 1;
}
void cryptoStop() {}
int cryptoCan(TQ_Connection *)
{
    return 0;
}
void cryptoStart(TQ_Connection *) {}
int cryptoDecrypt(TQ_Connection *, TQ_Buffer *buffer)
{
    g_decrypts++;
    if (g_plain.empty())
        return 0;
    TQ_BufferIter it;
    TQ_bufferInitIter(buffer, &it);
    EXPECT_EQ(1, TQ_bufferCopyTo(&it, g_plain.front().data(), (uint32_t)g_plain.front().size()));
    g_plain.pop_front();
    return 1;
}
void cryptoRemove(TQ_Connection *) {}
TQ_Server_Encryption g_provider = {cryptoInit,  cryptoStop,    cryptoCan,   cryptoStart,
                                   cryptoStart, cryptoDecrypt, cryptoRemove};

} // namespace

TEST(Dispatch, EncryptedDatasetsAreDecryptedAndRoutedAgain)
{
    addRecordingService(kType, true);
    Link *link = connect("crypt", false);
    TQ_Server_Node *node = shakeAsClient(link, "c");
    ASSERT_NE(nullptr, node);
    link->takeEvents();
    LogCapture log;

    /* No provider: gone without a word. */
    feed(link, dataset(40, TQ_DATASET_ENCRYPTED));
    EXPECT_TRUE(takeDeliveries().empty());
    EXPECT_TRUE(log.take().empty());

    TQ_Server_setEncryption(&g_provider);
    /* The provider refuses: dropped, nothing logged. */
    feed(link, dataset(40, TQ_DATASET_ENCRYPTED));
    EXPECT_EQ(1, g_decrypts);
    EXPECT_TRUE(takeDeliveries().empty());

    /* Encrypted inside encrypted: decrypted twice, and the service sees the
     * inner dataset cut to its own length. */
    Bytes inner = dataset(20, kType);
    g_plain = {dataset(40, TQ_DATASET_ENCRYPTED), inner};
    feed(link, dataset(40, TQ_DATASET_ENCRYPTED));
    EXPECT_EQ(3, g_decrypts);
    std::vector<Delivery> got = takeDeliveries();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(inner, got[0].bytes);
    EXPECT_EQ(node, got[0].node);
    EXPECT_FALSE(got[0].alt);
    EXPECT_EQ(-1, got[0].groups);

    /* A plain length equal to the buffer's size is delivered whole. */
    g_plain = {dataset(24, kType)};
    feed(link, dataset(24, TQ_DATASET_ENCRYPTED));
    got = takeDeliveries();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(dataset(24, kType), got[0].bytes);
    EXPECT_TRUE(log.take().empty());
    EXPECT_EQ(0, link->destroys.load());

    /* One byte more than the buffer holds ends the connection. */
    g_plain = {dataset(24, kType, 0, 25)};
    feed(link, dataset(24, TQ_DATASET_ENCRYPTED));
    EXPECT_TRUE(takeDeliveries().empty());
    EXPECT_EQ(1, log.count(TQ_LOG_ERROR, "Decrypted dataset was too large!\n"));
    EXPECT_EQ(1, link->destroys.load());

    TQ_Server_setEncryption(nullptr);
    EXPECT_TRUE(g_plain.empty());
    remove(link);
}

TEST(Dispatch, ServiceDatasetsNeedANodeAndReachTheirService)
{
    addRecordingService(kType, true);
    LogCapture log;

    /* Before the handshake attached a node: an unreliable dataset is
     * dropped silently, a reliable one ends the connection. */
    Link *early = connect("early", true);
    early->takeEvents();
    log.take();
    feed(early, dataset(12, kType));
    EXPECT_TRUE(log.take().empty());
    EXPECT_EQ(0, early->destroys.load());
    feed(early, dataset(12, kType, TQ_FLAG_RELIABLE));
    EXPECT_EQ(1, log.count(TQ_LOG_ERROR, "Got a reliable dataset out of order, type = 5\n"));
    EXPECT_EQ(1, early->destroys.load());
    EXPECT_TRUE(early->takeSent().empty());
    remove(early);

    Link *link = connect("late", false);
    TQ_Server_Node *node = shakeAsClient(link, "c");
    ASSERT_NE(nullptr, node);
    log.take();

    /* With the node: to the owning service; type 0 goes nowhere. */
    feed(link, dataset(12, kType, TQ_FLAG_RELIABLE));
    feed(link, dataset(12, 0));
    EXPECT_TRUE(log.take().empty());
    std::vector<Delivery> got = takeDeliveries();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(dataset(12, kType, TQ_FLAG_RELIABLE), got[0].bytes);
    EXPECT_EQ(node, got[0].node);

    /* Broadcasts are refused from clients, and from nowhere. */
    TQ_Uuid origin = makeUuid(0x70);
    feed(link, broadcastDataset(kType, 2, origin, 1));
    EXPECT_EQ(1, log.count(TQ_LOG_INFO, "Got a broadcast dataset from a client\n"));
    TQ_Buffer *buffer = toBuffer(broadcastDataset(kType, 2, origin, 1));
    TQ_Server_handleDataset(nullptr, buffer, nullptr);
    EXPECT_EQ(1, log.count(TQ_LOG_WARN, "Got a broadcast dataset before the node was set up; ignoring.\n"));
    TQ_bufferRelease(buffer);
    EXPECT_TRUE(takeDeliveries().empty());

    /* A service may inject a plain dataset without a node. */
    buffer = toBuffer(dataset(16, kType));
    TQ_Server_getServiceApi()->handleDataset(nullptr, buffer, nullptr);
    TQ_bufferRelease(buffer);
    got = takeDeliveries();
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(nullptr, got[0].node);
    EXPECT_EQ(dataset(16, kType), got[0].bytes);

    EXPECT_EQ(0, link->destroys.load());
    remove(link);
}

TEST(Dispatch, PeerTextIsEscapedAndRepeatedFaultsAreCounted)
{
    LogCapture log;
    /* A name that would break the line and forge a fatal one, with a
     * backslash and a byte that is not UTF-8; the "é" stays. */
    Link *link = connect("flood", false);
    ASSERT_NE(nullptr, shakeAsClient(link, "x\\y\n2026 |FATAL| \x1b[31m\xff\xc3\xa9"));
    EXPECT_EQ(1, log.count(TQ_LOG_INFO, "Got a client node name: x\\x5Cy\\x0A2026 |FATAL| \\x1B[31m\\xFF\xc3\xa9\n"));
    for (int i = 0; i < 20; i++)
        feed(link, dataset(12, 9));
    EXPECT_EQ(5, log.count(TQ_LOG_WARN, "No service for dataset type 9\n"));
    remove(link);
    EXPECT_EQ(1, log.count(TQ_LOG_WARN, "15 more like \"No service for dataset type %d\" from flood\n"));
}
