/* tessarc-server: start-up, run modes and shutdown.
 *
 * Console mode and service mode (started by the service manager with a
 * notification socket) run the same start-up sequence; service mode also
 * reports readiness and stopping to the service manager. */
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include <tessarc/metrics.h>
#include <tessarc/server.h>

#include "args.h"
#include "buildinfo.h"
#include "config.h"
#include "modules.h"
#include "platform.h"

namespace {

/* The host logger, taken before main runs. */
TQ_Logger *const s_log = TQ_Server_getLog();

/* The allocator handed to the core; lives for the whole process. */
TQ_Allocator s_allocator;

/* ---- Stop requests ---- */

/* Where the process stands, as far as stop requests care. */
enum class StartPhase { configuring, starting, started, tearingDown };

/* Orders stop requests against the start sequence. A stop is requested
 * from the core right away, except from the moment TQ_Server_run is called
 * until the start sequence is done: the core may not have set its running
 * flag yet and would refuse the request, so it waits for postinit. A request
 * that arrives before that (while modules load and configure) is refused by
 * the core ("Server is already stopping") and requested again, like the
 * waiting one, once the start sequence is done: the server never runs on
 * after a stop request. */
std::mutex s_stopGate;
std::condition_variable s_startDone; /* s_phase became started */
StartPhase s_phase = StartPhase::configuring;
bool s_stopRequested = false;
bool s_stopping = false; /* the stop sequence has begun */

/* Signal thread: one call per SIGINT, SIGTERM or SIGHUP. Once postdestroy
 * tears the core and the log file down, a late signal touches neither (the
 * core's lock and the log stream are going away under it). */
void onStopSignal()
{
    std::lock_guard<std::mutex> lock(s_stopGate);
    if (s_phase == StartPhase::tearingDown)
        return;
    TQ_log(s_log, TQ_LOG_INFO, "User requested exit\n");
    s_stopRequested = true;
    if (s_phase != StartPhase::starting)
        TQ_Server_stop();
}

/* ---- Core callbacks ---- */

/* End of the start sequence, on the start task. */
void postinit()
{
    std::lock_guard<std::mutex> lock(s_stopGate);
    s_phase = StartPhase::started;
    s_startDone.notify_all();
    if (!s_stopping)
        notifyServiceManager("READY=1\nSTATUS=Running from " + getRootPath().string() + "\n");
    if (s_stopRequested)
        TQ_Server_stop();
}

/* First step of the stop sequence: a new instance may start from this root
 * from now on. */
void predestroy()
{
    {
        std::lock_guard<std::mutex> lock(s_stopGate);
        s_stopping = true;
        notifyServiceManager("STOPPING=1\nSTATUS=Stopping\n");
    }
    releaseLock();
}

/* Last step of the stop sequence, on the stop task. Ends the process. */
void postdestroy()
{
    {
        /* A module may have asked for the stop while the start sequence
         * still ran (from a service's preinit or postinit): the modules and
         * the core stay until the start task has left postinit. From here
         * on stop signals are ignored. */
        std::unique_lock<std::mutex> lock(s_stopGate);
        s_startDone.wait(lock, [] { return s_phase == StartPhase::started; });
        s_phase = StartPhase::tearingDown;
    }
    TQ_log(s_log, TQ_LOG_INFO, "Unloading modules...\n");
    unloadModules();
    TQ_Server_destroy();
    s_allocator.destroy(&s_allocator);
    closeLogFile();
    notifyServiceManager("STATUS=Stopped\n");
    TQ_exitProcess(0);
}

void onAllocationFailure(int, uint32_t size)
{
    TQ_log(s_log, TQ_LOG_ERROR, "Failed to allocate required buffer of size %lu\n", static_cast<unsigned long>(size));
}

/* ---- Start-up ---- */

void writeBanner()
{
    TQ_log(s_log, TQ_LOG_PRINT, ":=============================================================================\n");
    TQ_log(s_log, TQ_LOG_PRINT, "Starting Tessarc Server\n");
    TQ_log(s_log, TQ_LOG_PRINT, "Revision: %s (%s)\n", c_TQ_buildRevision, c_TQ_buildVersion);
    TQ_log(s_log, TQ_LOG_PRINT, "Built on: %s\n", c_TQ_buildDate);
    /* The same build, for whoever scrapes the metrics: one series of value 1
     * labelled with revision and version, kept for the process's life. */
    const char *build[] = {c_TQ_buildRevision, c_TQ_buildVersion};
    TQ_Metric *info = TQ_metricRegister("tessarc_build_info", "Revision and version of the running server.",
                                        TQ_METRIC_GAUGE, "revision,version");
    if (TQ_MetricCell *cell = TQ_metricCell(info, build))
        TQ_metricSet(cell, 1);
}

/* The start-up sequence. Returns 1 when another instance holds the install
 * root; otherwise the calling thread stays in TQ_Server_run. */
int TessarcServerMain(int argc, char **argv)
{
    blockStopSignals();
    /* Log lines on standard output reach a pipe or file (a service
     * manager's journal) as they are written, not when a buffer fills. */
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    /* In the journal every line carries the priority of its level, so it
     * can be filtered by priority; elsewhere the lines stay plain. */
    if (standardOutputIsJournal()) {
        TQ_logSetOutput(&g_TQ_LOG, journalOutput);
        TQ_logSetOutput(s_log, journalOutput);
    }
    const boost::filesystem::path &root = getRootPath();
    configureLogging(root);
    writeBanner();

    if (!acquireLock(root.string())) {
        TQ_log(s_log, TQ_LOG_FATAL, "Another Tessarc Server is already running from %s... exiting\n",
               root.string().c_str());
        notifyServiceManager("STATUS=Another Tessarc Server is already running from " + root.string() + "\n");
        return 1;
    }

    if (initMallocAllocator(&s_allocator) != 1) {
        TQ_log(s_log, TQ_LOG_FATAL, "Could not create the memory allocator... exiting\n");
        TQ_exitProcess(1);
    }
    s_allocator.allocationFailure = onAllocationFailure;
    TQ_log(s_log, TQ_LOG_INFO, "Open descriptors: up to %llu\n", raiseDescriptorLimit());
    TQ_Server_init(&s_allocator);
    TQ_Server_setInstallRoot(root.string().c_str());
    startSignalThread(onStopSignal);

    findProtocols(root, g_protocols);
    for (const std::unique_ptr<Protocol> &protocol : g_protocols)
        TQ_Server_addProtocol(protocol->protocol);
    TQ_Server_addService(getArgsService(argc, argv));
    findServices(root, g_services);
    for (const std::unique_ptr<Service> &service : g_services)
        TQ_Server_addService(service->service);

    readConfig(root);

    TQ_Server_setPostinitCallback(postinit);
    TQ_Server_setPredestroyCallback(predestroy);
    TQ_Server_setPostdestroyCallback(postdestroy);
    {
        std::lock_guard<std::mutex> lock(s_stopGate);
        s_phase = StartPhase::starting;
    }
    TQ_Server_run();
    return 0;
}

} /* namespace */

int main(int argc, char **argv)
{
    /* Console and service mode share the sequence; a refused start, like
     * every other end, leaves through the one process-end function. */
    TessarcServerMain(argc, argv);
    TQ_exitProcess(0);
}
