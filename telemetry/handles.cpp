// The process-wide metrics and trace handles: filled by the add-on's init calls, read by the
// workers' exports and by the trace spans.
#include "telemetry/handles.h"

#include <algorithm>
#include <new>
#include <vector>

#include "telemetry/addon.h"

namespace qel::telemetry {

namespace {

// The live contexts of one kind that an init served, oldest first: the last one owns the
// kind's handle. Guarded by export_mutex().
std::vector<qel_metrics_trace_t *> metrics_owners;
std::vector<qel_metrics_trace_t *> trace_owners;

std::vector<qel_metrics_trace_t *> &owners_of(const qel_metrics_trace_t *ctx) {
    return ctx->is_metrics != 0 ? metrics_owners : trace_owners;
}

void *&handle_of(const qel_metrics_trace_t *ctx) {
    return ctx->is_metrics != 0 ? qel_metrics_handle : qel_trace_handle;
}

// Runs the add-on's init for `ctx`, handing it the kind's current handle to fill, and
// publishes the handle it leaves. The add-on fills a copy: it is published whole once init
// returns, so that spans on other threads never read a handle being written. True when the
// init served the context: it succeeded, or it changed the handle although it failed.
// Called with export_mutex() held.
bool init_and_publish(qel_metrics_trace_t *ctx, int &rc) {
    void *&handle = handle_of(ctx);
    void *const before = load_handle(handle);
    void *filled = before;
    rc = ctx->is_metrics != 0
             ? addon.init_metrics(ctx, addon.adapter_data_fetch, addon.stream_data_fetch, &filled)
             : addon.init_trace(ctx, &filled);
    store_handle(handle, filled);
    return rc == 0 || filled != before;
}

}  // namespace

int init_addon_for(qel_metrics_trace_t *ctx) {
    std::lock_guard guard(export_mutex());
    std::vector<qel_metrics_trace_t *> &owners = owners_of(ctx);
    // Room first: a context the add-on serves is always on the list.
    try {
        owners.reserve(owners.size() + 1);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    int rc = 0;
    if (init_and_publish(ctx, rc)) owners.push_back(ctx);
    return rc;
}

void forget_handle_owner(qel_metrics_trace_t *ctx) {
    std::lock_guard guard(export_mutex());
    std::vector<qel_metrics_trace_t *> &owners = owners_of(ctx);
    const auto at = std::find(owners.begin(), owners.end(), ctx);
    if (at == owners.end()) return;
    const bool owned_handle = at + 1 == owners.end();
    owners.erase(at);
    if (!owned_handle) return;
    // The handle may lead the add-on back to the record being released. The newest context
    // still open takes it over: the add-on's init runs for it again (an add-on keeps what init
    // gave it), so that its worker keeps exporting and spans keep reaching the add-on. With
    // none left the handle is withdrawn: spans and exports of the kind stop until the next
    // create.
    while (!owners.empty()) {
        int rc = 0;
        if (init_and_publish(owners.back(), rc)) return;
        owners.pop_back();
    }
    store_handle(handle_of(ctx), nullptr);
}

}  // namespace qel::telemetry
