// Loggers: format, inheritance and the registry.
#include "tessarc/runtime.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

// A file a logger writes into; text() is what came since the last call.
struct Capture {
    char *data = nullptr;
    size_t size = 0, pos = 0;
    FILE *f = open_memstream(&data, &size);
    ~Capture() { std::fclose(f), std::free(data); }
    std::string text()
    {
        std::fflush(f);
        std::string s(data + pos, size - pos);
        pos = size;
        return s;
    }
};

// An output that records each call's formatted text; checks token and level.
std::vector<std::string> g_calls;
void *g_expectToken;
int recordOutput(void *token, int level, const char *format, va_list args)
{
    char buf[256];
    std::vsnprintf(buf, sizeof buf, format, args);
    g_calls.push_back(buf + (token == g_expectToken ? std::string() : "<token>") + std::to_string(level));
    return 0;
}

TQ_Logger makeLogger(const char *name, TQ_Logger *parent, const char *prefix, int level, TQ_LogOutputFn output)
{
    TQ_Logger l;
    std::memset(&l, 0, sizeof l);
    l.name = name;
    l.isStatic = 1;
    l.parent = parent;
    l.prefix = prefix;
    l.level = level;
    l.outputs[0] = output;
    return l;
}

// True when `text` matches `pattern`, where each '#' stands for one digit.
bool matches(const std::string &text, const std::string &pattern)
{
    if (text.size() != pattern.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (pattern[i] == '#' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != pattern[i])
            return false;
    return true;
}

std::string localStamp()
{
    std::time_t now = std::time(nullptr);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    return buf;
}

} // namespace

TEST(Logging, LineFormatInheritanceAndLevels)
{
    Capture cap;
    TQ_Logger top = makeLogger("fmt.top", nullptr, "Top: ", 4, nullptr);
    TQ_logToFile(&top, cap.f);
    // Inherits threshold, prefix and the file; its own slot 3 is ignored while slot 0 inherits.
    TQ_Logger child = makeLogger("fmt.child", &top, nullptr, 4, TQ_LOG_INHERIT_OUTPUT_func);
    TQ_logSetLevel(&child, TQ_LOG_INHERIT);
    TQ_logSetOutputNum(&child, recordOutput, 3);
    TQ_Logger grand = makeLogger("fmt.grand", &child, "G: ", -2, TQ_LOG_INHERIT_OUTPUT_func);

    g_calls.clear();
    TQ_log(&child, TQ_LOG_INFO, "value %d, %s\n", 42, "text");
    TQ_log(&child, TQ_LOG_DEBUG, "dropped\n");
    TQ_log(&grand, TQ_LOG_WARN, "grand %u\n", 7u);
    TQ_log(&grand, TQ_LOG_ERROR, ":bare %d\n", 1);
    TQ_logSetLevel(&top, TQ_LOG_DEBUG);
    TQ_log(&grand, TQ_LOG_DEBUG, "debug\n");
    TQ_logSetLevel(&top, TQ_LOG_PRINT);
    TQ_log(&grand, TQ_LOG_FATAL, "fatal\n");
    TQ_log(&grand, TQ_LOG_PRINT, "print\n");
    EXPECT_EQ(cap.text(), "Top: value 42, text\nG: grand 7\nbare 1\nG: debug\nG: print\n");
    EXPECT_TRUE(g_calls.empty());

    // Slot 0 NONE stops inheritance; the record's other slots write with its token. Out-of-range slots change nothing;
    // each slot gets the message.
    TQ_logSetLevel(&top, TQ_LOG_INFO);
    TQ_logSetOutput(&child, TQ_LOGOUTPUT_NONE_func);
    TQ_logSetToken(&child, &cap);
    g_expectToken = &cap;
    TQ_log(&grand, TQ_LOG_WARN, "warn %s\n", "w");
    TQ_log(&child, TQ_LOG_WARN, ":cont\n");
    TQ_logToFile(&child, cap.f);
    g_expectToken = cap.f;
    TQ_logSetOutputNum(&child, recordOutput, 5);
    TQ_logSetOutputNum(&child, recordOutput, static_cast<uint32_t>(-1));
    TQ_log(&child, TQ_LOG_INFO, "%s=%d %s\n", "a", 1, "b");
    EXPECT_EQ(cap.text(), "Top: a=1 b\n");
    EXPECT_EQ(g_calls, (std::vector<std::string>{"G: 3", "warn w\n3", "cont\n3", "Top: 4", "a=1 b\n4"}));
}

TEST(Logging, TimeStampedHeaderOnServerLogger)
{
    Capture cap;
    TQ_logToFile(&g_TQ_serverLog, cap.f);
    TQ_logSetLevel(&g_TQ_serverLog, 100);
    const std::string before = localStamp();
    for (int level : {0, 1, 2, 3, 4, 5, 6, 7, -1})
        TQ_log(&g_TQ_serverLog, level, "Got config for %u protocols\n", 3u);
    const std::string after = localStamp();
    TQ_log(&g_TQ_serverLog, TQ_LOG_INFO, ":continued %d\n", 5);
    TQ_logSetLevel(&g_TQ_serverLog, TQ_LOG_INFO);
    TQ_logSetOutput(&g_TQ_serverLog, TQ_LOGOUTPUT_PRINTF_func);
    TQ_logSetToken(&g_TQ_serverLog, nullptr);

    // The level name is the message's; the stamp is local time.
    std::string text = cap.text();
    size_t pos = 0;
    for (const char *name : {"print", "FATAL", "ERROR", "Warn ", " info", "debug", "trace", " ??? ", " ??? "}) {
        size_t end = text.find('\n', pos);
        ASSERT_NE(end, std::string::npos);
        std::string line = text.substr(pos, end + 1 - pos);
        EXPECT_TRUE(
            matches(line, "####-##-## ##:##:## |" + std::string(name) + "| TQ Server: Got config for 3 protocols\n"))
            << line;
        EXPECT_TRUE(line.substr(0, 19) >= before && line.substr(0, 19) <= after) << line;
        pos = end + 1;
    }
    EXPECT_EQ(text.substr(pos), "continued 5\n");
}

TEST(Logging, RegistryReferenceCounting)
{
    // A second open of a name overwrites the one record; the second close frees it (the sanitizers catch a leak or
    // double free).
    TQ_Logger *a = TQ_logOpen(&g_TQ_LOG, "reg.module", "A: ", 5, TQ_LOG_INHERIT_OUTPUT_func);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(TQ_logOpen(&g_TQ_serverLog, "reg.module", "A2: ", -2, TQ_LOGOUTPUT_NONE_func), a);
    EXPECT_EQ(a->refCount, 2);
    EXPECT_EQ(a->parent, &g_TQ_serverLog);
    EXPECT_STREQ(a->prefix, "A2: ");
    EXPECT_EQ(TQ_logGet(std::string("reg.module").c_str()), a); // keys compare by content
    TQ_logClose(a);
    TQ_logSetNamedPrefix("reg.module", "N: ");
    EXPECT_EQ(TQ_logGetNamedLevel("reg.module"), 4);
    EXPECT_STREQ(a->prefix, "N: ");
    TQ_logClose(a);
    EXPECT_EQ(TQ_logGet("reg.module"), &g_TQ_LOG);

    // Registering under an open name replaces the entry; the opened record and its name may then go and the registered
    // one stays findable.
    std::vector<char> *openedName = new std::vector<char>{'r', 'e', 'g', '.', 'x', 0};
    TQ_Logger *opened = TQ_logOpen(&g_TQ_LOG, openedName->data(), nullptr, 4, nullptr);
    TQ_Logger own = makeLogger("reg.x", &g_TQ_LOG, "O: ", 4, nullptr);
    TQ_logRegister(&own);
    EXPECT_TRUE(own.refCount == 1 && opened->refCount == 1);
    EXPECT_EQ(TQ_logGet("reg.x"), &own);
    TQ_logClose(opened);
    delete openedName;
    EXPECT_EQ(TQ_logGet("reg.x"), &own);
    TQ_logClose(&own);
    EXPECT_EQ(TQ_logGet("reg.x"), &g_TQ_LOG);
}
