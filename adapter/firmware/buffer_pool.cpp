#include "adapter/firmware/buffer_pool.h"

#include <sys/mman.h>

#include "core/shared_memory.h"
#include "qel.h"

namespace qel::adapter {

namespace {

// Whether [address, address + length) is mapped in this process. msync checks the range
// without touching it and fails with ENOMEM where a page is not mapped, as a real driver's
// pinning would fail on memory the process does not have.
bool mapped(uint64_t address, uint32_t length) {
    const uint64_t rounded =
        (uint64_t{length} + shm::kPageBytes - 1) / shm::kPageBytes * shm::kPageBytes;
    return msync(reinterpret_cast<void *>(static_cast<uintptr_t>(address)), rounded, MS_ASYNC) == 0;
}

// Faults the range in, writable, as a hardware driver's pinning does, keeping what it holds.
// Otherwise the firmware's first write into each page faults and zeroes it on the receive
// path: for a stream's buffers of megabytes in huge pages that cost the firmware's thread
// seconds at the start of a stream (on a virtual machine), while the socket overflowed. Only
// advice: memory the kernel cannot populate is pinned as before.
void populate(uint64_t address, uint32_t length) {
#ifdef MADV_POPULATE_WRITE
    // The caller has checked that the address is page-aligned.
    (void)madvise(reinterpret_cast<void *>(static_cast<uintptr_t>(address)), length,
                  MADV_POPULATE_WRITE);
#else
    (void)address;
    (void)length;
#endif
}

}  // namespace

BufferPool::BufferPool() : slots_(kMaxBuffers), fifo_(kMaxBuffers) {}

BufferPool::Slot *BufferPool::slot_of(uint32_t index) {
    if (index == 0 || index > kMaxBuffers) return nullptr;
    Slot &slot = slots_[index - 1];
    return slot.state == State::unused ? nullptr : &slot;
}

int BufferPool::pin(uint64_t address, uint32_t length, uint32_t *index) {
    if (address == 0 || address % shm::kPageBytes != 0 || length == 0) return QEL_EINVAL;
    if (address > UINTPTR_MAX - length) return QEL_EINVAL;
    if (!mapped(address, length)) return QEL_EINVAL;
    populate(address, length);
    std::lock_guard lock(mutex_);
    Slot *free_slot = nullptr;
    for (Slot &slot : slots_) {
        if (slot.state == State::unused) {
            if (free_slot == nullptr) free_slot = &slot;
            continue;
        }
        // Two pinned buffers sharing memory would have the firmware write two blocks over
        // each other.
        if (address < slot.address + slot.length && slot.address < address + length) {
            return QEL_EINVAL;
        }
    }
    if (free_slot == nullptr) return QEL_ENOMEM;
    *free_slot = Slot{address, length, State::idle};
    ++pinned_;
    *index = static_cast<uint32_t>(free_slot - slots_.data()) + 1;
    return 0;
}

int BufferPool::unpin(uint32_t index, bool withdraw_queued) {
    std::lock_guard lock(mutex_);
    Slot *slot = slot_of(index);
    if (slot == nullptr) return QEL_EINVAL;
    if (slot->state == State::queued && withdraw_queued) {
        uint32_t kept = 0;
        for (uint32_t i = 0; i < fifo_count_; ++i) {
            const Queued entry = fifo_[(fifo_head_ + i) % kMaxBuffers];
            if (entry.index != index) fifo_[(fifo_head_ + kept++) % kMaxBuffers] = entry;
        }
        fifo_count_ = kept;
        slot->state = State::idle;
    }
    if (slot->state != State::idle) return QEL_EBUSY;
    *slot = Slot{};
    --pinned_;
    return 0;
}

int BufferPool::queue(uint32_t index, uint32_t credit) {
    if (credit > 1) return QEL_EINVAL;
    std::lock_guard lock(mutex_);
    Slot *slot = slot_of(index);
    if (slot == nullptr) return QEL_EINVAL;
    // Queued twice, the firmware would fill one buffer with two blocks.
    if (slot->state != State::idle) return QEL_EBUSY;
    // Every buffer is in the FIFO at most once, so it cannot overflow.
    fifo_[(fifo_head_ + fifo_count_) % kMaxBuffers] = Queued{index, credit == 1};
    ++fifo_count_;
    slot->state = State::queued;
    return 0;
}

void BufferPool::clear() {
    std::lock_guard lock(mutex_);
    for (Slot &slot : slots_) slot = Slot{};
    fifo_head_ = 0;
    fifo_count_ = 0;
    pinned_ = 0;
}

std::optional<FreeBuffer> BufferPool::take_next() {
    std::lock_guard lock(mutex_);
    if (fifo_count_ == 0) return std::nullopt;
    const Queued head = fifo_[fifo_head_];
    fifo_head_ = (fifo_head_ + 1) % kMaxBuffers;
    --fifo_count_;
    Slot &slot = slots_[head.index - 1];
    slot.state = State::filling;
    return FreeBuffer{head.index, reinterpret_cast<uint8_t *>(static_cast<uintptr_t>(slot.address)),
                      slot.length, head.credit};
}

bool BufferPool::finish(uint32_t index) {
    std::lock_guard lock(mutex_);
    Slot *slot = slot_of(index);
    if (slot == nullptr || slot->state != State::filling) return false;
    slot->state = State::idle;
    return true;
}

uint32_t BufferPool::queued_count() const {
    std::lock_guard lock(mutex_);
    return fifo_count_;
}

uint32_t BufferPool::pinned_count() const {
    std::lock_guard lock(mutex_);
    return pinned_;
}

}  // namespace qel::adapter
