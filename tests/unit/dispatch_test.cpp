/* The receive path past the handshake. */
#include "peer.h"

#include <cstring>
#include <deque>

using namespace tqtest;

static auto *const g_environment = ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

namespace {

const uint8_t kType = 5;

/* `size` bytes: a header claiming `length` (else `size`), then 1, 2, 3... */
Bytes dataset(uint32_t size, uint8_t type, uint8_t flags = 0, uint32_t length = 0)
{
    Bytes b(size);
    TQ_wirePutHeader(b.data(), length ? length : size, type, flags);
    for (uint32_t i = 8; i < size; i++)
        b[i] = (uint8_t)(i - 7);
    return b;
}

/* Decrypt writes the next scripted plain text, or refuses when none is left. */
std::deque<Bytes> g_plain;
int g_decrypts = 0;
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
void nothing(TQ_Connection *) {}
TQ_Server_Encryption g_provider = {[](TQ_Server_EncryptionContext *) { return 1; },
                                   [] {},
                                   [](TQ_Connection *) { return 0; },
                                   nothing,
                                   nothing,
                                   cryptoDecrypt,
                                   nothing};

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

    /* Nested: decrypted twice, delivered cut to the inner length. */
    Bytes inner = dataset(20, kType);
    g_plain = {dataset(40, TQ_DATASET_ENCRYPTED), inner};
    feed(link, dataset(40, TQ_DATASET_ENCRYPTED));
    EXPECT_EQ(3, g_decrypts);
    Delivery got = takeOne();
    EXPECT_EQ(inner, got.bytes);
    EXPECT_TRUE(got.node == node && !got.alt && got.groups == -1);

    /* A plain length equal to the buffer's size is delivered whole. */
    g_plain = {dataset(24, kType)};
    feed(link, dataset(24, TQ_DATASET_ENCRYPTED));
    EXPECT_EQ(dataset(24, kType), takeOne().bytes);
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

    /* No node yet: unreliable dropped silently, reliable ends the link. */
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
    Delivery got = takeOne();
    EXPECT_EQ(dataset(12, kType, TQ_FLAG_RELIABLE), got.bytes);
    EXPECT_EQ(node, got.node);

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
    got = takeOne();
    EXPECT_EQ(nullptr, got.node);
    EXPECT_EQ(dataset(16, kType), got.bytes);

    EXPECT_EQ(0, link->destroys.load());
    remove(link);
}

TEST(Dispatch, PeerTextIsEscapedAndRepeatedFaultsAreCounted)
{
    LogCapture log;
    /* A name forging a log line, with a backslash and invalid UTF-8. */
    Link *link = connect("flood", false);
    ASSERT_NE(nullptr, shakeAsClient(link, "x\\y\n2026 |FATAL| \x1b[31m\xff\xc3\xa9"));
    EXPECT_EQ(1, log.count(TQ_LOG_INFO, "Got a client node name: x\\x5Cy\\x0A2026 |FATAL| \\x1B[31m\\xFF\xc3\xa9\n"));
    for (int i = 0; i < 20; i++)
        feed(link, dataset(12, 9));
    EXPECT_EQ(5, log.count(TQ_LOG_WARN, "No service for dataset type 9\n"));
    remove(link);
    EXPECT_EQ(1, log.count(TQ_LOG_WARN, "15 more like \"No service for dataset type %d\" from flood\n"));
}
