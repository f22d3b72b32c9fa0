// The statistics reader registered with the add-on, and the stream identity it labels the
// counters by.
#include <cstddef>

#include "stream/stream.h"
#include "telemetry/addon.h"

namespace qel::telemetry {

// The identity the add-on reads is the head of the stream record itself.
static_assert(offsetof(qel_stream, handle) == offsetof(qel_stream_identity_t, endpoint_handle));
static_assert(offsetof(qel_stream, local_addr) == offsetof(qel_stream_identity_t, local_addr));
static_assert(offsetof(qel_stream, dest_addr) == offsetof(qel_stream_identity_t, dest_addr));
static_assert(offsetof(qel_stream, board) == offsetof(qel_stream_identity_t, board));
static_assert(offsetof(qel_stream, port) == offsetof(qel_stream_identity_t, port));
static_assert(offsetof(qel_stream, endpt) == offsetof(qel_stream_identity_t, endpoint));
static_assert(sizeof(qel_stream::handle) == sizeof(qel_stream_identity_t::endpoint_handle) &&
              sizeof(qel_stream::port) == sizeof(qel_stream_identity_t::port) &&
              sizeof(qel_stream::endpt) == sizeof(qel_stream_identity_t::endpoint));
static_assert(offsetof(qel_stream_identity_t, endpoint) == 24 &&
              sizeof(qel_stream_identity_t) == 32);

int qel_telemetry_get_stats(qel_stream_t *stream, qel_stats_t *stats_out) {
    if (stream == nullptr || stats_out == nullptr || stream->stats == nullptr) return QEL_EINVAL;
    // The add-on reads on its export thread while the stream's own thread counts: each
    // counter is read whole (relaxed: the counters publish nothing else).
    constexpr size_t kCounters = sizeof(qel_stats_t) / sizeof(uint64_t);
    static_assert(sizeof(qel_stats_t) == kCounters * sizeof(uint64_t));
    auto *from = reinterpret_cast<uint64_t *>(stream->stats);
    auto *to = reinterpret_cast<uint64_t *>(stats_out);
    for (size_t i = 0; i < kCounters; ++i) {
        to[i] = std::atomic_ref<uint64_t>(from[i]).load(std::memory_order_relaxed);
    }
    return 0;
}

}  // namespace qel::telemetry
