// Stream statistics.
#include <iterator>

#include "core/flag_word.h"
#include "qel.h"
#include "stream/stream.h"

namespace {

using qel::stream::counter_value;

// Every counter of the record. A receive worker counts on its own thread while the application
// reads or clears them, so each is read and written as an atomic word of its own; a copy is
// therefore not one snapshot of all counters, each counter in it is exact.
constexpr uint64_t qel_stats_t::*kCounters[] = {
    &qel_stats_t::blocks_dropped,       &qel_stats_t::blocks_dropped_by_watchdog,
    &qel_stats_t::blocks_complete,      &qel_stats_t::blocks_incomplete,
    &qel_stats_t::poll_errors,          &qel_stats_t::resend_requests,
    &qel_stats_t::resend_sent,          &qel_stats_t::resend_failed,
    &qel_stats_t::block_timeouts,       &qel_stats_t::resend_timeouts,
    &qel_stats_t::resend_limit_hits,    &qel_stats_t::buffers_allocated,
    &qel_stats_t::buffers_freed,        &qel_stats_t::buffers_queued,
    &qel_stats_t::worker_stops,         &qel_stats_t::worker_starts,
    &qel_stats_t::worker_blocks,        &qel_stats_t::worker_unblocks,
    &qel_stats_t::worker_resend_series,
};
static_assert(std::size(kCounters) * sizeof(uint64_t) == sizeof(qel_stats_t),
              "every counter of qel_stats_t is listed");

void set_counter(uint64_t &counter, uint64_t value) {
    std::atomic_ref<uint64_t>(counter).store(value, std::memory_order_relaxed);
}

}  // namespace

extern "C" {

QEL_EXPORT int qel_get_stats(qel_stream_t *stream, qel_stats_t *stats_out) {
    if (stream == nullptr || stats_out == nullptr) return QEL_EINVAL;
    // While an enabled metrics context exports the stream, its counters are the add-on's to
    // read (through its own reader): the application is refused.
    const auto *metrics = static_cast<const qel_metrics_trace_t *>(stream->metrics_context);
    if (metrics != nullptr && qel::core::load_flag(metrics->enab, std::memory_order_relaxed) != 0) {
        return QEL_EINVAL;
    }
    for (auto counter : kCounters) stats_out->*counter = counter_value(stream->stats->*counter);
    return 0;
}

QEL_EXPORT int qel_clear_stats(qel_stream_t *stream) {
    if (stream == nullptr) return QEL_EINVAL;
    for (auto counter : kCounters) {
        if (counter == &qel_stats_t::buffers_allocated || counter == &qel_stats_t::buffers_freed) {
            continue;
        }
        set_counter(stream->stats->*counter, 0);
    }
    return 0;
}

}  // extern "C"
