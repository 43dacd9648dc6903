// Loggers: the static root and server loggers, message writing with headers
// and hex dumps, record setters, and the process-wide registry of named
// loggers.
//
// Logging threads read a logger's parent, prefix, level, outputs and token
// while configuration code may change them, and TQ_logOpen writes them after
// leaving the registry lock. All such reads and writes are atomic accesses on
// the plain fields (acquire/release, so a published prefix string is visible
// with its contents); the public record keeps its plain layout.
#include "tessarc/runtime.h"

#include <cstdlib>
#include <cstring>

namespace {

/* ---- Atomic field access ---- */

template <class T>
inline T loadField(const T &field)
{
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}

template <class T>
inline void storeField(T &field, T value)
{
    __atomic_store_n(&field, value, __ATOMIC_RELEASE);
}

/* ---- Private output ---- */

int fileOutput(void *token, int /*level*/, const char *format, va_list args)
{
    if (token == nullptr)
        return 0;
    return vfprintf(static_cast<FILE *>(token), format, args);
}

} // namespace

/* ---- Output functions and static loggers ---- */

extern "C" int TQ_LOGOUTPUT_PRINTF_func(void * /*token*/, int /*level*/, const char *format, va_list args)
{
    return vprintf(format, args);
}

extern "C" int TQ_LOGOUTPUT_NONE_func(void *, int, const char *, va_list)
{
    return 0;
}

// Loggers compare slot 0 against this function's address, so its body must
// differ from TQ_LOGOUTPUT_NONE_func's: identical bodies may be folded into one.
extern "C" int TQ_LOG_INHERIT_OUTPUT_func(void *, int, const char *, va_list)
{
    return -1;
}

extern "C" {

TQ_Logger g_TQ_LOG = {nullptr,
                      "Tessarc",
                      "Tessarc: ",
                      TQ_LOG_INFO,
                      {TQ_LOGOUTPUT_PRINTF_func, nullptr, nullptr, nullptr, nullptr},
                      nullptr,
                      1,
                      0};

TQ_Logger g_TQ_serverLog = {&g_TQ_LOG,
                            "Server",
                            "?TQ Server: ",
                            TQ_LOG_INFO,
                            {TQ_LOGOUTPUT_PRINTF_func, nullptr, nullptr, nullptr, nullptr},
                            nullptr,
                            1,
                            0};

} // extern "C"

namespace {

/* ---- Message writing ---- */

const char *const c_levelNames[] = {"print", "FATAL", "ERROR", "Warn ", " info", "debug", "trace"};

const char *levelName(int level)
{
    if (level < 0 || level > TQ_LOG_TRACE)
        return " ??? ";
    return c_levelNames[level];
}

// The threshold a message is tested against: the first level on the way up
// that is not "inherit", or 4 when every record up to the top inherits.
int thresholdInForce(const TQ_Logger *logger)
{
    while (logger != nullptr) {
        int level = loadField(logger->level);
        if (level != TQ_LOG_INHERIT)
            return level;
        logger = loadField(logger->parent);
    }
    return TQ_LOG_INFO;
}

// A message is dropped when its level is above the threshold in force.
// Level 0 is always written, even under a negative threshold that
// TQ_logOpen stored as given.
inline bool dropped(const TQ_Logger *logger, int level)
{
    return level != TQ_LOG_PRINT && level > thresholdInForce(logger);
}

// Prefix, outputs and token a message is written with. The outputs and the
// token always come from the same record.
struct Resolved {
    const char *prefix;
    TQ_LogOutputFn outputs[5];
    void *token;
};

void resolve(const TQ_Logger *logger, Resolved &r)
{
    const char *prefix = loadField(logger->prefix);
    const TQ_Logger *outputRecord = logger;
    TQ_LogOutputFn first = loadField(logger->outputs[0]);
    const TQ_Logger *cursor = loadField(logger->parent);
    while (cursor != nullptr && (prefix == nullptr || first == TQ_LOG_INHERIT_OUTPUT_func)) {
        if (prefix == nullptr)
            prefix = loadField(cursor->prefix);
        if (first == TQ_LOG_INHERIT_OUTPUT_func) {
            outputRecord = cursor;
            first = loadField(cursor->outputs[0]);
        }
        cursor = loadField(cursor->parent);
    }
    r.prefix = prefix != nullptr ? prefix : "";
    r.outputs[0] = first;
    for (int i = 1; i < 5; ++i)
        r.outputs[i] = loadField(outputRecord->outputs[i]);
    r.token = loadField(outputRecord->token);
}

void callOutput(TQ_LogOutputFn output, void *token, int level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    output(token, level, format, args);
    va_end(args);
}

// Writes one message through every non-null slot: a format beginning with
// ':' bare and without it, any other one after the header. Each slot gets
// its own copy of the arguments and reads the time afresh.
void writeMessage(const Resolved &r, int level, const char *format, va_list args)
{
    const bool continuation = format[0] == ':';
    for (TQ_LogOutputFn output : r.outputs) {
        if (output == nullptr)
            continue;
        if (!continuation) {
            if (r.prefix[0] == '?') {
                TQ_LocalTime t;
                TQ_getLocalTime(&t);
                callOutput(output, r.token, level, "%d-%02d-%02d %02d:%02d:%02d |%s| %s", t.year + 1900, t.mon + 1,
                           t.mday, t.hour, t.min, t.sec, levelName(level), r.prefix + 1);
            } else {
                callOutput(output, r.token, level, "%s", r.prefix);
            }
        }
        va_list copy;
        va_copy(copy, args);
        output(r.token, level, continuation ? format + 1 : format, copy);
        va_end(copy);
    }
}

void writeMessageF(const Resolved &r, int level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    writeMessage(r, level, format, args);
    va_end(args);
}

} // namespace

/* ---- Messages ---- */

extern "C" void TQ_log(TQ_Logger *logger, int level, const char *format, ...)
{
    if (logger == nullptr || dropped(logger, level))
        return;
    Resolved r;
    resolve(logger, r);
    va_list args;
    va_start(args, format);
    writeMessage(r, level, format, args);
    va_end(args);
}

extern "C" void TQ_logv(TQ_Logger *logger, int level, const char *format, va_list args)
{
    if (logger == nullptr || dropped(logger, level))
        return;
    Resolved r;
    resolve(logger, r);
    writeMessage(r, level, format, args);
}

extern "C" void TQ_logBlob(TQ_Logger *logger, int level, const void *data, uint32_t length, uint32_t bytesPerLine,
                           int showOffsets)
{
    if (logger == nullptr || dropped(logger, level))
        return;
    Resolved r;
    resolve(logger, r);
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    for (uint32_t i = 0; i < length; ++i) {
        // A bytesPerLine of 0 puts every value on the first line.
        bool lineStart = bytesPerLine == 0 ? i == 0 : i % bytesPerLine == 0;
        if (lineStart) {
            writeMessageF(r, level, ":\n\r");
            if (showOffsets)
                writeMessageF(r, level, "0x%08X: ", static_cast<unsigned>(i));
            else
                writeMessageF(r, level, "");
        }
        writeMessageF(r, level, ":%02X ", static_cast<unsigned>(bytes[i]));
    }
    writeMessageF(r, level, ":\n\r");
}

/* ---- Record setters ---- */

extern "C" void TQ_logSetParent(TQ_Logger *logger, TQ_Logger *parent)
{
    if (logger != nullptr)
        storeField(logger->parent, parent);
}

extern "C" void TQ_logSetOutput(TQ_Logger *logger, TQ_LogOutputFn output)
{
    if (logger != nullptr)
        storeField(logger->outputs[0], output);
}

extern "C" void TQ_logSetOutputNum(TQ_Logger *logger, TQ_LogOutputFn output, uint32_t index)
{
    if (logger != nullptr && index <= 4)
        storeField(logger->outputs[index], output);
}

extern "C" void TQ_logSetLevel(TQ_Logger *logger, int level)
{
    if (logger == nullptr)
        return;
    if (level < 0 && !(level == TQ_LOG_INHERIT && loadField(logger->parent) != nullptr))
        level = 0;
    storeField(logger->level, static_cast<int32_t>(level));
}

extern "C" int TQ_logGetLevel(const TQ_Logger *logger)
{
    if (logger == nullptr)
        return TQ_LOG_INFO;
    for (;;) {
        int level = loadField(logger->level);
        const TQ_Logger *parent = loadField(logger->parent);
        if (level != TQ_LOG_INHERIT || parent == nullptr)
            return level;
        logger = parent;
    }
}

extern "C" void TQ_logSetPrefix(TQ_Logger *logger, const char *prefix)
{
    if (logger != nullptr)
        storeField(logger->prefix, prefix);
}

extern "C" void TQ_logSetToken(TQ_Logger *logger, void *token)
{
    if (logger != nullptr)
        storeField(logger->token, token);
}

extern "C" void TQ_logToFile(TQ_Logger *logger, FILE *stream)
{
    if (logger == nullptr)
        return;
    storeField(logger->token, static_cast<void *>(stream));
    storeField(logger->outputs[0], static_cast<TQ_LogOutputFn>(fileOutput));
}

/* ---- Registry ---- */

namespace {

// The registry and its flag are touched only under the process-wide
// critical section.
TQ_HashMap s_registry;
bool s_registryReady = false;

int nameEqual(const void *a, const void *b)
{
    return std::strcmp(static_cast<const char *>(a), static_cast<const char *>(b)) == 0;
}

uint32_t nameHash(const void *name)
{
    const char *s = static_cast<const char *>(name);
    return TQ_djb2hash(0, s, static_cast<uint32_t>(std::strlen(s)));
}

// Enters the critical section and makes the registry on first use, holding
// the root under its name.
void lockRegistry()
{
    TQ_enterCriticalSection();
    if (!s_registryReady) {
        TQ_hashMapInit(&s_registry, nameEqual, nameHash);
        TQ_hashMapInsert(&s_registry, const_cast<char *>(g_TQ_LOG.name), &g_TQ_LOG);
        s_registryReady = true;
    }
}

void unlockRegistry()
{
    TQ_leaveCriticalSection();
}

// The logger registered under `name`, or null. Registry locked.
TQ_Logger *findLocked(const char *name)
{
    TQ_HashMapIterator it;
    if (!TQ_hashMapFind(&s_registry, &it, name))
        return nullptr;
    return static_cast<TQ_Logger *>(*it.m_valueRef);
}

} // namespace

extern "C" TQ_Logger *TQ_logOpen(TQ_Logger *parent, const char *name, const char *prefix, int level,
                                 TQ_LogOutputFn output)
{
    lockRegistry();
    TQ_Logger *logger = findLocked(name);
    if (logger != nullptr) {
        ++logger->refCount;
    } else {
        logger = static_cast<TQ_Logger *>(std::calloc(1, sizeof(TQ_Logger)));
        if (logger == nullptr) {
            unlockRegistry();
            return nullptr;
        }
        logger->name = name;
        logger->isStatic = 0;
        logger->refCount = 1;
        TQ_hashMapInsert(&s_registry, const_cast<char *>(name), logger);
    }
    unlockRegistry();
    storeField(logger->parent, parent);
    storeField(logger->prefix, prefix);
    storeField(logger->level, static_cast<int32_t>(level));
    storeField(logger->outputs[0], output);
    return logger;
}

extern "C" void TQ_logClose(TQ_Logger *logger)
{
    if (logger == nullptr || logger == &g_TQ_LOG)
        return;
    lockRegistry();
    if (logger->isStatic && logger->refCount == 0) {
        unlockRegistry();
        return;
    }
    bool freeIt = false;
    if (--logger->refCount == 0) {
        if (findLocked(logger->name) == logger)
            TQ_hashMapRemoveNoFree(&s_registry, logger->name);
        freeIt = !logger->isStatic;
    }
    unlockRegistry();
    if (freeIt)
        std::free(logger);
}

extern "C" void TQ_logRegister(TQ_Logger *logger)
{
    if (logger == nullptr)
        return;
    lockRegistry();
    // Remove first so that the entry's key becomes this record's name: the
    // record registered before may go away with the string it was keyed by.
    TQ_hashMapRemoveNoFree(&s_registry, logger->name);
    TQ_hashMapInsert(&s_registry, const_cast<char *>(logger->name), logger);
    ++logger->refCount;
    unlockRegistry();
}

extern "C" TQ_Logger *TQ_logGet(const char *name)
{
    if (name == nullptr)
        return &g_TQ_LOG;
    lockRegistry();
    TQ_Logger *logger = findLocked(name);
    unlockRegistry();
    return logger != nullptr ? logger : &g_TQ_LOG;
}

/* ---- Setters by name ---- */

namespace {

// The named logger, or null when the name leads to the root, which cannot
// be changed by name.
TQ_Logger *namedForChange(const char *name)
{
    TQ_Logger *logger = TQ_logGet(name);
    return logger == &g_TQ_LOG ? nullptr : logger;
}

} // namespace

extern "C" void TQ_logSetNamedParent(const char *name, TQ_Logger *parent)
{
    TQ_logSetParent(namedForChange(name), parent);
}

extern "C" void TQ_logSetNamedOutput(const char *name, TQ_LogOutputFn output)
{
    TQ_logSetOutput(namedForChange(name), output);
}

extern "C" void TQ_logSetNamedOutputNum(const char *name, TQ_LogOutputFn output, uint32_t index)
{
    TQ_logSetOutputNum(namedForChange(name), output, index);
}

extern "C" void TQ_logSetNamedLevel(const char *name, int level)
{
    TQ_logSetLevel(namedForChange(name), level);
}

extern "C" void TQ_logSetNamedPrefix(const char *name, const char *prefix)
{
    TQ_logSetPrefix(namedForChange(name), prefix);
}

extern "C" void TQ_logSetNamedToken(const char *name, void *token)
{
    TQ_logSetToken(namedForChange(name), token);
}

extern "C" int TQ_logGetNamedLevel(const char *name)
{
    return TQ_logGetLevel(TQ_logGet(name));
}
