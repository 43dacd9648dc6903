/* Settings files as the server and its modules read them: the input is
 * written to Config/Communication.cfg and Config/relay.cfg of a scratch
 * install root, then the host reads Communication.cfg (server name, network
 * identifier, each protocols group handed to the configure entry of the
 * protocol it names: the tcp reader here) and relay.service reads relay.cfg.
 * Beyond not crashing, whatever a reader accepts must be in range. */
#include "config.h"
#include "modules.h"
#include "tcp.h"
#include "tls.h"

#include <tessarc/module.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string g_root;
TQ_Allocator g_allocator;
TQ_Server_Protocol g_tcpDescriptor = {nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr, const_cast<char *>("tcp")};

void writeFile(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(data, 1, size, file) != size)
        std::abort();
    std::fclose(file);
}

/* The host reports parse errors on standard error; one line per input would
 * drown the fuzzer's own output. */
struct QuietStderr {
    int saved = dup(2);
    QuietStderr()
    {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        close(null);
    }
    ~QuietStderr()
    {
        dup2(saved, 2);
        close(saved);
    }
};

} // namespace

/* The protocol module the host finds in the program itself ("main"): its
 * configure runs the tcp reader on a fresh record and checks what it let
 * through. */
extern "C" TQ_API TQ_Server_Protocol *getProtocol(void)
{
    return &g_tcpDescriptor;
}

extern "C" TQ_API void configure(libconfig::Setting &group, TQ_Logger *)
{
    tcp::Settings settings;
    try {
        tcp::readTlsSettings(group);
        tcp::readSettings(group, settings);
    } catch (const std::runtime_error &) {
        return;
    }
    for (uint32_t ms : {settings.connectTimeoutMs, settings.reconnectMinMs, settings.reconnectMaxMs,
                        settings.closeTimeoutMs, settings.sendTimeoutMs}) {
        if (ms < 1 || ms > 3600000)
            std::abort();
    }
    if (settings.reconnectMaxMs < settings.reconnectMinMs || settings.sendQueueBytes < TQ_SERVER_SIZE_LIMIT ||
        !(settings.lowWater < settings.highWater && settings.highWater < settings.sendQueueBytes) ||
        settings.stallLimitMs >= settings.sendTimeoutMs)
        std::abort();
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    /* In memory where there is such a file system: rewriting a file on disk
     * for every input is flushed on close and costs most of the time. */
    std::string pattern =
        access("/dev/shm", W_OK) == 0 ? "/dev/shm/tq-fuzz-config-XXXXXX" : "/tmp/tq-fuzz-config-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr)
        std::abort();
    g_root = pattern;
    if (mkdir((g_root + "/Config").c_str(), 0700) != 0)
        std::abort();
    std::atexit([] {
        std::remove((g_root + "/Config/Communication.cfg").c_str());
        std::remove((g_root + "/Config/relay.cfg").c_str());
        rmdir((g_root + "/Config").c_str());
        rmdir(g_root.c_str());
    });
    TQ_logSetLevel(TQ_Server_getLog(), TQ_LOG_PRINT);
    initMallocAllocator(&g_allocator);
    TQ_Server_init(&g_allocator);
    TQ_Server_setInstallRoot(g_root.c_str());
    g_protocols.emplace_back(new Protocol("main"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    writeFile(g_root + "/Config/Communication.cfg", data, size);
    writeFile(g_root + "/Config/relay.cfg", data, size);
    QuietStderr quiet;
    readConfig(g_root);

    TQ_Server_Service *relay = getService();
    if (relay == nullptr || relay->name == nullptr)
        std::abort();
    /* preinit refuses when relay.cfg was unusable; what it accepts is a
     * service type and never one of the core's own. */
    if (relay->preinit(nullptr) == 1 && relay->datasetType < 5)
        std::abort();
    return 0;
}
