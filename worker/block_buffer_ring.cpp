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
    plix_ring *ring = nullptr;
    int rc = 0;
    {
        // From the look to the registration: another thread's creation in between would find
        // no ring either, and both would succeed.
        const RegistryLock lock = lock_ring_registry();
        const plix_ring_entry *existing = plix_ring_lookup(kBlockBufferRingName, lock);
        if (existing != nullptr && existing->ring != nullptr) {
            rc = kRingExists;
        } else if ((ring = plix_ring_create(count)) == nullptr) {
            rc = kCreateFailed;
        } else if (plix_ring_register(ring, lock) != 0) {
            rc = kRegisterFailed;
        }
    }
    if (rc == 0) return ring;
    plix_ring_free(ring);  // it was not registered; null is accepted
    return refuse(count, rc);
}

}  // namespace qel::worker
