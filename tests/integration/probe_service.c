/* A service module for tests, in C. Its service is named after its file
 * (up to the first '.'). It logs every lifecycle hook and the command line
 * it reads through the "Args" service, and obeys these program arguments:
 *   --probe-stop        ask the server to stop at postinit
 *   --probe-slow-start  wait 1.5 s in preinit
 *   --probe-slow-stop   wait 1.5 s in predestroy */
#define _GNU_SOURCE
#include <tessarc/module.h>

#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

static char s_name[256];
static TQ_Server_ServiceApi *s_api;
static int s_argc;
static char **s_argv;

static TQ_Logger *logger(void) { return TQ_Server_getLog(); }

static int hasArg(const char *arg) {
    for (int i = 1; i < s_argc; ++i) {
        if (strcmp(s_argv[i], arg) == 0)
            return 1;
    }
    return 0;
}

static void pause1500ms(void) {
    struct timespec delay = {1, 500000000};
    nanosleep(&delay, NULL);
}

static int32_t preinit(TQ_Server_ServiceApi *api) {
    s_api = api;
    TQ_ArgsInterface *args = (TQ_ArgsInterface *)api->getServiceInterface("Args");
    if (args == NULL) {
        TQ_log(logger(), 2, "probe service %s: no Args service\n", s_name);
        return 1;
    }
    s_argv = args->getArgs(&s_argc);
    TQ_log(logger(), 4, "probe service %s: preinit, %d args\n", s_name, (int)s_argc);
    for (int i = 0; i < s_argc; ++i)
        TQ_log(logger(), 4, "probe service %s: arg %d [%s]\n", s_name, i, s_argv[i]);
    if (hasArg("--probe-slow-start"))
        pause1500ms();
    return 1;
}

static void postinit(void) {
    char *name = s_api->getName();
    char *networkId = s_api->getNetworkId();
    TQ_log(logger(), 4, "probe service %s: postinit, server %s, network %s\n", s_name,
           name ? name : "(null)", networkId ? networkId : "(null)");
    TQ_freeStringWithAllocator(s_api->allocator, name);
    TQ_freeStringWithAllocator(s_api->allocator, networkId);
    if (hasArg("--probe-stop"))
        s_api->stop();
}

static void predestroy(void) {
    TQ_log(logger(), 4, "probe service %s: predestroy\n", s_name);
    if (hasArg("--probe-slow-stop"))
        pause1500ms();
}

static void postdestroy(void) { TQ_log(logger(), 4, "probe service %s: postdestroy\n", s_name); }
static void onNode(TQ_Server_Node *node) { (void)node; }

static void ignoreDataset(TQ_Server_Node *node, TQ_Buffer *dataset, TQ_TreeSet *groups) {
    (void)node;
    (void)dataset;
    (void)groups;
}

static TQ_Server_Service s_service = {
    preinit, postinit, onNode, onNode, ignoreDataset, NULL, predestroy, postdestroy, s_name, NULL, 10, 0,
};

TQ_Server_Service *getService(void) {
    Dl_info info;
    if (dladdr((void *)&getService, &info) != 0 && info.dli_fname != NULL) {
        const char *base = strrchr(info.dli_fname, '/');
        snprintf(s_name, sizeof s_name, "%s", base ? base + 1 : info.dli_fname);
        char *dot = strchr(s_name, '.');
        if (dot)
            *dot = '\0';
    }
    return &s_service;
}
