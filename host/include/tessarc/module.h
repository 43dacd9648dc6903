/* Tessarc module entry points: what a protocol or service module exports so
 * that tessarc-server can load it.
 *
 * A protocol module is a shared object named "<anything>.protocol" in the
 * Protocols directory of the install root and exports getProtocol and
 * configure; a service module is named "<anything>.service", lives in the
 * Services directory and exports getService. Including this header in the
 * file that defines an entry point gives it the name and signature the
 * server looks for. Protocol modules are C++ (configure takes a libconfig
 * setting); service modules may be C or C++. The declarations carry TQ_API,
 * so the entry points stay visible to the loader in a module built with
 * hidden visibility. */
#ifndef TESSARC_MODULE_H
#define TESSARC_MODULE_H

#include <tessarc/server.h>

#ifdef __cplusplus
#include <libconfig.h++>
extern "C" {
#endif

/* Called once, right after the module is loaded. The descriptor is the
 * module's and must stay valid (with its name set) until its destroy has
 * been called. A null result, or a missing export, leaves the module
 * unloaded. */
TQ_API TQ_Server_Protocol *getProtocol(void);

/* Called once for every service module, right after loading; the descriptor
 * must stay valid until the module is unloaded at shutdown. */
TQ_API TQ_Server_Service *getService(void);

#ifdef __cplusplus
/* Called on the start-up thread before the server starts, once for every
 * group of the protocols list of Communication.cfg whose name setting names
 * this protocol, in file order (so possibly more than once). `group` is
 * valid only during the call: copy what is needed later. `log` is the
 * server's logger. An exception thrown here is logged and ends the reading
 * of the protocols list. */
TQ_API void configure(libconfig::Setting &group, TQ_Logger *log);
#endif

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TESSARC_MODULE_H */
