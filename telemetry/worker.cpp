// The telemetry worker: one thread per started context, exporting through the add-on about
// every five seconds, parked while the context is disabled, taking stream-list updates and
// its stop command between exports.
#include <time.h>

#include <cstdlib>

#include "core/log.h"
#include "telemetry/addon.h"
#include "telemetry/context.h"

namespace qel::telemetry {

std::atomic<uint32_t> worker_rest_ms{kWorkerRestMs};

namespace {

constexpr const char *kTag = "worker";
constexpr double kLoopWarningShare = 0.75;

void rest(uint32_t ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0) {
    }
}

// One export through the kind's current handle. A kind whose handle was withdrawn (its
// context released) exports nothing.
void export_once(const qel_metrics_trace_t *ctx) {
    std::lock_guard guard(export_mutex());
    if (ctx->is_metrics != 0) {
        if (void *handle = load_handle(qel_metrics_handle)) addon.export_metrics(handle);
    } else {
        if (void *handle = load_handle(qel_trace_handle)) addon.export_traces(handle);
    }
}

double elapsed_us(const hux_timeval &t0, const hux_timeval &t1) {
    int32_t seconds = t1.tv_sec - t0.tv_sec;
    int32_t micros = t1.tv_usec - t0.tv_usec;
    if (micros < 0) {
        seconds -= 1;
        micros += 1000000;
    }
    return static_cast<double>(seconds) * 1000000.0 + micros;
}

}  // namespace

int process_worker_cmd(uint32_t cmd, qel_metrics_trace_t *ctx) {
    constexpr const char *kCmdTag = "process_worker_cmd";
    QEL_DEBUG_TAGGED(kCmdTag, "cmd %d", cmd);
    // A list handed over is adopted whatever the command that now stands beside it: a stop
    // that overtook an update must not drop the update's list (nor leak it).
    if (ctx->pending_list != nullptr) {
        QEL_DEBUG_TAGGED(kCmdTag, "Start:numStreams %d",
                         load_flag(ctx->num_streams, std::memory_order_relaxed));
        adopt_stream_list(ctx, ctx->pending_list);
        QEL_DEBUG_TAGGED(kCmdTag, "Finish:numStreams %d",
                         load_flag(ctx->num_streams, std::memory_order_relaxed));
    }
    const int result = cmd == QEL_WORKER_CMD_STOP ? -1 : 0;
    ctx->pending_list = nullptr;
    // Release pairs with the acquire in the caller's wait for NONE: a caller that sees the
    // command taken also sees the adopted list and its count.
    store_flag(ctx->thread_cmd, QEL_WORKER_CMD_NONE);
    return result;
}

// Returning ends the thread (its exit code is 0); a stop leaves no command and no list pending
// behind it.
void *worker(void *arg) {
    auto *ctx = static_cast<qel_metrics_trace_t *>(arg);
    QEL_DEBUG_TAGGED(kTag, " ");
    for (;;) {
        hux_timeval t0{};
        qel_telemetry_now(&t0);
        // Acquire pairs with the release-stores of enab in enable and disable.
        uint32_t enab = load_flag(ctx->enab);
        QEL_DEBUG_TAGGED(kTag, "(line:%d) enab %d active %d", 366, enab,
                         load_flag(ctx->active, std::memory_order_relaxed));
        if (enab == 0 || load_flag(ctx->active, std::memory_order_relaxed) == 0) {
            QEL_DEBUG_TAGGED(kTag, "(line:%d) enab %d", 368, enab);
            if (enab == 0) {
                {
                    // Under the lock a caller's hand-over either came before (and is taken
                    // below, before parking) or sees active 0 and adopts or signals itself.
                    RecordLock lock(ctx);
                    store_flag(ctx->active, 0);
                }
                QEL_DEBUG_TAGGED(kTag, "(line:%d) enab %d", 375, 0);
                while (load_flag(ctx->enab) == 0) {
                    {
                        RecordLock lock(ctx);
                        // Never park with a command pending: nothing would wake the worker
                        // for it, and a stop would wait for ever.
                        if (load_flag(ctx->thread_cmd, std::memory_order_relaxed) !=
                            QEL_WORKER_CMD_NONE) {
                            const int rc = process_worker_cmd(
                                load_flag(ctx->thread_cmd, std::memory_order_relaxed), ctx);
                            QEL_DEBUG_TAGGED(kTag, "(line:%d) rc %d", 385, rc);
                            if (rc != 0) return nullptr;  // stopped
                        }
                        store_flag(ctx->in_wait_state, 1);
                    }
                    wait_wake_event(ctx->wake_event);
                    RecordLock lock(ctx);
                    store_flag(ctx->in_wait_state, 0);
                    const int rc = process_worker_cmd(
                        load_flag(ctx->thread_cmd, std::memory_order_relaxed), ctx);
                    QEL_DEBUG_TAGGED(kTag, "(line:%d) rc %d", 385, rc);
                    if (rc != 0) return nullptr;  // stopped
                }
                QEL_DEBUG_TAGGED(kTag, "(line:%d) enab %d", 391,
                                 load_flag(ctx->enab, std::memory_order_relaxed));
            }
            RecordLock lock(ctx);
            store_flag(ctx->active, 1);  // release: pairs with the waits for active == 1
        }
        {
            // The command and the export share one hold of the lock: once a caller has handed
            // over a new list, no export reads the old one again.
            RecordLock lock(ctx);
            const uint32_t cmd = load_flag(ctx->thread_cmd, std::memory_order_relaxed);
            QEL_DEBUG_TAGGED(kTag, "(line:%d) thread_cmd %d", 395, cmd);
            if (cmd != QEL_WORKER_CMD_NONE) {
                const int rc = process_worker_cmd(cmd, ctx);
                QEL_DEBUG_TAGGED(kTag, "(line:%d) rc %d", 400, rc);
                if (rc != 0) {
                    store_flag(ctx->active, 0);
                    return nullptr;  // stopped
                }
            }
            export_once(ctx);
        }
        hux_timeval t1{};
        qel_telemetry_now(&t1);
        if (elapsed_us(t0, t1) > ctx->timeout_s * kLoopWarningShare * 1000000.0 &&
            core::verbose()) {
            core::log_notice("WARNING: Loop time is greater than 75 percent of maximum");
        }
        rest(worker_rest_ms.load(std::memory_order_relaxed));
    }
}

}  // namespace qel::telemetry
