// The process-wide metrics and trace handles: filled by the add-on's init calls, read by the
// workers' exports and by the trace spans.
#include "telemetry/handles.h"

#include "telemetry/addon.h"

namespace qel::telemetry {

namespace {

// The context whose init last filled each handle; guarded by export_mutex().
qel_metrics_trace_t *metrics_owner = nullptr;
qel_metrics_trace_t *trace_owner = nullptr;

}  // namespace

int init_addon_for(qel_metrics_trace_t *ctx) {
    const bool metrics = ctx->is_metrics != 0;
    void *&handle = metrics ? qel_metrics_handle : qel_trace_handle;
    qel_metrics_trace_t *&owner = metrics ? metrics_owner : trace_owner;

    std::lock_guard guard(export_mutex());
    // The add-on fills a copy; it is published whole once init returns, so that spans on
    // other threads never read a handle being written.
    void *const before = load_handle(handle);
    void *filled = before;
    const int rc = metrics ? addon.init_metrics(ctx, addon.adapter_data_fetch,
                                                addon.stream_data_fetch, &filled)
                           : addon.init_trace(ctx, &filled);
    store_handle(handle, filled);
    // A successful init serves this context; a failed one does only if it changed the handle.
    if (rc == 0 || filled != before) owner = ctx;
    return rc;
}

void forget_handle_owner(qel_metrics_trace_t *ctx) {
    std::lock_guard guard(export_mutex());
    if (metrics_owner == ctx) {
        store_handle(qel_metrics_handle, nullptr);
        metrics_owner = nullptr;
    }
    if (trace_owner == ctx) {
        store_handle(qel_trace_handle, nullptr);
        trace_owner = nullptr;
    }
}

}  // namespace qel::telemetry
