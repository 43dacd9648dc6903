/* The "Args" service: a service of the host that owns no dataset type,
 * reacts to no hook and offers one interface, the program's argument count
 * and vector. */
#include "args.h"

namespace {

int32_t s_argc = 0;
char **s_argv = nullptr;

int32_t acceptPreinit(TQ_Server_ServiceApi *)
{
    return 1;
}
void ignoreEvent() {}
void ignoreNode(TQ_Server_Node *) {}
void ignoreDataset(TQ_Server_Node *, TQ_Buffer *, TQ_TreeSet *) {}

char **getArgs(int32_t *count)
{
    *count = s_argc;
    return s_argv;
}

TQ_ArgsInterface s_argsInterface = {getArgs};

TQ_Server_Service s_argsService = {
    acceptPreinit,    /* preinit */
    ignoreEvent,      /* postinit */
    ignoreNode,       /* addNode */
    ignoreNode,       /* removeNode */
    ignoreDataset,    /* handleDataset */
    nullptr,          /* handleDatasetAlt */
    ignoreEvent,      /* predestroy */
    ignoreEvent,      /* postdestroy */
    "Args",           /* name */
    &s_argsInterface, /* interface */
    0,                /* order */
    0,                /* datasetType */
};

} /* namespace */

TQ_Server_Service *getArgsService(int argc, char **argv)
{
    s_argc = argc;
    s_argv = argv;
    return &s_argsService;
}
