// The worker ring and its descriptor copies.
//
// Each element of the ring is a 64-byte copy of one descriptor. Instead of allocating one per
// descriptor on the worker thread (and freeing it on the application's), the copies live in
// cells allocated with the ring, one per slot: the element at ring index i is the cell i AND
// mask. The worker writes a cell only while the ring has room, so the cell it writes belongs to
// an index at least `count` behind; that element's consumer has dequeued the element after it
// since, which is when it is done with a copy. A copy is thus owned by whoever dequeued it until
// that consumer's next dequeue, and "releasing" it takes no call.
#include <atomic>
#include <memory>

#include "core/log.h"
#include "recv/descriptor.h"
#include "stream/stream.h"
#include "worker/recv_worker.h"
#include "worker/ring_memory.h"

namespace qel::worker {

namespace {

constexpr const char *kDestroyTag = "qel_destroy_recv_worker";

// 0: region 0's length. Set by tests before a worker exists.
std::atomic<uint32_t> ring_slots_override{0};

}  // namespace

uint32_t ring_slots(const qel_stream_t *stream) {
    if (uint32_t slots = ring_slots_override.load(std::memory_order_relaxed); slots != 0) {
        return slots;
    }
    return static_cast<uint32_t>(stream->maps[0].length);
}

bool attach_ring(qel_stream_t *stream, uint32_t count) noexcept {
    std::unique_ptr<plix_ring, decltype(&plix_ring_free)> ring(qel_bbr_create(count),
                                                               plix_ring_free);
    if (ring == nullptr) return false;
    // The count is a power of two of 32 bits, so the product fits a size_t.
    void *cells = ring_allocate(size_t{count} * recv::kDescriptorBytes, kCacheLineBytes);
    if (cells == nullptr) {
        QEL_DEBUG_TAGGED("qel_create_recv_worker", "no memory for %u descriptor copies", count);
        return false;
    }
    stream->worker.ring = ring.release();
    stream->worker.copies = static_cast<uint8_t *>(cells);
    return true;
}

void settle_and_release_ring(qel_stream_t *stream) {
    plix_ring *ring = stream->worker.ring;
    if (ring == nullptr) return;
    // The worker took these descriptors off the shared ring, so the firmware is done with the
    // blocks they finish; their buffers are at the head of the queue list, in order. Giving
    // them back keeps the next descriptor read from the shared ring paired with its buffer.
    // The leader of a block that has not finished (kept by the drop routine, which is older
    // than anything in the ring, or the ring's last) goes into the block record: the poll
    // reads the rest of that block from the shared ring and delivers it whole.
    const uint8_t *unfinished = stream->worker.leader_held ? stream->worker.held_leader : nullptr;
    stream->worker.leader_held = false;
    void *element = nullptr;
    while (plix_ring_dequeue(ring, &element) != 0) {
        const auto *d = static_cast<const uint8_t *>(element);
        if (load_be16(d + recv::offset::kType) != recv::kTrailer) {
            unfinished = d;  // its cell stays as it is until the cells are released below
        } else if (drop_descriptor(stream, d, kDestroyTag) != kBlockGoesOn) {
            unfinished = nullptr;
        }
    }
    if (unfinished != nullptr) static_cast<void>(recv::kob_to_qel_block(stream, unfinished));
    plix_ring_free(ring);
    ring_release(stream->worker.copies, 0);
    stream->worker.ring = nullptr;
    stream->worker.copies = nullptr;
}

namespace test_hooks {

void set_ring_slots(uint32_t slots) noexcept {
    ring_slots_override.store(slots, std::memory_order_relaxed);
}

}  // namespace test_hooks

}  // namespace qel::worker
