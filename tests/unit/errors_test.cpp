// Error messages: name lookup by the upper 16 bits, the OS part with Linux errno texts, snprintf-style cutting at every
// small size and the exception's copy of its message.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "tessarc/runtime.h"

namespace {

std::string message(uint32_t code)
{
    char buf[256];
    return TQ_errorToString(code, buf, sizeof buf);
}

} // namespace

TEST(Errors, MessagesAndTheirCutting)
{
    EXPECT_EQ(message(0), "OK");
    EXPECT_EQ(message(0x00070000), "No error description available");
    EXPECT_EQ(message(0x140C0000), "Failed to collect interface list");
    EXPECT_EQ(message(0x140D0000), "No error description available"); // one past the last
    EXPECT_EQ(message(0x10030062), "Bind failed - OS error 98: Address already in use");
    EXPECT_EQ(message(0x0007006F), "No error description available - OS error 111: Connection refused");
    // A number the system has no text for leaves the prefix alone (and the system text empty, below).
    EXPECT_EQ(message(0x1000FFFF), "Sockets - OS error 65535: ");

    // Texts are cut and terminated like snprintf's.
    const std::string full = "Sockets - OS error 111: Connection refused";
    const size_t prefix = strlen("Sockets - OS error 111: ");
    for (size_t size = 0; size <= full.size() + 2; ++size) {
        char buf[64];
        memset(buf, '#', sizeof buf);
        EXPECT_EQ(TQ_errorToString(0x1000006F, buf, size), buf);
        // Without room for the whole prefix no system text follows; with it, the text fills the rest of the buffer.
        if (size > 0) {
            const size_t expect = size <= prefix ? size - 1 : std::min(size - 1, full.size());
            EXPECT_EQ(std::string(buf), full.substr(0, expect)) << "size " << size;
        }
        EXPECT_EQ(buf[size], '#') << "wrote past size " << size;
    }
    char sys[8];
    memset(sys, '#', sizeof sys);
    EXPECT_EQ(TQ_systemErrorToString(98, sys, 5), 4);
    EXPECT_STREQ(sys, "Addr");
    EXPECT_EQ(sys[5], '#');
    EXPECT_EQ(TQ_systemErrorToString(98, sys, 0), 0);
    EXPECT_EQ(sys[0], 'A');
    EXPECT_EQ(TQ_systemErrorToString(65535, sys, sizeof sys), 0);
    EXPECT_STREQ(sys, "");
}

TEST(Errors, ExceptionKeepsItsOwnCopyOfTheMessage)
{
    std::string text = "\"x.protocol\": cannot open";
    Tessarc::Error original(text);
    text.assign("changed");
    Tessarc::Error copy("other");
    copy = Tessarc::Error(original);
    try {
        throw copy;
    } catch (const std::exception &e) {
        EXPECT_STREQ(e.what(), "\"x.protocol\": cannot open");
    }
}
