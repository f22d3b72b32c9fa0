// The telemetry add-on as the rest of the library sees it: whether it is in use, the
// process-wide handles and the ten entry points resolved from it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "qel.h"

namespace qel::telemetry {

using ExportFn = int (*)(void *handle);
using InitMetricsFn = int (*)(qel_metrics_trace_t *ctx, void *adapter_data_fetch,
                              void *stream_data_fetch, void **metrics_handle);
using InitTraceFn = int (*)(qel_metrics_trace_t *ctx, void **trace_handle);
using StartSpanFn = int (*)(void *trace, const char *name, void **span);
using EndSpanFn = int (*)(void *trace, void *span);
using AddEventFn = int (*)(void *span, const char *name, const char *key, const char *value);
using RegisterGetStatsFn = int (*)(qel_get_stats_fn get_stats);

// The entry points in the order they are resolved; each null when the add-on lacks it or is
// not loaded. Written only by the loader inside qel_init, before other threads use them.
struct Addon {
    ExportFn export_metrics = nullptr;
    InitMetricsFn init_metrics = nullptr;
    InitTraceFn init_trace = nullptr;
    ExportFn export_traces = nullptr;
    StartSpanFn start_span = nullptr;
    EndSpanFn end_span = nullptr;
    AddEventFn add_event = nullptr;
    void *adapter_data_fetch = nullptr;  // never called: handed back to init_metrics
    void *stream_data_fetch = nullptr;   // the same
    RegisterGetStatsFn register_get_stats = nullptr;
};

// Set only by a fully successful load, never cleared.
extern uint32_t qel_telemetry_available;
extern Addon addon;

// The process-wide handles the add-on's init calls write: the newest open context's (see
// handles.h).
// Spans and workers read them from any thread, create and destroy write them: every access
// goes through these two helpers (acquire pairs with the release in store_handle, so a reader
// that sees a handle also sees what the add-on's init built behind it).
extern void *qel_metrics_handle;
extern void *qel_trace_handle;
inline void *load_handle(void *&handle) {
    return std::atomic_ref<void *>(handle).load(std::memory_order_acquire);
}
inline void store_handle(void *&handle, void *value) {
    std::atomic_ref<void *>(handle).store(value, std::memory_order_release);
}

// Held around every export call and around every change of a handle or of the context it
// belongs to, so that no export runs through a handle whose context is being released.
std::mutex &export_mutex();

// Loads the add-on: 0 when it is in use, 1 when it refused the statistics reader, -1 when it
// could not be loaded or lacks an entry point.
int qel_load_telemetry_addon();

// The statistics reader registered with the add-on: qel_get_stats without its refusal of
// streams whose metrics context is enabled.
int qel_telemetry_get_stats(qel_stream_t *stream, qel_stats_t *stats_out);

}  // namespace qel::telemetry
