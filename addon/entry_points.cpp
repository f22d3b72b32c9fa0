// The add-on's entry points, as the library calls them. Each may be called from several
// threads at once: spans from any thread of the application, exports from the contexts'
// worker threads.
#include <cstring>
#include <memory>

#include "addon/metrics.h"
#include "addon/traces.h"
#include "qel.h"

#define ADDON_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using qel::addon::MetricsExporter;
using qel::addon::TraceLog;

// One state of each kind for the process: a later context's init points it at that context,
// as the library's process-wide handles would anyway. Built on first use and never destroyed,
// so that a worker still exporting while the process exits finds it whole.
template <typename T>
T &process_wide() {
    alignas(T) static unsigned char storage[sizeof(T)];
    static T *object = std::construct_at(reinterpret_cast<T *>(storage));
    return *object;
}

MetricsExporter &metrics() {
    return process_wide<MetricsExporter>();
}
TraceLog &traces() {
    return process_wide<TraceLog>();
}

size_t copy_out(const std::string &text, char *buffer, size_t size) {
    if (buffer != nullptr && size > 0) {
        const size_t n = text.size() < size - 1 ? text.size() : size - 1;
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
    }
    return text.size();
}

// Spans still waiting for an export when the process ends are written then.
__attribute__((destructor)) void flush_traces_at_exit() {
    traces().export_now();
}

}  // namespace

// 1. Writes the metrics file of the context behind `handle`.
ADDON_EXPORT int qel_telemetry_export_metrics(void *handle) {
    if (handle != &metrics()) return -1;
    return metrics().export_now() ? 0 : -1;
}

// 2. Points the metrics state at `ctx`; the two section renderers come back from the library.
ADDON_EXPORT int qel_telemetry_init_metrics(qel_metrics_trace_t *ctx, void *adapter_data_fetch,
                                            void *stream_data_fetch, void **handle) {
    if (ctx == nullptr || handle == nullptr || adapter_data_fetch == nullptr ||
        stream_data_fetch == nullptr) {
        return -1;
    }
    metrics().init(ctx, reinterpret_cast<qel::addon::SectionFetch>(adapter_data_fetch),
                   reinterpret_cast<qel::addon::SectionFetch>(stream_data_fetch));
    // Release: a thread that reads the handle through the library sees the state behind it.
    __atomic_store_n(handle, static_cast<void *>(&metrics()), __ATOMIC_RELEASE);
    return 0;
}

// 3. Reads where the traces go.
ADDON_EXPORT int qel_telemetry_init_trace(qel_metrics_trace_t *ctx, void **handle) {
    if (ctx == nullptr || handle == nullptr) return -1;
    traces().init();
    __atomic_store_n(handle, static_cast<void *>(&traces()), __ATOMIC_RELEASE);
    return 0;
}

// 4. Appends the spans ended since the last export.
ADDON_EXPORT int qel_telemetry_export_traces(void *handle) {
    if (handle != &traces()) return -1;
    return traces().export_now() ? 0 : -1;
}

// 5.
ADDON_EXPORT int qel_telemetry_start_trace_span(void *trace, const char *name, void **span) {
    if (trace != &traces() || span == nullptr) return -1;
    *span = traces().start(name);
    return *span != nullptr ? 0 : -1;
}

// 6.
ADDON_EXPORT int qel_telemetry_end_trace_span(void *trace, void *span) {
    if (trace != &traces()) return -1;
    return traces().end(span) ? 0 : -1;
}

// 7.
ADDON_EXPORT int qel_telemetry_trace_span_add_event(void *span, const char *name, const char *key,
                                                    const char *value) {
    return traces().add_event(span, name, key, value) ? 0 : -1;
}

// 8. The adapters' section of the metrics text of `ctx`, written as snprintf does.
ADDON_EXPORT size_t qel_adapter_data_fetch(const qel_metrics_trace_t *ctx, char *buffer,
                                           size_t size) {
    return copy_out(ctx != nullptr ? qel::addon::adapter_metrics(*ctx) : std::string(), buffer,
                    size);
}

// 9. The streams' section, read through the registered statistics reader.
ADDON_EXPORT size_t qel_stream_data_fetch(const qel_metrics_trace_t *ctx, char *buffer,
                                          size_t size) {
    return copy_out(ctx != nullptr ? qel::addon::stream_metrics(*ctx, qel::addon::stats_reader())
                                   : std::string(),
                    buffer, size);
}

// 10. Non-zero: the reader is taken.
ADDON_EXPORT int qel_telemetry_register_get_stats(qel_get_stats_fn get_stats) {
    if (get_stats == nullptr) return 0;
    qel::addon::set_stats_reader(get_stats);
    return 1;
}
