/* Logging what peers do wrong without letting a peer write the log: every
 * message about a connection's peer is written as it is for its first few
 * occurrences, then only counted, with a count line now and then and one
 * when the connection goes; and text that came from a peer is escaped, so
 * it can neither break a line nor pass for another message.
 *
 * The counts of a connection live in a small fixed table made on its first
 * fault and freed when the connection is removed. Tables are found by the
 * connection's address in one of a few maps, each under its own mutex, so
 * peers on different threads seldom meet on a lock; the lock is never held
 * while writing to the log. */
#include <mutex>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unordered_map>

#include "core.h"

namespace {

/* Occurrences written as they are, per connection and format. */
constexpr uint32_t kVerbatim = 5;
/* Least time between two count lines of one connection and format. */
constexpr uint64_t kSummaryGapMs = 10000;
/* Formats counted apart per connection; the last slot takes the rest. */
constexpr int kFormats = 12;
constexpr int kStripes = 16;

struct FaultCount {
    const char *format; /* the key; null for a free slot */
    TQ_Logger *logger;
    int level;
    uint32_t seen;
    uint32_t unreported; /* counted since the last count line */
    uint64_t lastSummary;
};

struct FaultTable {
    FaultCount counts[kFormats];
};

struct Stripe {
    std::mutex lock;
    std::unordered_map<const TQ_Connection *, FaultTable *> tables;
};

Stripe s_stripes[kStripes];

/* The connection whose dataset this thread is delivering, for callers that
 * only know the node. */
TQ_CORE_THREAD_LOCAL TQ_Connection *t_receiving = nullptr;

Stripe &stripeOf(const TQ_Connection *connection)
{
    return s_stripes[(reinterpret_cast<uintptr_t>(connection) >> 6) % kStripes];
}

/* The format as a one-line text: without its line break. */
int formatTextLength(const char *format)
{
    size_t length = strlen(format);
    while (length > 0 && (format[length - 1] == '\n' || format[length - 1] == '\r'))
        --length;
    return (int)length;
}

void writeSummary(TQ_Logger *logger, int level, uint32_t count, const char *format, const char *name)
{
    char safeName[TQ_SERVER_ESCAPED_SIZE];
    TQ_Server_escapeText(name, safeName, sizeof safeName);
    TQ_log(logger, level, "%u more like \"%.*s\" from %s\n", (unsigned)count, formatTextLength(format), format,
           safeName);
}

} /* namespace */

const char *TQ_Server_escapeText(const char *text, char *out, size_t size)
{
    static const char kHex[] = "0123456789ABCDEF";
    if (size == 0)
        return out;
    const unsigned char *in = reinterpret_cast<const unsigned char *>(text ? text : "");
    size_t used = 0;
    while (*in) {
        /* A well-formed UTF-8 sequence of two to four bytes (no overlong
         * forms, surrogates or values past U+10FFFF) is kept whole. */
        int extra = 0;
        unsigned char c = in[0];
        if (c >= 0xC2 && c <= 0xDF)
            extra = 1;
        else if (c >= 0xE0 && c <= 0xEF)
            extra = 2;
        else if (c >= 0xF0 && c <= 0xF4)
            extra = 3;
        bool valid = extra > 0;
        for (int i = 1; valid && i <= extra; i++)
            valid = (in[i] & 0xC0) == 0x80;
        if (valid && ((c == 0xE0 && in[1] < 0xA0) || (c == 0xED && in[1] > 0x9F) || (c == 0xF0 && in[1] < 0x90) ||
                      (c == 0xF4 && in[1] > 0x8F)))
            valid = false;
        if (valid) {
            if (used + extra + 1 >= size)
                break;
            memcpy(out + used, in, (size_t)extra + 1);
            used += (size_t)extra + 1;
            in += extra + 1;
        } else if (c < 0x20 || c == 0x7F || c == '\\' || c >= 0x80) {
            if (used + 4 >= size)
                break;
            out[used++] = '\\';
            out[used++] = 'x';
            out[used++] = kHex[c >> 4];
            out[used++] = kHex[c & 15];
            in++;
        } else {
            if (used + 1 >= size)
                break;
            out[used++] = (char)c;
            in++;
        }
    }
    out[used] = '\0';
    return out;
}

void TQ_Server_logPeerFault(TQ_Connection *connection, TQ_Logger *logger, int level, const char *format, ...)
{
    if (!connection)
        connection = t_receiving;
    va_list args;
    va_start(args, format);
    if (!connection) {
        TQ_logv(logger, level, format, args);
        va_end(args);
        return;
    }
    bool verbatim = false;
    uint32_t summary = 0;
    const char *summaryFormat = format;
    {
        Stripe &stripe = stripeOf(connection);
        std::lock_guard<std::mutex> lock(stripe.lock);
        FaultTable *&table = stripe.tables[connection];
        if (!table)
            table = new (std::nothrow) FaultTable();
        FaultCount *count = nullptr;
        for (int i = 0; table && i < kFormats && !count; i++) {
            FaultCount &slot = table->counts[i];
            if (!slot.format || slot.format == format || i == kFormats - 1)
                count = &slot;
        }
        if (!count) {
            verbatim = true;
        } else {
            if (!count->format) {
                count->format = format;
                count->lastSummary = TQ_getTimeMs();
            }
            count->logger = logger;
            count->level = level;
            if (++count->seen <= kVerbatim) {
                verbatim = true;
            } else {
                count->unreported++;
                uint64_t now = TQ_getTimeMs();
                if (now - count->lastSummary >= kSummaryGapMs) {
                    summary = count->unreported;
                    summaryFormat = count->format;
                    count->unreported = 0;
                    count->lastSummary = now;
                }
            }
        }
    }
    if (verbatim)
        TQ_logv(logger, level, format, args);
    va_end(args);
    if (summary)
        writeSummary(logger, level, summary, summaryFormat, connection->name);
}

void Tessarc::Core::setReceivingConnection(TQ_Connection *connection)
{
    t_receiving = connection;
}

void Tessarc::Core::endPeerFaults(TQ_Connection *connection)
{
    FaultTable *table = nullptr;
    {
        Stripe &stripe = stripeOf(connection);
        std::lock_guard<std::mutex> lock(stripe.lock);
        auto found = stripe.tables.find(connection);
        if (found == stripe.tables.end())
            return;
        table = found->second;
        stripe.tables.erase(found);
    }
    for (int i = 0; table && i < kFormats; i++) {
        const FaultCount &count = table->counts[i];
        if (count.format && count.unreported)
            writeSummary(count.logger, count.level, count.unreported, count.format, connection->name);
    }
    delete table;
}
