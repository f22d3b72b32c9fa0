// The producer side of an endpoint's descriptor ring and the host's wait for descriptors.
//
// Thread safety: post() may be called from any thread (the firmware's receive and timer work
// may post from different threads); posters and waiters share one mutex, held only to check
// room, write one descriptor and count it, or to sleep on the condition. The host consumes
// without any lock: it reads each descriptor after seeing its tag, and reports progress
// through the progress page, which is read here with atomic loads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>

#include "core/shared_memory.h"

namespace qel::adapter {

class DescriptorRing {
public:
    // Serves the ring `ring` (a power-of-two multiple of 64 bytes) whose consumer reports on
    // the progress page `progress` (a page, 4-byte aligned). Both outlive this object's use.
    void attach(std::span<uint8_t> ring, std::span<uint8_t> progress);

    // Writes one descriptor at the write position: bytes 0 to 62 first, then, after a release
    // fence, byte 63 with the next tag (1..15 cycling) in its low 4 bits (its high 4 bits are
    // kept from `descriptor`). Wakes every waiter. Returns false and writes nothing when the
    // ring holds no free entry (every entry posted and not yet consumed by the host), or once
    // the ring has been shut: a descriptor the host has not consumed is never overwritten.
    bool post(std::span<const uint8_t, shm::kDescriptorBytes> descriptor);

    // Whether a post would find a free entry now. With one poster (the firmware's thread),
    // a post after a true answer succeeds unless the ring is shut meanwhile.
    bool has_room() const;

    // Waits up to `timeout_ms` milliseconds until the ring holds a descriptor that the host has
    // not consumed. Returns 0 then, 138 when the time passes first, 22 when the ring is shut.
    int wait(uint32_t timeout_ms);

    // Refuses further posts and ends every wait (with 22).
    void shut();

    // Descriptors posted and not yet consumed; nothing when the host's consumed count is
    // impossible (ahead of what was posted, or behind by more than the ring holds).
    std::optional<uint32_t> unconsumed() const;
    uint64_t posted() const { return posted_.load(std::memory_order_relaxed); }
    uint32_t capacity() const { return capacity_; }

private:
    uint32_t host_consumed() const;
    bool has_unconsumed_locked() const;

    std::span<uint8_t> ring_;
    uint8_t *progress_ = nullptr;
    uint32_t capacity_ = 0;  // descriptors
    // Written under mutex_; relaxed reads outside it are for counters only.
    std::atomic<uint64_t> posted_{0};
    bool shut_ = false;
    mutable std::mutex mutex_;
    std::condition_variable posted_cv_;
};

}  // namespace qel::adapter
