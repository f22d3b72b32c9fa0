// The worker's ring: one per process, kept unique through the registry.
#include <cstdio>

#include "worker/plix_ring.h"
#include "worker/ring_registry.h"

namespace qel::worker {

namespace {

// Reasons written in the failure line.
constexpr int kRingExists = 298;
constexpr int kCreateFailed = 303;
constexpr int kRegisterFailed = 310;

plix_ring *refuse(uint32_t count, int rc) {
    std::fprintf(stderr, "failed to create ring named:%s count=%u rc=%d\n", kBlockBufferRingName,
                 count, rc);
    return nullptr;
}

}  // namespace

plix_ring *qel_bbr_create(uint32_t count) noexcept {
    const plix_ring_entry *existing = plix_ring_lookup(kBlockBufferRingName);
    if (existing != nullptr && existing->ring != nullptr) return refuse(count, kRingExists);

    plix_ring *ring = plix_ring_create(count);
    if (ring == nullptr) return refuse(count, kCreateFailed);

    if (plix_ring_register(ring) != 0) {
        plix_ring_free(ring);
        return refuse(count, kRegisterFailed);
    }
    return ring;
}

}  // namespace qel::worker
