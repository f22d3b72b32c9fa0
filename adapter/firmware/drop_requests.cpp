#include "adapter/firmware/drop_requests.h"

#include "qel.h"

namespace qel::adapter {

int DropRequests::add(uint32_t block, uint32_t packet) {
    std::lock_guard lock(mutex_);
    for (uint32_t i = 0; i < count_; ++i) {
        if (requests_[i].block == block && requests_[i].packet == packet) return 0;
    }
    if (count_ == kMaxRequests) return QEL_ENOMEM;
    requests_[count_++] = Request{block, packet};
    // Release pairs with the acquire in take(): a firmware that sees the count sees the
    // request (it then also takes the mutex, which would be enough on its own).
    pending_.store(count_, std::memory_order_release);
    return 0;
}

bool DropRequests::take(uint64_t block, uint32_t packet) {
    // A request added while a packet is on its way may miss that packet: it is for the
    // packets to come.
    if (pending_.load(std::memory_order_acquire) == 0) return false;
    const auto low = static_cast<uint32_t>(block);
    std::lock_guard lock(mutex_);
    for (uint32_t i = 0; i < count_; ++i) {
        if (requests_[i].block == low && requests_[i].packet == packet) {
            requests_[i] = requests_[--count_];
            pending_.store(count_, std::memory_order_release);
            return true;
        }
    }
    return false;
}

void DropRequests::clear() {
    std::lock_guard lock(mutex_);
    count_ = 0;
    pending_.store(0, std::memory_order_release);
}

uint32_t DropRequests::pending() const {
    std::lock_guard lock(mutex_);
    return count_;
}

}  // namespace qel::adapter
