/* The built-in "Args" service, through which modules read the program's
 * command line. */
#ifndef TESSARC_HOST_ARGS_H
#define TESSARC_HOST_ARGS_H

#include <tessarc/server.h>

/* Stores the argument count and vector (not copied: the vector must live as
 * long as the process) and returns the static descriptor of the "Args"
 * service, whose interface is a TQ_ArgsInterface. Start-up thread, before
 * the descriptor is registered. */
TQ_Server_Service *getArgsService(int argc, char **argv);

#endif /* TESSARC_HOST_ARGS_H */
