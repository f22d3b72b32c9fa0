// Enabling and disabling a context: the flag its worker exports under, and the hand-shake
// with a worker that runs.
#include "core/log.h"
#include "telemetry/context.h"

namespace qel::telemetry {

namespace {

void trace_flags(const char *tag, const char *when, const qel_metrics_trace_t *ctx) {
    QEL_DEBUG_TAGGED(tag, "%s:started %d enab %d active %d", when, ctx->thread_started,
                     load_flag(ctx->enab, std::memory_order_relaxed),
                     load_flag(ctx->active, std::memory_order_relaxed));
}

}  // namespace

int qel_enable_metrics_trace(qel_metrics_trace_t *ctx) {
    constexpr const char *kTag = "qel_enable_metrics_trace";
    if (ctx == nullptr) return -1;
    trace_flags(kTag, "ENTER", ctx);
    if (load_flag(ctx->enab, std::memory_order_relaxed) == 1) {
        QEL_DEBUG_TAGGED(kTag, "trace is already enabled");
        return 0;
    }
    // Release pairs with the worker's acquire-load of enab at the top of its pass.
    store_flag(ctx->enab, 1);
    int rc = 0;
    if (ctx->thread_started != 0) {
        signal_wake_event(ctx->wake_event);
        rc = qel_wait_for_value(ctx->timeout_s, &ctx->active, 1);
        if (rc != 0) QEL_DEBUG_TAGGED(kTag, "Timed out waiting for active to go to 1");
    }
    trace_flags(kTag, "EXIT", ctx);
    return rc;
}

int qel_disable_metrics_trace(qel_metrics_trace_t *ctx) {
    constexpr const char *kTag = "qel_disable_metrics_trace";
    if (ctx == nullptr) {
        QEL_VERBOSE_TAGGED(kTag, "ERROR-qel_metrics_trace_t==NULL");
        return -1;
    }
    trace_flags(kTag, "ENTER", ctx);
    if (load_flag(ctx->enab, std::memory_order_relaxed) != 0) {
        store_flag(ctx->enab, 0);  // release: pairs with the worker's acquire-load of enab
    } else {
        QEL_DEBUG_TAGGED(kTag, "already disabled");
    }
    // Without a worker active is already 0. Nothing is undone when the wait runs out: the
    // worker parks at its next pass.
    const int rc = qel_wait_for_value(ctx->timeout_s, &ctx->active, 0);
    if (rc != 0) QEL_DEBUG_TAGGED(kTag, "Timed out waiting for active to go to 0");
    trace_flags(kTag, "EXIT", ctx);
    return rc;
}

}  // namespace qel::telemetry
