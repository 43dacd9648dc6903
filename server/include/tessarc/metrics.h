/* Tessarc metrics: counters and gauges that the core, the host and modules
 * publish, and the Prometheus text exposition of all of them.
 *
 * A metric is registered once by name with a help text, a type and the
 * names of its labels (none, or a comma-separated list). A stored metric has
 * one cell per combination of label values; the caller asks for a cell once
 * and keeps the pointer, so counting is a relaxed atomic add on it (the
 * inline TQ_metricAdd): no lock, no allocation, no call. A collected metric
 * has no cells: its function is called at every exposition and writes the
 * current samples (process figures, queue levels, tables held elsewhere).
 *
 * Registration, cell lookup, removal and exposition are serialised by one
 * registry lock. A module that registers metrics unregisters them before it
 * is unloaded; once TQ_metricUnregister has returned, its cells are gone and
 * its collect function is not running and will not be called again.
 *
 * Every function has C linkage and may be called from any thread; the
 * registry exists from the moment the library is loaded. */
#ifndef TESSARC_METRICS_H
#define TESSARC_METRICS_H

#include <stddef.h>
#include <stdint.h>

#include <tessarc/runtime.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum TQ_MetricType {
    TQ_METRIC_COUNTER = 0, /* only goes up; its name should end in _total */
    TQ_METRIC_GAUGE = 1    /* goes up and down */
} TQ_MetricType;

/* The longest metric or label name, in bytes. */
#define TQ_METRIC_NAME_MAX 128
/* The most labels a metric may have. */
#define TQ_METRIC_LABELS_MAX 8

/* One series of a stored metric. Touched only through the inline functions
 * below; its address stays fixed until the series is removed or the metric
 * unregistered. */
typedef struct TQ_MetricCell {
    int64_t value;
} TQ_MetricCell;

/* Adds `n` (negative for a gauge going down). Relaxed: a concurrent
 * exposition sees every add sooner or later, never a torn value. */
static inline void TQ_metricAdd(TQ_MetricCell *cell, int64_t n)
{
    __atomic_fetch_add(&cell->value, n, __ATOMIC_RELAXED);
}
/* Sets a gauge. */
static inline void TQ_metricSet(TQ_MetricCell *cell, int64_t value)
{
    __atomic_store_n(&cell->value, value, __ATOMIC_RELAXED);
}
static inline int64_t TQ_metricGet(const TQ_MetricCell *cell)
{
    return __atomic_load_n(&cell->value, __ATOMIC_RELAXED);
}

typedef struct TQ_Metric TQ_Metric;
typedef struct TQ_MetricWriter TQ_MetricWriter;

/* Writes the current samples of a collected metric with TQ_metricWriteSample.
 * Runs under the registry lock, on the thread that asked for the exposition:
 * it must not register, unregister or look up metrics, and should take no
 * lock that is held while one of those is called. */
typedef void (*TQ_MetricCollectFn)(void *context, TQ_MetricWriter *writer);

/* Registers a stored metric. `name` and each label name: a letter or
 * underscore, then letters, digits and underscores, at most
 * TQ_METRIC_NAME_MAX bytes; `labels` is null or "" for none, else names
 * joined by commas (at most TQ_METRIC_LABELS_MAX). `help` is one line of text
 * (may be null). Strings are copied. Returns the metric, or null with the
 * last error set: TQ_ERR_INVALID_HANDLE for a bad name or label list,
 * TQ_ERR_NOT_PERMITTED when the name is registered already,
 * TQ_ERR_OUT_OF_MEMORY. */
TQ_API TQ_Metric *TQ_metricRegister(const char *name, const char *help, TQ_MetricType type, const char *labels);

/* Registers a collected metric: like TQ_metricRegister, with `collect`
 * (not null) called with `context` at every exposition. */
TQ_API TQ_Metric *TQ_metricRegisterCollector(const char *name, const char *help, TQ_MetricType type, const char *labels,
                                             TQ_MetricCollectFn collect, void *context);

/* The cell of a stored metric for `values`, one string per label in
 * registration order (null for a metric without labels); made, at zero, the
 * first time and returned again for equal values later. Values are copied
 * and may hold any bytes but NUL. Null (last error TQ_ERR_INVALID_HANDLE) for
 * a null or collected metric, TQ_ERR_OUT_OF_MEMORY when no cell can be made.
 * Takes the registry lock: call once and keep the pointer. */
TQ_API TQ_MetricCell *TQ_metricCell(TQ_Metric *metric, const char *const *values);

/* Removes one cell of `metric` (a series whose subject went away, such as a
 * closed link); the pointer is invalid afterwards. Null or unknown cells are
 * ignored. */
TQ_API void TQ_metricRemoveCell(TQ_Metric *metric, TQ_MetricCell *cell);

/* Unregisters and frees a metric with its cells; waits for an exposition in
 * progress. Null is ignored. */
TQ_API void TQ_metricUnregister(TQ_Metric *metric);

/* From a collect function only: one sample with `values` (one string per
 * label, null for none). Samples of one metric should differ in their
 * values. */
TQ_API void TQ_metricWriteSample(TQ_MetricWriter *writer, const char *const *values, double value);

/* Receives the exposition text in pieces; not NUL-terminated. */
typedef void (*TQ_MetricOutputFn)(void *context, const char *data, size_t length);

/* Writes the exposition of every metric, the process figures of this
 * process first (resident memory, threads, open descriptors, start time),
 * then the registered metrics in name order: a HELP and a TYPE line per
 * metric, a line per series, label values escaped. The text is built under
 * the registry lock and handed to `output` after it is released. Returns
 * its length in bytes. */
TQ_API size_t TQ_metricsWriteTo(TQ_MetricOutputFn output, void *context);

/* The exposition into `buffer`, like snprintf: at most size - 1 bytes and a
 * NUL (nothing for size 0). Returns the length of the whole text; a result of
 * `size` or more means it was cut. */
TQ_API size_t TQ_metricsWrite(char *buffer, size_t size);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TESSARC_METRICS_H */
