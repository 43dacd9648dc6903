/* The metrics registry and its Prometheus text exposition, the figures of
 * the process, and the core's own metrics.
 *
 * One lock guards the registry: registering, finding or removing a cell,
 * unregistering, and building the exposition (collect functions run under
 * it). Counting never takes it: a cell's address is handed out once and
 * stays fixed until its series or metric is removed. */
#include <tessarc/metrics.h>

#include <dirent.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "core.h"

namespace {

/* A string in a type of this file: containers of it stay inside the library
 * (a std::vector<std::string> would be exported with its instances). */
struct Text {
    std::string s;
};
using Texts = std::vector<Text>;

struct Series {
    TQ_MetricCell cell{0};
    Texts values;
    std::string rendered; /* {a="x",b="y"}, or empty without labels */
};

} /* namespace */

struct TQ_Metric {
    std::string name, help;
    TQ_MetricType type;
    Texts labels;
    TQ_MetricCollectFn collect = nullptr;
    void *context = nullptr;
    std::list<Series> series; /* stored metrics; nodes never move */
};

struct TQ_MetricWriter {
    const TQ_Metric *metric;
    std::string *out;
};

namespace {

std::mutex s_lock;
std::map<std::string, std::unique_ptr<TQ_Metric>> s_metrics; /* by name, so the exposition is sorted */

bool validName(const char *name, size_t length)
{
    if (length == 0 || length > TQ_METRIC_NAME_MAX)
        return false;
    for (size_t i = 0; i < length; i++) {
        char c = name[i];
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
        if (!letter && (i == 0 || c < '0' || c > '9'))
            return false;
    }
    return true;
}

/* Splits "a,b" into names; false for an invalid or repeated name or too many. */
bool parseLabels(const char *labels, Texts &out)
{
    if (!labels || !*labels)
        return true;
    for (const char *at = labels;;) {
        const char *comma = strchr(at, ',');
        size_t length = comma ? (size_t)(comma - at) : strlen(at);
        if (!validName(at, length) || out.size() == TQ_METRIC_LABELS_MAX)
            return false;
        out.push_back(Text{std::string(at, length)});
        for (size_t i = 0; i + 1 < out.size(); i++)
            if (out[i].s == out.back().s)
                return false;
        if (!comma)
            return true;
        at = comma + 1;
    }
}

/* Appends `text` with backslash, newline and (in label values) the double
 * quote escaped, as the exposition format requires. */
void appendEscaped(std::string &out, const char *text, bool quote)
{
    for (; *text; text++) {
        if (*text == '\\')
            out += "\\\\";
        else if (*text == '\n')
            out += "\\n";
        else if (quote && *text == '"')
            out += "\\\"";
        else
            out += *text;
    }
}

void renderLabels(std::string &out, const Texts &names, const char *const *values)
{
    if (names.empty())
        return;
    out += '{';
    for (size_t i = 0; i < names.size(); i++) {
        out += i ? "," : "";
        out += names[i].s;
        out += "=\"";
        appendEscaped(out, values[i] ? values[i] : "", true);
        out += '"';
    }
    out += '}';
}

void appendDouble(std::string &out, double value)
{
    if (isnan(value)) {
        out += "NaN";
    } else if (isinf(value)) {
        out += value > 0 ? "+Inf" : "-Inf";
    } else {
        char text[32];
        snprintf(text, sizeof text, "%.15g", value);
        out += text;
    }
}

TQ_Metric *registerMetric(const char *name, const char *help, TQ_MetricType type, const char *labels,
                          TQ_MetricCollectFn collect, void *context)
{
    Texts names;
    if (!name || !validName(name, strlen(name)) || !parseLabels(labels, names) ||
        (type != TQ_METRIC_COUNTER && type != TQ_METRIC_GAUGE)) {
        TQ_setLastError(TQ_ERR_INVALID_HANDLE);
        return nullptr;
    }
    try {
        std::unique_ptr<TQ_Metric> metric(new TQ_Metric);
        metric->name = name;
        metric->help = help ? help : "";
        metric->type = type;
        metric->labels.swap(names);
        metric->collect = collect;
        metric->context = context;
        std::lock_guard<std::mutex> guard(s_lock);
        std::unique_ptr<TQ_Metric> &slot = s_metrics[metric->name];
        if (slot) {
            TQ_setLastError(TQ_ERR_NOT_PERMITTED);
            return nullptr;
        }
        slot = std::move(metric);
        return slot.get();
    } catch (const std::bad_alloc &) {
        TQ_setLastError(TQ_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
}

/* The whole exposition. Caller holds the registry lock. */
void expose(std::string &out)
{
    for (const auto &entry : s_metrics) {
        const TQ_Metric &metric = *entry.second;
        out += "# HELP ";
        out += metric.name;
        out += ' ';
        appendEscaped(out, metric.help.c_str(), false);
        out += "\n# TYPE ";
        out += metric.name;
        out += metric.type == TQ_METRIC_COUNTER ? " counter\n" : " gauge\n";
        if (metric.collect) {
            TQ_MetricWriter writer{&metric, &out};
            metric.collect(metric.context, &writer);
            continue;
        }
        for (const Series &series : metric.series) {
            char value[24];
            snprintf(value, sizeof value, " %lld\n", (long long)TQ_metricGet(&series.cell));
            out += metric.name;
            out += series.rendered;
            out += value;
        }
    }
}

} /* namespace */

TQ_Metric *TQ_metricRegister(const char *name, const char *help, TQ_MetricType type, const char *labels)
{
    return registerMetric(name, help, type, labels, nullptr, nullptr);
}

TQ_Metric *TQ_metricRegisterCollector(const char *name, const char *help, TQ_MetricType type, const char *labels,
                                      TQ_MetricCollectFn collect, void *context)
{
    if (!collect) {
        TQ_setLastError(TQ_ERR_INVALID_HANDLE);
        return nullptr;
    }
    return registerMetric(name, help, type, labels, collect, context);
}

TQ_MetricCell *TQ_metricCell(TQ_Metric *metric, const char *const *values)
{
    if (!metric || metric->collect || (!values && !metric->labels.empty())) {
        TQ_setLastError(TQ_ERR_INVALID_HANDLE);
        return nullptr;
    }
    try {
        std::lock_guard<std::mutex> guard(s_lock);
        for (Series &series : metric->series) {
            size_t i = 0;
            while (i < series.values.size() && series.values[i].s == (values[i] ? values[i] : ""))
                i++;
            if (i == series.values.size())
                return &series.cell;
        }
        Series made;
        for (size_t i = 0; i < metric->labels.size(); i++)
            made.values.push_back(Text{values[i] ? values[i] : ""});
        renderLabels(made.rendered, metric->labels, values);
        metric->series.push_back(std::move(made));
        return &metric->series.back().cell;
    } catch (const std::bad_alloc &) {
        TQ_setLastError(TQ_ERR_OUT_OF_MEMORY);
        return nullptr;
    }
}

void TQ_metricRemoveCell(TQ_Metric *metric, TQ_MetricCell *cell)
{
    if (!metric || !cell)
        return;
    std::lock_guard<std::mutex> guard(s_lock);
    metric->series.remove_if([cell](const Series &series) { return &series.cell == cell; });
}

void TQ_metricUnregister(TQ_Metric *metric)
{
    if (!metric)
        return;
    std::unique_ptr<TQ_Metric> gone;
    std::lock_guard<std::mutex> guard(s_lock);
    auto it = s_metrics.find(metric->name);
    if (it != s_metrics.end() && it->second.get() == metric) {
        gone = std::move(it->second);
        s_metrics.erase(it);
    }
}

void TQ_metricWriteSample(TQ_MetricWriter *writer, const char *const *values, double value)
{
    if (!writer || (!values && !writer->metric->labels.empty()))
        return;
    std::string &out = *writer->out;
    out += writer->metric->name;
    renderLabels(out, writer->metric->labels, values);
    out += ' ';
    appendDouble(out, value);
    out += '\n';
}

size_t TQ_metricsWriteTo(TQ_MetricOutputFn output, void *context)
{
    std::string text;
    try {
        std::lock_guard<std::mutex> guard(s_lock);
        expose(text);
    } catch (const std::bad_alloc &) {
        TQ_setLastError(TQ_ERR_OUT_OF_MEMORY);
        text.clear();
        text.shrink_to_fit();
    }
    if (output && !text.empty())
        output(context, text.data(), text.size());
    return text.size();
}

size_t TQ_metricsWrite(char *buffer, size_t size)
{
    struct Target {
        char *buffer;
        size_t size;
    } target{buffer, size};
    size_t length = TQ_metricsWriteTo(
        [](void *context, const char *data, size_t count) {
            Target *t = static_cast<Target *>(context);
            if (t->size == 0)
                return;
            size_t copied = count < t->size - 1 ? count : t->size - 1;
            memcpy(t->buffer, data, copied);
            t->buffer[copied] = '\0';
        },
        &target);
    if (length == 0 && size > 0)
        buffer[0] = '\0';
    return length;
}

/* ---- The process's figures ---------------------------------------------- */

namespace {

const auto s_loadedAt = std::chrono::steady_clock::now();

/* Field `index` (1-based) of /proc/self/stat, past the command name. */
double procStatField(int index)
{
    char text[1024];
    FILE *file = fopen("/proc/self/stat", "r");
    size_t got = file ? fread(text, 1, sizeof text - 1, file) : 0;
    if (file)
        fclose(file);
    text[got] = '\0';
    const char *at = strrchr(text, ')'); /* the name may hold spaces */
    if (!at)
        return NAN;
    for (int field = 2; field < index; field++) {
        at = strchr(at + 1, ' ');
        if (!at)
            return NAN;
    }
    return strtod(at + 1, nullptr);
}

void collectResident(void *, TQ_MetricWriter *writer)
{
    TQ_metricWriteSample(writer, nullptr, procStatField(24) * (double)sysconf(_SC_PAGESIZE));
}

void collectThreads(void *, TQ_MetricWriter *writer)
{
    TQ_metricWriteSample(writer, nullptr, procStatField(20));
}

void collectDescriptors(void *, TQ_MetricWriter *writer)
{
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return;
    int count = 0;
    while (const dirent *entry = readdir(dir))
        count += entry->d_name[0] != '.';
    closedir(dir);
    TQ_metricWriteSample(writer, nullptr, count - 1); /* less the one reading the directory */
}

void collectUptime(void *, TQ_MetricWriter *writer)
{
    std::chrono::duration<double> up = std::chrono::steady_clock::now() - s_loadedAt;
    TQ_metricWriteSample(writer, nullptr, up.count());
}

/* Registered when the library is loaded, after the registry above exists. */
const bool s_processRegistered =
    TQ_metricRegisterCollector("process_resident_memory_bytes", "Resident memory of the process.", TQ_METRIC_GAUGE,
                               nullptr, collectResident, nullptr) &&
    TQ_metricRegisterCollector("process_threads", "Threads of the process.", TQ_METRIC_GAUGE, nullptr, collectThreads,
                               nullptr) &&
    TQ_metricRegisterCollector("process_open_fds", "Open file descriptors of the process.", TQ_METRIC_GAUGE, nullptr,
                               collectDescriptors, nullptr) &&
    TQ_metricRegisterCollector("process_uptime_seconds", "Seconds since the process loaded the server library.",
                               TQ_METRIC_GAUGE, nullptr, collectUptime, nullptr);

} /* namespace */

/* ---- The core's metrics --------------------------------------------------- */

using namespace Tessarc::Core;

CoreCounters Tessarc::Core::g_coreCounters;

namespace {

TQ_Metric *s_coreMetrics[8];

void collectReceived(void *, TQ_MetricWriter *writer)
{
    for (int type = 0; type < 256; type++) {
        uint64_t count = g_coreCounters.received[type].load(std::memory_order_relaxed);
        char label[4];
        snprintf(label, sizeof label, "%d", type);
        const char *values[] = {label};
        if (count)
            TQ_metricWriteSample(writer, values, (double)count);
    }
}

void collectCounter(void *counter, TQ_MetricWriter *writer)
{
    TQ_metricWriteSample(writer, nullptr,
                         (double)static_cast<std::atomic<uint64_t> *>(counter)->load(std::memory_order_relaxed));
}

void collectNodes(void *, TQ_MetricWriter *writer)
{
    TQ_mutexLock(g_comm.stateLock);
    uint32_t clients = TQ_hashSetSize(&g_comm.clients), servers = TQ_hashSetSize(&g_comm.servers);
    TQ_mutexUnlock(g_comm.stateLock);
    const char *client[] = {"client"}, *server[] = {"server"};
    TQ_metricWriteSample(writer, client, clients);
    TQ_metricWriteSample(writer, server, servers);
}

void collectRecords(void *bytes, TQ_MetricWriter *writer)
{
    uint64_t records = 0, memory = 0;
    broadcastRecordUsage(&records, &memory);
    TQ_metricWriteSample(writer, nullptr, (double)(bytes ? memory : records));
}

} /* namespace */

void Tessarc::Core::registerCoreMetrics()
{
    CoreCounters &c = g_coreCounters;
    s_coreMetrics[0] = TQ_metricRegisterCollector("tessarc_nodes", "Nodes linked to this server, by kind.",
                                                  TQ_METRIC_GAUGE, "kind", collectNodes, nullptr);
    s_coreMetrics[1] =
        TQ_metricRegisterCollector("tessarc_datasets_received_total", "Datasets received from protocols, by type.",
                                   TQ_METRIC_COUNTER, "type", collectReceived, nullptr);
    s_coreMetrics[2] = TQ_metricRegisterCollector("tessarc_datasets_unowned_total",
                                                  "Service datasets dropped because no service owns their type.",
                                                  TQ_METRIC_COUNTER, nullptr, collectCounter, &c.noService);
    s_coreMetrics[3] =
        TQ_metricRegisterCollector("tessarc_broadcasts_first_total", "Broadcasts received for the first time.",
                                   TQ_METRIC_COUNTER, nullptr, collectCounter, &c.broadcastsFirst);
    s_coreMetrics[4] =
        TQ_metricRegisterCollector("tessarc_broadcasts_repeated_total", "Broadcasts received again over another path.",
                                   TQ_METRIC_COUNTER, nullptr, collectCounter, &c.broadcastsRepeated);
    s_coreMetrics[5] = TQ_metricRegisterCollector("tessarc_broadcast_records_forgotten_total",
                                                  "Broadcast records forgotten early to keep the table in bounds.",
                                                  TQ_METRIC_COUNTER, nullptr, collectCounter, &c.recordsForgotten);
    s_coreMetrics[6] = TQ_metricRegisterCollector("tessarc_broadcast_records", "Broadcast records held.",
                                                  TQ_METRIC_GAUGE, nullptr, collectRecords, nullptr);
    static int s_memory; /* any non-null context selects the memory figure */
    s_coreMetrics[7] =
        TQ_metricRegisterCollector("tessarc_broadcast_records_bytes", "Memory held by broadcast records.",
                                   TQ_METRIC_GAUGE, nullptr, collectRecords, &s_memory);
}

void Tessarc::Core::unregisterCoreMetrics()
{
    for (TQ_Metric *&metric : s_coreMetrics) {
        TQ_metricUnregister(metric);
        metric = nullptr;
    }
}
