// The sixteen exported functions of metrics and trace contexts: eight twins, each testing that
// the add-on is in use before it runs the routine both kinds share.
#include <cstdio>

#include "core/log.h"
#include "stream/stream.h"
#include "telemetry/addon.h"
#include "telemetry/context.h"
#include "telemetry/handles.h"

using namespace qel::telemetry;

namespace {

constexpr uint32_t kTimeoutS = 2;

// What tells one kind from the other where the twins differ.
struct Kind {
    bool metrics;
    const char *not_installed;
    const char *null_context;
    const char *already_attached;
    const char *remove_null_stream;
    const char *not_attached;
    void *qel_stream::*slot;
};

constexpr Kind kMetrics{true,
                        "ERROR-metrics library is not installed",
                        "ERROR-metrics==NULL",
                        "ERROR:a metrics_context is already associated with the stream",
                        "ERROR:qel_remove_metrics:stream==NULL",
                        "ERROR:a metrics_context is not associated with the stream",
                        &qel_stream::metrics_context};
constexpr Kind kTrace{false,
                      "ERROR-trace library is not installed",
                      "ERROR-trace==NULL",
                      "ERROR:a trace_context is already associated with the stream",
                      "ERROR:qel_remove_trace:stream==NULL",
                      "ERROR:a trace_context is not associated with the stream",
                      &qel_stream::trace_context};

bool available(const Kind &kind, const char *tag) {
    if (qel_telemetry_available != 0) return true;
    QEL_VERBOSE_TAGGED(tag, "%s", kind.not_installed);
    return false;
}

// The entry line that some twins write.
void trace_entry(const char *tag) {
    QEL_DEBUG_TAGGED(tag, " ");
}

int create(const Kind &kind, const char *tag, qel_metrics_trace_t **out, uint32_t adapter_period,
           uint32_t stream_period, uint32_t addon_param32, uint16_t addon_param16) {
    trace_entry(tag);
    if (!available(kind, tag)) return -1;
    qel_publish_get_info();
    int rc = qel_create_metrics_trace(out, addon_param32, addon_param16);
    if (rc != 0) return rc;
    qel_metrics_trace_t *ctx = *out;
    ctx->is_metrics = kind.metrics ? 1 : 0;
    ctx->timeout_s = kTimeoutS;
    ctx->adapter_period = adapter_period;
    ctx->stream_period = stream_period;
    // On failure the record stays allocated and handed out: the application may destroy it.
    rc = init_addon_for(ctx);
    if (rc != 0) {
        if (kind.metrics) {
            QEL_VERBOSE_TAGGED("qel_telemetry_init_metrics", "Unable to init metrics library% d",
                               rc);
        } else {
            std::printf("ERROR INIT TRACE %d\n", rc);
            std::fflush(stdout);
            QEL_VERBOSE_TAGGED("qel_telemetry_init_trace", "Unable to init trace library %d", rc);
        }
    }
    return rc;
}

int add(const Kind &kind, const char *tag, qel_metrics_trace_t *ctx, qel_stream_t *stream) {
    if (!kind.metrics) trace_entry(tag);
    if (!available(kind, tag)) return -1;
    if (ctx == nullptr) {
        QEL_VERBOSE_TAGGED(tag, "%s", kind.null_context);
        return -1;
    }
    if (stream == nullptr) {
        QEL_VERBOSE_TAGGED("qel_metrics_trace_add_remove_common", "ERROR:stream==NULL");
        return -1;
    }
    if (stream->*kind.slot != nullptr) {
        QEL_VERBOSE_TAGGED(tag, "%s", kind.already_attached);
        return -1;
    }
    return qel_metrics_trace_add_remove_common(ctx, stream, 1);
}

int remove(const Kind &kind, const char *tag, qel_stream_t *stream) {
    if (!available(kind, tag)) return -1;
    if (stream == nullptr) {
        QEL_VERBOSE_TAGGED(tag, "%s", kind.remove_null_stream);
        return -1;
    }
    auto *ctx = static_cast<qel_metrics_trace_t *>(stream->*kind.slot);
    if (ctx == nullptr) {
        QEL_VERBOSE_TAGGED(tag, "%s", kind.not_attached);
        return -1;
    }
    return qel_metrics_trace_add_remove_common(ctx, stream, 0);
}

}  // namespace

extern "C" {

QEL_EXPORT int qel_create_metrics(qel_metrics_trace_t **out, uint32_t adapter_period,
                                  uint32_t stream_period, uint32_t addon_param32,
                                  uint16_t addon_param16) {
    return create(kMetrics, "qel_create_metrics", out, adapter_period, stream_period, addon_param32,
                  addon_param16);
}

QEL_EXPORT int qel_create_trace(qel_metrics_trace_t **out, uint32_t addon_param32,
                                uint16_t addon_param16) {
    return create(kTrace, "qel_create_trace", out, 0, 0, addon_param32, addon_param16);
}

QEL_EXPORT int qel_destroy_metrics(qel_metrics_trace_t *ctx) {
    trace_entry("qel_destroy_metrics");
    if (!available(kMetrics, "qel_destroy_metrics")) return -1;
    return qel_destroy_metrics_trace(ctx);
}

QEL_EXPORT int qel_destroy_trace(qel_metrics_trace_t *ctx) {
    trace_entry("qel_destroy_trace");
    if (!available(kTrace, "qel_destroy_trace")) return -1;
    return qel_destroy_metrics_trace(ctx);
}

QEL_EXPORT int qel_enable_metrics(qel_metrics_trace_t *ctx) {
    if (!available(kMetrics, "qel_enable_metrics")) return -1;
    return qel_enable_metrics_trace(ctx);
}

QEL_EXPORT int qel_enable_trace(qel_metrics_trace_t *ctx) {
    trace_entry("qel_enable_trace");
    if (!available(kTrace, "qel_enable_trace")) return -1;
    return qel_enable_metrics_trace(ctx);
}

QEL_EXPORT int qel_disable_metrics(qel_metrics_trace_t *ctx) {
    if (!available(kMetrics, "qel_disable_metrics")) return -1;
    return qel_disable_metrics_trace(ctx);
}

QEL_EXPORT int qel_disable_trace(qel_metrics_trace_t *ctx) {
    trace_entry("qel_disable_trace");
    if (!available(kTrace, "qel_disable_trace")) return -1;
    return qel_disable_metrics_trace(ctx);
}

QEL_EXPORT int qel_add_metrics(qel_metrics_trace_t *ctx, qel_stream_t *stream) {
    return add(kMetrics, "qel_add_metrics", ctx, stream);
}

QEL_EXPORT int qel_add_trace(qel_metrics_trace_t *ctx, qel_stream_t *stream) {
    return add(kTrace, "qel_add_trace", ctx, stream);
}

QEL_EXPORT int qel_remove_metrics(qel_stream_t *stream) {
    return remove(kMetrics, "qel_remove_metrics", stream);
}

QEL_EXPORT int qel_remove_trace(qel_stream_t *stream) {
    return remove(kTrace, "qel_remove_trace", stream);
}

QEL_EXPORT int qel_start_metrics(qel_metrics_trace_t *ctx, uint64_t cpu_mask) {
    if (!available(kMetrics, "qel_start_metrics")) return -1;
    return qel_start_metrics_trace(ctx, cpu_mask);
}

QEL_EXPORT int qel_start_trace(qel_metrics_trace_t *ctx, uint64_t cpu_mask) {
    if (!available(kTrace, "qel_start_trace")) return -1;
    return qel_start_metrics_trace(ctx, cpu_mask);
}

QEL_EXPORT int qel_stop_metrics(qel_metrics_trace_t *ctx) {
    if (!available(kMetrics, "qel_stop_metrics")) return -1;
    return qel_stop_metrics_trace(ctx);
}

QEL_EXPORT int qel_stop_trace(qel_metrics_trace_t *ctx) {
    if (!available(kTrace, "qel_stop_trace")) return -1;
    return qel_stop_metrics_trace(ctx);
}

}  // extern "C"
