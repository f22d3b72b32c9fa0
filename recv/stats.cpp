// Stream statistics.
#include "qel.h"
#include "stream/stream.h"
#include "telemetry/context.h"

extern "C" {

QEL_EXPORT int qel_get_stats(qel_stream_t *stream, qel_stats_t *stats_out) {
    if (stream == nullptr || stats_out == nullptr) return QEL_EINVAL;
    // While an enabled metrics context exports the stream, its counters are the add-on's to
    // read (through its own reader): the application is refused.
    const auto *metrics = static_cast<const qel_metrics_trace_t *>(stream->metrics_context);
    if (metrics != nullptr &&
        qel::telemetry::load_flag(metrics->enab, std::memory_order_relaxed) != 0) {
        return QEL_EINVAL;
    }
    *stats_out = *stream->stats;
    return 0;
}

QEL_EXPORT int qel_clear_stats(qel_stream_t *stream) {
    if (stream == nullptr) return QEL_EINVAL;
    qel_stats_t *stats = stream->stats;
    const uint64_t allocated = stats->buffers_allocated;
    const uint64_t freed = stats->buffers_freed;
    *stats = qel_stats_t{};
    stats->buffers_allocated = allocated;
    stats->buffers_freed = freed;
    return 0;
}

}  // extern "C"
