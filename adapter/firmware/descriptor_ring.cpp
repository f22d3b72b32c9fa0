#include "adapter/firmware/descriptor_ring.h"

#include <chrono>
#include <cstring>

#include "qel.h"

namespace qel::adapter {

void DescriptorRing::attach(std::span<uint8_t> ring, std::span<uint8_t> progress) {
    std::lock_guard lock(mutex_);
    ring_ = ring;
    progress_ = progress.size() >= shm::kPageBytes ? progress.data() : nullptr;
    capacity_ =
        progress_ != nullptr ? static_cast<uint32_t>(ring.size() / shm::kDescriptorBytes) : 0;
    posted_.store(0, std::memory_order_relaxed);
    shut_ = false;
}

uint32_t DescriptorRing::host_consumed() const {
    auto *word = reinterpret_cast<uint32_t *>(progress_ + shm::progress_page::kConsumed);
    // Acquire pairs with the host's store of its consumed count, made after it copied the
    // descriptors it counts: an entry counted as consumed is no longer read by the host.
    return std::atomic_ref<uint32_t>(*word).load(std::memory_order_acquire);
}

std::optional<uint32_t> DescriptorRing::unconsumed() const {
    if (capacity_ == 0) return std::nullopt;
    // Both counts run freely on 32 bits; their difference is right across wrap-around.
    const uint32_t pending =
        static_cast<uint32_t>(posted_.load(std::memory_order_relaxed)) - host_consumed();
    if (pending > capacity_) return std::nullopt;
    return pending;
}

bool DescriptorRing::has_unconsumed_locked() const {
    auto pending = unconsumed();
    return pending && *pending > 0;
}

bool DescriptorRing::post(std::span<const uint8_t, shm::kDescriptorBytes> descriptor) {
    {
        std::lock_guard lock(mutex_);
        if (shut_ || capacity_ == 0) return false;
        // A host whose count is impossible has written nonsense into its progress page; no
        // entry can then be proved free, so nothing is overwritten.
        auto pending = unconsumed();
        if (!pending || *pending >= capacity_) return false;
        const uint64_t count = posted_.load(std::memory_order_relaxed);
        uint8_t *slot = ring_.data() + (count % capacity_) * shm::kDescriptorBytes;
        std::memcpy(slot, descriptor.data(), shm::offset::kTag);
        const uint8_t tag = static_cast<uint8_t>((descriptor[shm::offset::kTag] & ~shm::kTagMask) |
                                                 shm::tag_of_count(count));
        // Release pairs with the host's acquire load of the tag: a host that sees the new tag
        // sees the descriptor's other 63 bytes as written above.
        std::atomic_ref<uint8_t>(slot[shm::offset::kTag]).store(tag, std::memory_order_release);
        posted_.store(count + 1, std::memory_order_relaxed);
    }
    posted_cv_.notify_all();
    return true;
}

bool DescriptorRing::has_room() const {
    std::lock_guard lock(mutex_);
    if (shut_ || capacity_ == 0) return false;
    auto pending = unconsumed();
    return pending && *pending < capacity_;
}

int DescriptorRing::wait(uint32_t timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock lock(mutex_);
    // Posts count under the mutex and notify after it, so no post is missed between the test
    // and the sleep. The host's consumed count moves without notice, but only the ring's one
    // consumer moves it, and that is the thread waiting here: it cannot grow during the sleep.
    const bool ready =
        posted_cv_.wait_until(lock, deadline, [&] { return shut_ || has_unconsumed_locked(); });
    if (shut_) return QEL_EINVAL;
    return ready ? 0 : QEL_ETIMEDOUT;
}

void DescriptorRing::shut() {
    {
        std::lock_guard lock(mutex_);
        shut_ = true;
    }
    posted_cv_.notify_all();
}

}  // namespace qel::adapter
