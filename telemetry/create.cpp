// Creating and releasing the record of a metrics or trace context.
#include <cstdlib>
#include <memory>

#include "core/driver.h"
#include "core/log.h"
#include "core/state.h"
#include "stream/close_hook.h"
#include "telemetry/context.h"
#include "telemetry/handles.h"

namespace qel::telemetry {

namespace {

constexpr uint32_t kAdapterIndexes = 32;
constexpr uint32_t kStreamsPerEndpoint = 32;
// No board has more endpoints than this; a larger count from the driver is refused rather than
// sized into a list.
constexpr uint32_t kMaxEndpoints = 4096;

// A context record being made: released with everything it holds unless handed out.
struct ContextFree {
    void operator()(qel_metrics_trace_t *ctx) const { qel_free_metrics_trace(ctx); }
};
using ContextGuard = std::unique_ptr<qel_metrics_trace_t, ContextFree>;

void init_recursive_lock(pthread_mutex_t *lock) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(lock, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

}  // namespace

int qel_create_metrics_trace(qel_metrics_trace_t **out, uint32_t addon_param32,
                             uint16_t addon_param16) {
    constexpr const char *kTag = "qel_create_metrics_trace";
    if (out == nullptr) {
        QEL_VERBOSE_TAGGED(kTag, "ERROR-qel_metrics_trace_t parameter is NULL");
        return -1;
    }
    // Before any context can hold a stream, closing one must let go of it.
    stream::set_close_hook(detach_stream);
    // The record is a C record the add-on reads, allocated as such; until it is handed out,
    // every way out releases what it holds so far.
    ContextGuard ctx(
        static_cast<qel_metrics_trace_t *>(std::calloc(1, sizeof(qel_metrics_trace_t))));
    if (ctx == nullptr) {
        QEL_VERBOSE_TAGGED(kTag, "ERROR-qel_metrics_trace_t memory allocation");
        return -1;
    }
    ctx->addon_param32 = addon_param32;
    ctx->addon_param16 = addon_param16;

    if (int rc = qel_get_adapter_sns(&ctx->serial_numbers); rc != 0) return rc;

    ctx->num_streams = 0;
    uint32_t endpoints = 0;
    int rc =
        hux_ioctl(core::qel_board_handle, driver::TREL_GET_ENDPT_MAX, &endpoints, sizeof endpoints);
    if (rc == 0 && endpoints > kMaxEndpoints) rc = QEL_EINVAL;
    if (rc != 0) {
        QEL_VERBOSE_TAGGED(kTag, "ERROR-Unable to read TREL_GET_ENDPT_MAX");
        return rc;
    }
    ctx->max_streams = endpoints * kStreamsPerEndpoint;
    ctx->streamList = static_cast<qel_stream_t **>(
        std::calloc(ctx->max_streams ? ctx->max_streams : 1, sizeof(qel_stream_t *)));
    if (ctx->streamList == nullptr) {
        QEL_VERBOSE_TAGGED(kTag, "ERROR-Unable to allocate memory for streamList");
        return -1;
    }

    ctx->active = 0;
    ctx->thread_started = 0;
    ctx->in_wait_state = 0;
    ctx->thread_cmd = QEL_WORKER_CMD_NONE;
    ctx->pending_list = nullptr;
    void *event = create_wake_event();
    if (event == nullptr) return -1;
    init_recursive_lock(&ctx->lock);
    // The event marks the lock as initialised too: free releases both or neither.
    ctx->wake_event = event;
    *out = ctx.release();
    return 0;
}

int qel_destroy_metrics_trace(qel_metrics_trace_t *ctx) {
    constexpr const char *kTag = "qel_destroy_metrics_trace";
    if (ctx == nullptr) {
        QEL_VERBOSE_TAGGED(kTag, "ERROR-qel_metrics_trace_t parameter is NULL");
        return -1;
    }
    if (ctx->thread_started != 0) {
        QEL_VERBOSE_TAGGED(kTag, "ERROR-trace needs to be stopped before it is destroyed");
        return -1;
    }
    if (load_flag(ctx->num_streams, std::memory_order_relaxed) != 0) {
        QEL_VERBOSE_TAGGED(kTag, "ERROR-ref_count != 0");
        return -1;
    }
    QEL_DEBUG_TAGGED(kTag, "Freeing qel_metrics_trace_t memory");
    forget_handle_owner(ctx);
    qel_free_metrics_trace(ctx);
    return 0;
}

void qel_free_metrics_trace(qel_metrics_trace_t *ctx) {
    if (ctx == nullptr) return;
    if (ctx->serial_numbers != nullptr) {
        for (uint32_t i = 0; i < kAdapterIndexes; ++i) std::free(ctx->serial_numbers[i]);
        std::free(ctx->serial_numbers);
        ctx->serial_numbers = nullptr;
    }
    if (ctx->streamList != nullptr) {
        std::free(ctx->streamList);
        ctx->streamList = nullptr;
    }
    std::free(ctx->pending_list);
    if (ctx->wake_event != nullptr) {
        destroy_wake_event(ctx->wake_event);
        pthread_mutex_destroy(&ctx->lock);
    }
    std::free(ctx);
}

}  // namespace qel::telemetry
