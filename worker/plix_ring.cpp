// Creation and release of rings.
#include "worker/plix_ring.h"

#include <cstdio>
#include <memory>

#include "worker/ring_memory.h"
#include "worker/ring_registry.h"

namespace qel::worker {

namespace {

// Reasons a creation fails, as written in its failure line.
constexpr int kNoRecordMemory = 210;
constexpr int kNoNameMemory = 217;
constexpr int kNoSlotMemory = 223;

// The record takes three cache lines; a fourth is allocated with it so that the consumer's
// line shares its 128-byte pair (which some processors fetch together) with nothing else.
constexpr size_t kRecordBytes = 4 * kCacheLineBytes;
static_assert(kRecordBytes >= sizeof(plix_ring));

// Releases what creation put into the record, then the record itself, zeroed. The registry is
// not touched.
struct RingPartsRelease {
    void operator()(plix_ring *ring) const noexcept {
        ring_release(ring->slots, 0);
        ring_release_text(ring->name);
        std::destroy_at(ring);
        ring_release(ring, kRecordBytes);
    }
};
using RingParts = std::unique_ptr<plix_ring, RingPartsRelease>;

void report_failure(int rc) {
    std::fprintf(stderr, "Failed to create ring = %s (rc=%d)\n", kBlockBufferRingName, rc);
}

}  // namespace

plix_ring *plix_ring_create(uint32_t count) noexcept {
    if (count == 0 || (count & (count - 1)) != 0) return nullptr;

    void *memory = ring_allocate(kRecordBytes, alignof(plix_ring));
    if (memory == nullptr) {
        report_failure(kNoRecordMemory);
        return nullptr;
    }
    // Value-initialised: every field, the atomics included, starts at zero.
    RingParts ring(std::construct_at(static_cast<plix_ring *>(memory)));

    ring->name = ring_copy_text(kBlockBufferRingName);
    if (ring->name == nullptr) {
        report_failure(kNoNameMemory);
        return nullptr;
    }

    // The byte count is formed in size_t: in 32 bits it would wrap for 2^27 slots and more,
    // and the ring would run past the end of a short array.
    static_assert(SIZE_MAX / kRingSlotBytes >= UINT32_MAX, "count * 32 must not wrap");
    ring->slots = static_cast<plix_ring_slot *>(
        ring_allocate(size_t{count} * kRingSlotBytes, kCacheLineBytes));
    if (ring->slots == nullptr) {
        report_failure(kNoSlotMemory);
        return nullptr;
    }

    ring->count = count;
    ring->mask = count - 1;
    // Nothing uses the ring yet; relaxed stores suffice, and handing the ring to the worker
    // thread publishes them.
    ring->prod.store(0, std::memory_order_relaxed);
    ring->cons.store(0, std::memory_order_relaxed);
    std::fprintf(stderr, "Created ring = %s with %u entries and a mask of %u/%x\n", ring->name,
                 ring->count, ring->mask, ring->mask);
    return ring.release();
}

void plix_ring_free(plix_ring *ring) noexcept {
    if (ring == nullptr) return;
    plix_ring_unregister_ring(ring);
    RingPartsRelease{}(ring);
}

namespace test_hooks {

void set_ring_indices(plix_ring *ring, uint32_t index) noexcept {
    ring->prod.store(index, std::memory_order_relaxed);
    ring->cons.store(index, std::memory_order_relaxed);
    ring->cons_cached = index;
    ring->prod_cached = index;
}

}  // namespace test_hooks

}  // namespace qel::worker
