/* A module for tests: one shared object that is both a protocol module and a service module, depending on the name
 * it is copied under. Its protocol and service are named after its file (up to the first '.'), so copies of one build
 * are told apart, and it logs every step the server takes with it.
 *
 * A protocol group may hold: tag (logged), fail (configure throws it), delayMs (configure waits that long). The
 * service obeys the program arguments --probe-stop (stop the server at postinit) and --probe-slow-stop (wait 1.5 s in
 * predestroy). Built with PROBE_WITHOUT_CONFIGURE it lacks the configure entry. */
#include <tessarc/module.h>

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

char s_file[256];
char s_name[256];
TQ_Server_ServiceApi *s_api;
int32_t s_argc;
char **s_argv;

void say(const char *format)
{
    TQ_log(TQ_Server_getLog(), TQ_LOG_INFO, format, s_name);
}

bool hasArg(const char *arg)
{
    return std::any_of(s_argv + 1, s_argv + s_argc, [&](const char *a) { return std::strcmp(a, arg) == 0; });
}

__attribute__((constructor)) void onMapped()
{
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&onMapped), &info) != 0 && info.dli_fname != nullptr) {
        const char *base = std::strrchr(info.dli_fname, '/');
        std::snprintf(s_file, sizeof s_file, "%s", base != nullptr ? base + 1 : info.dli_fname);
        std::snprintf(s_name, sizeof s_name, "%.*s", static_cast<int>(std::strcspn(s_file, ".")), s_file);
    }
    TQ_log(TQ_Server_getLog(), TQ_LOG_INFO, "probe image %s mapped\n", s_file);
}
__attribute__((destructor)) void onUnmapped()
{
    TQ_log(TQ_Server_getLog(), TQ_LOG_INFO, "probe image %s unmapped\n", s_file);
}

int run(TQ_Server_ProtocolCallbacks *)
{
    return say("probe %s: run\n"), 1;
}
void stop()
{
    say("probe %s: stop\n");
}
void destroy()
{
    say("probe %s: destroy\n");
}
void protocolDataset(TQ_Connection *, TQ_Buffer *) {}

TQ_Server_Protocol s_protocol = {nullptr, nullptr,         run,   stop, destroy, nullptr, nullptr,
                                 nullptr, protocolDataset, s_name};

int32_t preinit(TQ_Server_ServiceApi *api)
{
    s_api = api;
    auto *args = static_cast<TQ_ArgsInterface *>(api->getServiceInterface("Args"));
    s_argv = args->getArgs(&s_argc);
    TQ_log(TQ_Server_getLog(), TQ_LOG_INFO, "probe service %s: preinit, %d args\n", s_name, static_cast<int>(s_argc));
    for (int32_t i = 0; i < s_argc; ++i)
        TQ_log(TQ_Server_getLog(), TQ_LOG_INFO, "probe service %s: arg %d [%s]\n", s_name, static_cast<int>(i),
               s_argv[i]);
    return 1;
}
void postinit()
{
    char *name = s_api->getName(), *networkId = s_api->getNetworkId();
    TQ_log(TQ_Server_getLog(), TQ_LOG_INFO, "probe service %s: postinit, server %s, network %s\n", s_name, name,
           networkId);
    TQ_freeStringWithAllocator(s_api->allocator, name);
    TQ_freeStringWithAllocator(s_api->allocator, networkId);
    if (hasArg("--probe-stop"))
        s_api->stop();
}
void predestroy()
{
    say("probe service %s: predestroy\n");
    if (hasArg("--probe-slow-stop"))
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
}
void postdestroy()
{
    say("probe service %s: postdestroy\n");
}
void onNode(TQ_Server_Node *) {}
void serviceDataset(TQ_Server_Node *, TQ_Buffer *, TQ_TreeSet *) {}

TQ_Server_Service s_service = {preinit, postinit, onNode, onNode, serviceDataset, nullptr, predestroy, postdestroy,
                               s_name,  nullptr,  10,     0};

} /* namespace */

TQ_Server_Protocol *getProtocol(void)
{
    say("probe %s: descriptor taken\n");
    return &s_protocol;
}

TQ_Server_Service *getService(void)
{
    return &s_service;
}

#ifndef PROBE_WITHOUT_CONFIGURE
void configure(libconfig::Setting &group, TQ_Logger *log)
{
    std::string text = "(none)";
    if (group.lookupValue("fail", text))
        throw std::runtime_error(text);
    int delayMs = 0;
    if (group.lookupValue("delayMs", delayMs)) {
        say("probe %s: configure waits\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    }
    group.lookupValue("tag", text);
    TQ_log(log, TQ_LOG_INFO, "probe %s: configured with tag %s\n", s_name, text.c_str());
}
#endif
