/* hello.protocol: the skeleton of a transport. It is configured from its
 * group in Config/Communication.cfg, runs and stops, and carries nothing:
 * a real transport makes interfaces and connections in run and hands every
 * dataset it receives to callbacks->receive. */
#include <tessarc/module.h>

#include <string>

namespace {

std::string s_greeting = "hello";
TQ_Server_ProtocolCallbacks *s_callbacks;

int run(TQ_Server_ProtocolCallbacks *callbacks)
{
    s_callbacks = callbacks; /* valid until destroy returns */
    TQ_log(callbacks->log, TQ_LOG_INFO, "hello.protocol: running, greeting \"%s\"\n", s_greeting.c_str());
    return 1;
}

void stop(void)
{
    TQ_log(s_callbacks->log, TQ_LOG_INFO, "hello.protocol: stopping\n");
}

void destroy(void) {}

/* Datasets of type 1 on this protocol's connections (there are none here). */
void handleDataset(TQ_Connection *, TQ_Buffer *) {}

} /* namespace */

/* Called once, right after loading; the descriptor must outlive destroy. */
TQ_Server_Protocol *getProtocol(void)
{
    static TQ_Server_Protocol protocol; /* the module slots stay null */
    protocol.run = run;
    protocol.stop = stop;
    protocol.destroy = destroy;
    protocol.handleDataset = handleDataset;
    protocol.name = "hello"; /* what a protocols group of Communication.cfg names */
    return &protocol;
}

/* Once for every protocols group with name = "hello", before run. */
void configure(libconfig::Setting &group, TQ_Logger *log)
{
    group.lookupValue("greeting", s_greeting);
    TQ_log(log, TQ_LOG_INFO, "hello.protocol: configured\n");
}
