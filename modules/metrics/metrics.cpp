/* metrics.service: serves the exposition of the server's metrics registry
 * (tessarc/metrics.h) in the Prometheus text format at /metrics, over HTTP
 * with libmicrohttpd on a polling thread of its own. Every other path is
 * 404. Address and port come from Config/metrics.cfg under the install
 * root; loopback by default, port 0 takes any free port and the log names
 * it. A port that cannot be had makes the service refuse to start: the
 * server runs on without it.
 *
 * The service owns no dataset type and touches no dataset: a scrape costs
 * the rest of the server one pass of the registry lock. */
#include <tessarc/metrics.h>
#include <tessarc/module.h>

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <string>

namespace {

const char kPath[] = "/metrics";
const char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";
/* Scrapers are few; a bound keeps a flood of connections from taking the
 * process's descriptors. */
const unsigned kConnectionLimit = 16;
const unsigned kConnectionTimeoutS = 10;

struct Settings {
    std::string address = "127.0.0.1";
    int port = 9470;
};

Settings s_settings;
MHD_Daemon *s_daemon;
std::string s_mhdError; /* libmicrohttpd's last complaint while starting */

TQ_Logger *logger()
{
    return TQ_Server_getLog();
}

/* Reads metrics.cfg into s_settings; a missing file leaves the defaults.
 * False (logged) for a file that cannot be parsed or a bad value. */
bool readSettings()
{
    const char *dir = TQ_Server_getConfigDir();
    if (!dir)
        return true;
    std::string path = std::string(dir) + "/metrics.cfg";
    libconfig::Config config;
    try {
        config.readFile(path.c_str());
    } catch (const libconfig::FileIOException &) {
        return true;
    } catch (const libconfig::ParseException &e) {
        TQ_log(logger(), TQ_LOG_ERROR, "metrics: %s:%d: %s\n", e.getFile() ? e.getFile() : path.c_str(), e.getLine(),
               e.getError());
        return false;
    }
    const libconfig::Setting &root = config.getRoot();
    if ((root.exists("address") && !root.lookupValue("address", s_settings.address)) ||
        (root.exists("port") && !root.lookupValue("port", s_settings.port)) || s_settings.port < 0 ||
        s_settings.port > 65535) {
        TQ_log(logger(), TQ_LOG_ERROR, "metrics: %s: address must be a string, port a number from 0 to 65535\n",
               path.c_str());
        return false;
    }
    return true;
}

/* Keeps libmicrohttpd's own messages for the error line of a failed start
 * instead of letting it print to standard error. */
void mhdLog(void *, const char *format, va_list args)
{
    char text[256];
    vsnprintf(text, sizeof text, format, args);
    s_mhdError = text;
    while (!s_mhdError.empty() && (s_mhdError.back() == '\n' || s_mhdError.back() == '.'))
        s_mhdError.pop_back();
}

MHD_Result answer(MHD_Connection *connection, unsigned status, const std::string &body)
{
    MHD_Response *response =
        MHD_create_response_from_buffer(body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, kContentType);
    MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

/* One request, on the daemon's thread. A body sent with it is ignored. */
MHD_Result handleRequest(void *, MHD_Connection *connection, const char *url, const char *method, const char *,
                         const char *, size_t *uploadSize, void **)
{
    *uploadSize = 0;
    if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
        return answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET\n");
    if (strcmp(url, kPath) != 0)
        return answer(connection, MHD_HTTP_NOT_FOUND, "not found; the metrics are at /metrics\n");
    std::string text;
    TQ_metricsWriteTo(
        [](void *out, const char *data, size_t length) { static_cast<std::string *>(out)->append(data, length); },
        &text);
    return answer(connection, MHD_HTTP_OK, text);
}

void stopDaemon()
{
    if (s_daemon)
        MHD_stop_daemon(s_daemon);
    s_daemon = nullptr;
}

/* Starts serving; -1 (logged) refuses the service. */
int32_t preinit(TQ_Server_ServiceApi *)
{
    if (!readSettings())
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)s_settings.port);
    if (inet_pton(AF_INET, s_settings.address.c_str(), &address.sin_addr) != 1) {
        TQ_log(logger(), TQ_LOG_ERROR, "metrics: %s is not an IPv4 address; not serving metrics\n",
               s_settings.address.c_str());
        return -1;
    }
    s_mhdError = "no reason given";
    s_daemon = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_ERROR_LOG, 0, nullptr, nullptr, handleRequest,
                                nullptr, MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit,
                                MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutS, MHD_OPTION_EXTERNAL_LOGGER, mhdLog,
                                nullptr, MHD_OPTION_END);
    if (!s_daemon) {
        TQ_log(logger(), TQ_LOG_ERROR, "metrics: cannot serve on %s:%d (%s); not serving metrics\n",
               s_settings.address.c_str(), s_settings.port, s_mhdError.c_str());
        return -1;
    }
    const MHD_DaemonInfo *info = MHD_get_daemon_info(s_daemon, MHD_DAEMON_INFO_BIND_PORT);
    TQ_log(logger(), TQ_LOG_INFO, "metrics: serving http://%s:%u%s\n", s_settings.address.c_str(),
           info ? (unsigned)info->port : (unsigned)s_settings.port, kPath);
    return 1;
}

TQ_Server_Service s_service = {
    preinit, nullptr, nullptr, nullptr, nullptr, nullptr, stopDaemon, stopDaemon, "metrics", nullptr, 0, 0,
};

} /* namespace */

extern "C" TQ_Server_Service *getService(void)
{
    return &s_service;
}
