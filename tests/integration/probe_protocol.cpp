/* A protocol module for tests. Its protocol is named after its file (up to
 * the first '.'), so copies of one build under different names are told
 * apart; it logs when it is mapped, asked for its descriptor, configured,
 * run, stopped, destroyed and unmapped.
 *
 * A configure group may hold: tag (string, logged), fail (string: configure
 * throws it), delayMs (int: configure sleeps that long). Built with
 * PROBE_WITHOUT_CONFIGURE it lacks the configure entry. */
#include <tessarc/module.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include <dlfcn.h>

namespace {

char s_file[256];
char s_name[256];

void findOwnFile() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&findOwnFile), &info) == 0 || info.dli_fname == nullptr)
        return;
    const char *base = std::strrchr(info.dli_fname, '/');
    std::snprintf(s_file, sizeof s_file, "%s", base != nullptr ? base + 1 : info.dli_fname);
    std::snprintf(s_name, sizeof s_name, "%s", s_file);
    char *dot = std::strchr(s_name, '.');
    if (dot != nullptr)
        *dot = '\0';
}

TQ_Logger *serverLog() { return TQ_Server_getLog(); }

__attribute__((constructor)) void onMapped() {
    findOwnFile();
    TQ_log(serverLog(), 4, "probe image %s mapped\n", s_file);
}

__attribute__((destructor)) void onUnmapped() { TQ_log(serverLog(), 4, "probe image %s unmapped\n", s_file); }

int run(TQ_Server_ProtocolCallbacks *) {
    TQ_log(serverLog(), 4, "probe %s: run\n", s_name);
    return 1;
}
void stop() { TQ_log(serverLog(), 4, "probe %s: stop\n", s_name); }
void destroy() { TQ_log(serverLog(), 4, "probe %s: destroy\n", s_name); }
void handleDataset(TQ_Connection *, TQ_Buffer *) {}

TQ_Server_Protocol s_protocol = {nullptr, nullptr, run, stop, destroy, nullptr,
                                 nullptr, nullptr, handleDataset, s_name};

} /* namespace */

TQ_Server_Protocol *getProtocol(void) {
    TQ_log(serverLog(), 4, "probe %s: descriptor taken\n", s_name);
    return &s_protocol;
}

#ifndef PROBE_WITHOUT_CONFIGURE
void configure(libconfig::Setting &group, TQ_Logger *logger) {
    std::string text;
    if (group.lookupValue("fail", text))
        throw std::runtime_error(text);
    int delayMs = 0;
    if (group.lookupValue("delayMs", delayMs)) {
        TQ_log(logger, 4, "probe %s: configure waits %d ms\n", s_name, delayMs);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    }
    std::string tag = "(none)";
    group.lookupValue("tag", tag);
    TQ_log(logger, 4, "probe %s: configured with tag %s\n", s_name, tag.c_str());
}
#endif
