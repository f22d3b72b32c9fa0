// A context's stream list: the copy that adds or removes one stream, and its hand-over to
// the worker, which alone swaps the list while it exports.
#include <cstdlib>

#include "core/log.h"
#include "stream/stream.h"
#include "telemetry/context.h"

namespace qel::telemetry {

namespace {

// The list the record will hold next: a list still waiting for the worker (beside an update
// or a stop that overtook it) already carries the earlier changes, so a new one builds on it
// rather than losing them.
qel_stream_t **next_list(const qel_metrics_trace_t *ctx) {
    return ctx->pending_list != nullptr ? ctx->pending_list : ctx->streamList;
}

// Live entries of a list: from the start up to the first null or max_streams.
uint32_t count_streams(qel_stream_t *const *list, uint32_t max_streams) {
    uint32_t n = 0;
    if (list == nullptr) return 0;
    while (n < max_streams && list[n] != nullptr) ++n;
    return n;
}

}  // namespace

void adopt_stream_list(qel_metrics_trace_t *ctx, qel_stream_t **list) {
    std::free(ctx->streamList);
    ctx->streamList = list;
    // Relaxed: readers of the count outside the lock only report it.
    store_flag(ctx->num_streams, count_streams(list, ctx->max_streams), std::memory_order_relaxed);
}

int qel_copy_streamlist(qel_metrics_trace_t *ctx, qel_stream_t *stream, uint32_t add,
                        qel_stream_t ***out) {
    constexpr const char *kTag = "qel_copy_streamlist";
    if (out == nullptr) {
        QEL_VERBOSE_TAGGED(kTag, "ERROR-streamListOut is NULL");
        return -1;
    }
    qel_stream_t *const *base = next_list(ctx);
    const uint32_t count = count_streams(base, ctx->max_streams);
    uint32_t kept = 0;
    for (uint32_t i = 0; i < count; ++i) kept += base[i] != stream;
    // A list is max_streams long: an add that would not fit is refused.
    if (add != 0 && kept >= ctx->max_streams) {
        QEL_VERBOSE_TAGGED(kTag, "ERROR-streamList is full (%u streams)", ctx->max_streams);
        return -1;
    }
    auto **list = static_cast<qel_stream_t **>(
        std::calloc(ctx->max_streams ? ctx->max_streams : 1, sizeof(qel_stream_t *)));
    if (list == nullptr) {
        QEL_VERBOSE_TAGGED(kTag, "ERROR-streamList memory allocation");
        return -1;
    }
    // A removal closes the gap; an addition goes to the end, also for a stream listed before.
    uint32_t n = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (base[i] != stream) list[n++] = base[i];
    }
    if (add != 0) list[n] = stream;
    *out = list;
    return 0;
}

int qel_update_worker(qel_metrics_trace_t *ctx, uint32_t cmd, qel_stream_t *stream, uint32_t add,
                      uint32_t timeout_s) {
    constexpr const char *kTag = "qel_update_worker";
    {
        // The worker turns active on or off, and exports, only under the lock: while it is
        // held, "not active" means no export reads the list before the next hand-over.
        RecordLock lock(ctx);
        qel_stream_t **list = nullptr;
        if (cmd == QEL_WORKER_CMD_UPDATE) {
            QEL_DEBUG_TAGGED(kTag, "Enter:add %d numStreams %d", add,
                             load_flag(ctx->num_streams, std::memory_order_relaxed));
            if (int rc = qel_copy_streamlist(ctx, stream, add, &list); rc != 0) return rc;
        }
        const uint32_t pending_cmd = load_flag(ctx->thread_cmd, std::memory_order_relaxed);
        if (load_flag(ctx->active) != 0) {
            // The worker makes the change itself, between two exports. A list replaced while
            // still pending was the base of the new one: it is released here.
            if (cmd != QEL_WORKER_CMD_STOP) {
                std::free(ctx->pending_list);
                ctx->pending_list = list;
            }
            // A stop already handed over stays: the worker adopts any pending list first.
            store_flag(ctx->thread_cmd, pending_cmd == QEL_WORKER_CMD_STOP ? pending_cmd : cmd);
        } else if (cmd == QEL_WORKER_CMD_UPDATE) {
            // No export runs: the caller adopts the list itself.
            adopt_stream_list(ctx, list);
            if (ctx->pending_list != nullptr) {
                std::free(ctx->pending_list);  // already part of the new list
                ctx->pending_list = nullptr;
                if (pending_cmd == QEL_WORKER_CMD_UPDATE) {
                    store_flag(ctx->thread_cmd, QEL_WORKER_CMD_NONE);
                }
            }
        } else {
            // Parked, or being stopped: wake it to take the command.
            store_flag(ctx->thread_cmd, cmd);
            signal_wake_event(ctx->wake_event);
        }
    }
    // The command may still be pending when the wait runs out; the worker takes it at its
    // next pass either way.
    static_cast<void>(qel_wait_for_value(timeout_s, &ctx->thread_cmd, QEL_WORKER_CMD_NONE));
    return 0;
}

int qel_metrics_trace_add_remove_common(qel_metrics_trace_t *ctx, qel_stream_t *stream,
                                        uint32_t add) {
    constexpr const char *kTag = "qel_metrics_trace_add_remove_common";
    if (stream == nullptr) {
        QEL_VERBOSE_TAGGED(kTag, "ERROR:stream==NULL");
        return -1;
    }
    void *&slot = ctx->is_metrics != 0 ? stream->metrics_context : stream->trace_context;
    // A stream belongs to one context of each kind: listing it in a second one would leave
    // that context a pointer to the stream once close detaches it from the first.
    if (add != 0 && slot != nullptr && slot != ctx) {
        QEL_VERBOSE_TAGGED(kTag,
                           "ERROR:the stream is already associated with a context of this kind");
        return -1;
    }
    QEL_DEBUG_TAGGED(kTag, "Enter:add %d numStreams %d", add,
                     load_flag(ctx->num_streams, std::memory_order_relaxed));
    const int rc = qel_update_worker(ctx, QEL_WORKER_CMD_UPDATE, stream, add, ctx->timeout_s);
    if (rc != 0) return rc;
    slot = add != 0 ? ctx : nullptr;
    QEL_DEBUG_TAGGED(kTag, "EXIT:numStreams %d",
                     load_flag(ctx->num_streams, std::memory_order_relaxed));
    return 0;
}

void detach_stream(qel_stream_t *stream) {
    for (void *qel_stream::*slot : {&qel_stream::metrics_context, &qel_stream::trace_context}) {
        auto *ctx = static_cast<qel_metrics_trace_t *>(stream->*slot);
        if (ctx == nullptr) continue;
        if (qel_metrics_trace_add_remove_common(ctx, stream, 0) != 0) {
            QEL_VERBOSE_TAGGED("qel_close_stream",
                               "ERROR-unable to detach the stream from its context");
        }
    }
}

}  // namespace qel::telemetry
