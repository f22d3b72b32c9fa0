// The block buffer ring: a fixed-size, power-of-two, lock-free ring of pointers with exactly
// one producer thread and one consumer thread. The receive worker produces descriptor copies
// into it and the application's poll consumes them.
//
// Enqueue and dequeue are inline: they sit on the receive hot path (the worker's loop and the
// poll), take no lock, allocate nothing and make no system call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace qel::worker {

inline constexpr size_t kCacheLineBytes = 64;
inline constexpr size_t kRingSlotBytes = 32;
// How far ahead of its index the producer asks for a slot's cache line, in slots: 16 lines.
// Measured in the transfer benchmark against 8 lines ahead, 16 lines ahead, and a consumer
// that also asks ahead within the published range: only this one was faster, by about a
// fifth, than asking for nothing.
inline constexpr uint32_t kRingPrefetchSlots = 16 * kCacheLineBytes / kRingSlotBytes;
// The name of every ring, and the registry key that allows one worker ring per process.
inline constexpr char kBlockBufferRingName[] = "qel-bbr";

// One slot: the element in its first 8 bytes, the rest unused.
struct plix_ring_slot {
    void *element;
    unsigned char unused[kRingSlotBytes - sizeof(void *)];
};
static_assert(sizeof(void *) == 8, "a slot holds a 64-bit pointer in its first 8 bytes");
static_assert(sizeof(plix_ring_slot) == kRingSlotBytes);
static_assert(offsetof(plix_ring_slot, element) == 0);

// The ring record. Its layout is deliberate and pinned below: the read-mostly fields
// share line 0, the producer writes only line 1 and the consumer only line 2, so that the two
// cores never invalidate each other's lines on the fast path.
struct plix_ring {
    // Line 0, written at creation only.
    char *name;             // the ring's own copy of its name
    uint32_t mask;          // count - 1
    uint32_t count;         // number of slots, a power of two
    plix_ring_slot *slots;  // `count` slots

    // Line 1, the producer's. `prod` is the number of elements ever enqueued modulo 2^32.
    alignas(kCacheLineBytes) std::atomic<uint32_t> prod;
    // The producer's last look at `cons`. It is never ahead of `cons`, so a ring that is not
    // full by it is not full; only when it says full does the producer read the consumer's
    // line again.
    uint32_t cons_cached;

    // Line 2, the consumer's. `cons` is the number of elements ever dequeued modulo 2^32.
    alignas(kCacheLineBytes) std::atomic<uint32_t> cons;
    // The consumer's last look at `prod`, never ahead of it: the mirror of `cons_cached`.
    uint32_t prod_cached;
};

static_assert(std::is_standard_layout_v<plix_ring>);
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
static_assert(offsetof(plix_ring, name) == 0);
static_assert(offsetof(plix_ring, mask) == 8);
static_assert(offsetof(plix_ring, count) == 12);
static_assert(offsetof(plix_ring, slots) == 16);
static_assert(offsetof(plix_ring, prod) == 1 * kCacheLineBytes);
static_assert(offsetof(plix_ring, cons_cached) == 1 * kCacheLineBytes + 4);
static_assert(offsetof(plix_ring, cons) == 2 * kCacheLineBytes);
static_assert(offsetof(plix_ring, prod_cached) == 2 * kCacheLineBytes + 4);
static_assert(sizeof(plix_ring) == 3 * kCacheLineBytes);
static_assert(alignof(plix_ring) == kCacheLineBytes);

// A new, empty ring of `count` slots named "qel-bbr" (not registered), or null. `count` must
// be a non-zero power of two; otherwise null is returned and nothing is written. Writes its
// creation line, or its failure line, to standard error whatever the diagnostic switches say.
plix_ring *plix_ring_create(uint32_t count) noexcept;

// Releases the ring, its slots and every registry entry that holds it. Null is accepted. No
// producer or consumer may be using the ring. Elements still in it are not released.
void plix_ring_free(plix_ring *ring) noexcept;

// The worker's ring: created, registered and returned, or null (with its failure line on
// standard error) when a registered worker ring exists already, `count` is not a power of two,
// or memory runs out. Released with plix_ring_free.
plix_ring *qel_bbr_create(uint32_t count) noexcept;

// Producer side only. Stores `element` and returns 1, or returns 0 when the ring holds `mask`
// elements already (full); the ring is then unchanged.
[[nodiscard]] inline int plix_ring_enqueue(plix_ring *ring, void *element) noexcept {
    // Only this thread writes prod, so its own relaxed load is exact.
    const uint32_t p = ring->prod.load(std::memory_order_relaxed);
    const uint32_t m = ring->mask;
    // Indices run freely and wrap at 2^32; their difference is the number of elements held.
    // The test is >= rather than ==, so that even indices that went wrong can never make the
    // producer overwrite a slot that has not been read.
    if (p - ring->cons_cached >= m) {
        // Acquire pairs with the consumer's release store of cons in plix_ring_dequeue: its
        // reads of the slots it has given back happen before we overwrite them.
        ring->cons_cached = ring->cons.load(std::memory_order_acquire);
        if (p - ring->cons_cached >= m) return 0;
    }
    ring->slots[p & m].element = element;
    // A slot's line was last read by the consumer, so writing it means taking it from the
    // consumer's cache. Asking for it well ahead, for writing, overlaps that transfer with the
    // enqueues in between. A prefetch is only a hint: it reads and writes nothing, so it cannot
    // disturb a slot the consumer still reads.
    __builtin_prefetch(&ring->slots[(p + kRingPrefetchSlots) & m], 1);
    // Release pairs with the consumer's acquire load of prod in plix_ring_dequeue: a consumer
    // that sees the new index also sees the element in the slot.
    ring->prod.store(p + 1, std::memory_order_release);
    return 1;
}

// Producer side only. True when the ring holds `mask` elements, so that an enqueue now would be
// refused. A false answer holds until this producer enqueues: only it adds elements.
[[nodiscard]] inline bool plix_ring_full(plix_ring *ring) noexcept {
    const uint32_t p = ring->prod.load(std::memory_order_relaxed);
    if (p - ring->cons_cached < ring->mask) return false;
    // Acquire pairs with the consumer's release store of cons in plix_ring_dequeue, as in
    // plix_ring_enqueue: the slots (and whatever the consumer read through their elements
    // before dequeuing again) are done with before the producer reuses them.
    ring->cons_cached = ring->cons.load(std::memory_order_acquire);
    return p - ring->cons_cached >= ring->mask;
}

// Consumer side only. Takes the oldest element into `*element` and returns 1, or returns 0
// when the ring is empty; `*element` and both indices are then unchanged.
[[nodiscard]] inline int plix_ring_dequeue(plix_ring *ring, void **element) noexcept {
    // Only this thread writes cons, so its own relaxed load is exact.
    const uint32_t c = ring->cons.load(std::memory_order_relaxed);
    if (c == ring->prod_cached) {
        // Acquire pairs with the producer's release store of prod in plix_ring_enqueue: every
        // slot below the index we see holds its element for us.
        ring->prod_cached = ring->prod.load(std::memory_order_acquire);
        if (c == ring->prod_cached) return 0;
    }
    *element = ring->slots[c & ring->mask].element;
    // Release pairs with the producer's acquire load of cons in plix_ring_enqueue: our read of
    // the slot happens before the producer may store into it again.
    ring->cons.store(c + 1, std::memory_order_release);
    return 1;
}

namespace test_hooks {

// Puts both indices (and both cached copies) at `index`, leaving the ring empty; used to start
// a ring just below the 2^32 wrap. Only while no producer or consumer runs. Tests only.
void set_ring_indices(plix_ring *ring, uint32_t index) noexcept;

}  // namespace test_hooks

}  // namespace qel::worker
