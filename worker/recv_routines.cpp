// The worker's two routines: receive (shared ring to worker ring, with packet resend) and
// drop (finished blocks' buffers straight back to the firmware).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <span>
#include <thread>
#include <utility>

#include "core/log.h"
#include "qel.h"
#include "recv/descriptor.h"
#include "recv/resend.h"
#include "recv/settle.h"
#include "recv/take_buffer.h"
#include "stream/stream.h"
#include "worker/plix_ring.h"
#include "worker/recv_worker.h"
#include "worker/wake_word.h"

namespace qel::worker {

namespace {

using namespace qel::recv;

constexpr const char *kRecvTag = "qel__recv_worker_recv";
constexpr const char *kDropTag = "qel__recv_worker_drop";
constexpr uint32_t kMaxSeriesRequests = 0xFFFF;
static_assert(sizeof(WorkerLink::held_leader) == kDescriptorBytes);

uint16_t type_of(const uint8_t *d) {
    return load_be16(d + offset::kType);
}

// The cell of the element the worker enqueues next. Only the producer moves prod.
std::span<uint8_t, kDescriptorBytes> next_cell(const qel_stream_t *stream) {
    const plix_ring *ring = stream->worker.ring;
    const uint32_t index = ring->prod.load(std::memory_order_relaxed) & ring->mask;
    return std::span<uint8_t, kDescriptorBytes>(
        stream->worker.copies + size_t{index} * kDescriptorBytes, kDescriptorBytes);
}

// Hands the copy in `cell` to the ring's consumer. The ring had room when the copy was taken and
// only this thread adds elements, so the enqueue cannot be refused.
void pass_on(qel_stream_t *stream, std::span<uint8_t, kDescriptorBytes> cell) {
    [[maybe_unused]] const int stored = plix_ring_enqueue(stream->worker.ring, cell.data());
}

// Waits until the worker ring has room for one more copy. A full ring means the application
// is behind; dropping a leader or trailer here would pair every later block with the wrong
// buffer, so the descriptor stays in the shared ring until there is room. False when the
// worker was told to stop receiving meanwhile.
bool wait_for_room(qel_stream_t *stream) {
    if (!plix_ring_full(stream->worker.ring)) return true;
    QEL_DEBUG_TAGGED(kRecvTag, "plix_ring_enqueue rc=%d", 0);
    while (plix_ring_full(stream->worker.ring)) {
        if (!still_acting(stream, QEL_RECEIVE_STREAM_WORKER_UNBLOCKED)) return false;
        // The application is a whole ring behind: a sleeping worker need not look again at
        // once (the consumer gives no notice of its dequeues).
        if (stream->worker.sleeps) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } else {
            cpu_pause();
        }
    }
    return true;
}

// A sleeping worker's poll may be asleep until a block has been handed over: counts it, and
// wakes the poll when it sleeps (the only case that costs a call into the kernel).
void announce_block(qel_stream_t *stream) {
    WorkerLink &worker = stream->worker;
    if (!worker.sleeps) return;
    // Only this thread writes the count. Release: a poll that reads the new count sees the
    // block in the ring.
    worker.handed.store(worker.handed.load(std::memory_order_relaxed) + 1,
                        std::memory_order_release);
    // Pairs with the poll's fence between its poll_asleep store and its look at the ring.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (worker.poll_asleep.load(std::memory_order_relaxed) != 0) wake_sleepers(worker.handed);
}

// A resend series of the worker: the first request id and the request count come from the
// application's callback.
struct Series {
    ResendSeries requests;
    uint16_t max = 0;
};

// Asks for the packets an INCOMPLETE status names. False when the series has used its
// rounds and the status begins another: the status is then given up.
bool request_resend(qel_stream_t *stream, Series &series, const uint8_t *status) {
    const qel_stream_options_t &opts = *stream->opts;
    if (series.requests.sent == 0) {
        if (stream->worker.resend_cb != nullptr) {
            stream->worker.resend_cb(stream, &series.requests.first_req_id, &series.max);
        }
        stream::count(stream->stats->worker_resend_series);
        // The larger of the callback's count and the stream's option, held to what 16 bits
        // count rather than cut to its low bits (which could make it smaller).
        if (opts.max_requests >= series.max) {
            series.max = static_cast<uint16_t>(std::min(opts.max_requests, kMaxSeriesRequests));
        }
        QEL_DEBUG_TAGGED(kRecvTag, "packet resend, req_id: %d, max_requests: %d",
                         series.requests.first_req_id, series.max);
    } else if (series.requests.rounds >= series.max &&
               series.requests.opens_round(stream, read_gap_report(status))) {
        QEL_DEBUG_TAGGED(kRecvTag, "packet resend max requests reached");
        return false;
    }
    const int rc =
        series.requests.request(stream, load_be32(status + offset::kPacketId),
                                read_gap_report(status), load_be64(status + offset::kBlockId));
    if (rc != 0) QEL_DEBUG_TAGGED(kRecvTag, "Failed to send packet resend rc=%d\n", rc);
    return true;
}

}  // namespace

int qel__recv_worker_recv(qel_stream_t *stream) {
    const bool zero_loss = (stream->opts->flags & QEL_OPEN_ZEROLOSS) != 0;
    bool leader_seen = false;
    Series series;
    if (stream->worker.leader_held) {
        // The drop routine left this block when the worker was unblocked: it is delivered
        // from its leader on.
        if (!wait_for_room(stream)) return kInterrupted;
        const std::span<uint8_t, kDescriptorBytes> cell = next_cell(stream);
        std::memcpy(cell.data(), stream->worker.held_leader, kDescriptorBytes);
        pass_on(stream, cell);
        stream->worker.leader_held = false;
        leader_seen = true;
    }
    for (;;) {
        // The copy's cell must be free before anything moves on the shared ring.
        if (!wait_for_room(stream)) return kInterrupted;
        const std::span<uint8_t, kDescriptorBytes> cell = next_cell(stream);
        if (take_descriptor(stream, driver_wait_ms(stream), cell) != 0) {
            if (!leader_seen) return kNothingReady;
            // The rest of the block may never come (a camera that stopped): a stop, block or
            // destroy must still be obeyed.
            if (!still_acting(stream, QEL_RECEIVE_STREAM_WORKER_UNBLOCKED)) return kInterrupted;
            cpu_pause();
            continue;
        }
        const int status = cell[offset::kFirmwareStatus];
        const bool trailer = type_of(cell.data()) == kTrailer;
        if (trailer && status == KOB_QEL_STATUS_INCOMPLETE && zero_loss) {
            // The status is not passed on: its cell is written over by the next descriptor.
            const uint64_t block = load_be64(cell.data() + offset::kBlockId);
            // A block whose series gave up gets no more requests, from this call or a later
            // one: otherwise every later status would start a new series and the limit would
            // hold for the first series only.
            if (stream->resend.worker_series_given_up.holds(block)) continue;
            if (!request_resend(stream, series, cell.data())) {
                stream->resend.worker_series_given_up.mark(block);
                return kSeriesGivenUp;
            }
            continue;
        }
        // Any other descriptor ends the block that gave up, or starts another.
        stream->resend.worker_series_given_up.clear();
        pass_on(stream, cell);
        if (!trailer) {
            leader_seen = true;
            continue;
        }
        announce_block(stream);
        return status;
    }
}

int drop_descriptor(qel_stream_t *stream, const uint8_t *d, const char *tag) {
    const int status = d[offset::kFirmwareStatus];
    const bool finished = finishes_in_buffer(status);
    // The buffer goes from the firmware straight back to it, never the application's meanwhile
    // (an application thread may try to free it).
    const bool requeued = finished && requeue_head(stream);
    QEL_DEBUG_TAGGED(tag, "rwdt dropped blk:%u",
                     static_cast<unsigned>(load_be64(d + offset::kBlockId) & 0xFFFF));
    // A finished block with no buffer queued: the firmware and the queue list disagree, and
    // there is nothing to give back.
    if (finished && !requeued) return QEL_EPROTO;
    switch (status) {
        case KOB_QEL_STATUS_COMPLETE:
        case KOB_QEL_STATUS_INCOMPLETE_FINAL:
            stream::count(stream->stats->blocks_dropped_by_watchdog);
            stream::count(stream->dropped_blocks);
            return 0;
        case KOB_QEL_STATUS_INCOMPLETE:
            return kBlockGoesOn;
        case KOB_QEL_STATUS_BUFFER_OVERFLOW:
            return QEL_ENOMEM;
        case KOB_QEL_STATUS_NO_BUFFERS:
            return QEL_ENOBUFINVOLVED;
        default:
            return 1;
    }
}

int qel__recv_worker_drop(qel_stream_t *stream) {
    // A block an earlier call was interrupted in is dropped to its end.
    bool leader_seen = std::exchange(stream->worker.leader_held, false);
    // Descriptors that arrive while blocked are dropped straight from the shared ring, without
    // a trip through the worker ring; this copy is enough for them.
    uint8_t arrived[kDescriptorBytes];
    for (;;) {
        const uint8_t *d = nullptr;
        void *element = nullptr;
        // What the worker took before it was blocked comes first: it is older.
        if (plix_ring_dequeue(stream->worker.ring, &element) != 0) {
            d = static_cast<const uint8_t *>(element);
        } else if (take_descriptor(stream, driver_wait_ms(stream), arrived) == 0) {
            d = arrived;
        } else {
            if (!leader_seen) return 0;
            if (!still_acting(stream, QEL_RECEIVE_STREAM_WORKER_BLOCKED)) {
                // Whatever takes the rest of the block must have its leader, or it would
                // deliver a complete block without geometry, id or timestamp.
                stream->worker.leader_held = true;
                return kInterrupted;
            }
            cpu_pause();
            continue;
        }
        if (type_of(d) != kTrailer) {
            leader_seen = true;
            std::memcpy(stream->worker.held_leader, d, kDescriptorBytes);
            continue;
        }
        const int rc = drop_descriptor(stream, d, kDropTag);
        if (rc != kBlockGoesOn) return rc;
    }
}

}  // namespace qel::worker
