#include "camsim/history.h"

namespace qel::camsim {

FrameHistory::FrameHistory(uint32_t capacity)
    : capacity_(capacity == 0 ? 1 : capacity), slots_(std::make_unique<Slot[]>(capacity_)) {}

void FrameHistory::record(uint64_t frame, uint64_t timestamp) {
    Slot &slot = slots_[frame % capacity_];
    const uint32_t sequence = slot.sequence.load(std::memory_order_relaxed);
    slot.sequence.store(sequence + 1, std::memory_order_relaxed);
    // Release fence: the odd sequence is visible before the new frame and timestamp; pairs
    // with the acquire fence in timestamp_if_held, which then sees a changed sequence.
    std::atomic_thread_fence(std::memory_order_release);
    slot.frame.store(frame, std::memory_order_relaxed);
    slot.timestamp.store(timestamp, std::memory_order_relaxed);
    // Release: frame and timestamp are complete before the even sequence; pairs with the
    // reader's acquire load of the sequence.
    slot.sequence.store(sequence + 2, std::memory_order_release);
    // Release: the slot is written before the count says the frame started; pairs with the
    // acquire load in frames_started.
    started_.store(frame + 1, std::memory_order_release);
}

uint64_t FrameHistory::frames_started() const {
    // Acquire: pairs with the release store in record.
    return started_.load(std::memory_order_acquire);
}

std::optional<uint64_t> FrameHistory::timestamp_if_held(uint64_t frame) const {
    const Slot &slot = slots_[frame % capacity_];
    for (;;) {
        // Acquire: pairs with the even-sequence release store in record.
        const uint32_t before = slot.sequence.load(std::memory_order_acquire);
        if (before & 1) continue;  // the sender is rewriting this slot right now
        const uint64_t held = slot.frame.load(std::memory_order_relaxed);
        const uint64_t timestamp = slot.timestamp.load(std::memory_order_relaxed);
        // Acquire fence: the two loads above happen before the sequence is read again; pairs
        // with the release fence in record.
        std::atomic_thread_fence(std::memory_order_acquire);
        if (slot.sequence.load(std::memory_order_relaxed) != before) continue;
        if (held != frame) return std::nullopt;
        return timestamp;
    }
}

}  // namespace qel::camsim
