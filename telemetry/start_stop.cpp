// Starting and stopping a context's worker thread.
#include "core/log.h"
#include "telemetry/context.h"

namespace qel::telemetry {

namespace {

void trace_flags(const char *tag, const char *when, const qel_metrics_trace_t *ctx) {
    QEL_DEBUG_TAGGED(tag, "%s:started %d enab %d active %d", when, ctx->thread_started,
                     load_flag(ctx->enab, std::memory_order_relaxed),
                     load_flag(ctx->active, std::memory_order_relaxed));
}

// Bit i of the 64-bit mask selects processor i mod 32.
uint32_t fold_cpu_mask(uint64_t cpu_mask) {
    return static_cast<uint32_t>(cpu_mask) | static_cast<uint32_t>(cpu_mask >> 32);
}

}  // namespace

int qel_start_metrics_trace(qel_metrics_trace_t *ctx, uint64_t cpu_mask) {
    constexpr const char *kTag = "qel_start_metrics_trace";
    if (ctx == nullptr) {
        QEL_VERBOSE_TAGGED(kTag, "ERROR-qel_metrics_trace_t is NULL");
        return -1;
    }
    trace_flags(kTag, "ENTER", ctx);
    if (ctx->thread_started != 0) {
        QEL_DEBUG_TAGGED(kTag, "trace is already started");
        return 0;
    }
    const uint32_t mask = fold_cpu_mask(cpu_mask);
    int rc = hux_thread_create(&ctx->thread, worker, ctx);
    if (rc != 0) {
        QEL_VERBOSE_TAGGED(kTag, "ERROR-unable to start thread error code %d", rc);
    } else {
        // The thread exists from here on, whatever the wait below gives: stop must still be
        // able to end it and destroy must refuse to release the record under it.
        ctx->thread_started = 1;
        if (load_flag(ctx->enab, std::memory_order_relaxed) == 0) {
            // A disabled context's worker parks itself first.
            rc = qel_wait_for_value(ctx->timeout_s, &ctx->in_wait_state, 1);
            if (rc != 0) {
                QEL_DEBUG_TAGGED(kTag, "Timed out waiting for in_wait_state to go to 1");
                return rc;
            }
        }
        if (int r = hux_thread_set_affinity(&ctx->thread, mask); r != 0) {
            QEL_VERBOSE_TAGGED(kTag, "ERROR-unable to affinity %d", r);
        }
        rc = 0;
    }
    if (load_flag(ctx->enab, std::memory_order_relaxed) == 1) {
        rc = qel_wait_for_value(ctx->timeout_s, &ctx->active, 1);
    }
    trace_flags(kTag, "EXIT", ctx);
    return rc;
}

int qel_stop_metrics_trace(qel_metrics_trace_t *ctx) {
    constexpr const char *kTag = "qel_stop_metrics_trace";
    if (ctx == nullptr) return -1;
    trace_flags(kTag, "ENTER", ctx);
    int rc = 0;
    if (ctx->thread_started != 0) {
        rc = qel_update_worker(ctx, QEL_WORKER_CMD_STOP, nullptr, 0, ctx->timeout_s);
        if (rc == 0) {
            // No time limit: an exporting worker takes the stop at its next pass.
            hux_thread_join(&ctx->thread);
            ctx->thread_started = 0;
        }
    } else {
        QEL_DEBUG_TAGGED(kTag, "Thread is already stopped");
    }
    trace_flags(kTag, "EXIT", ctx);
    return rc;
}

}  // namespace qel::telemetry
