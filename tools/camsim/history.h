// The frames the simulator still holds for resending. Payload bytes are built again on demand,
// so a held frame is only its number and the timestamp its leader carried. The sender records
// each frame as it starts sending it; the resend listener reads from another thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

namespace qel::camsim {

class FrameHistory {
public:
    explicit FrameHistory(uint32_t capacity);

    // Sender thread only: frame `frame` starts now, with this leader timestamp. Frames are
    // recorded in increasing order; the oldest held frame falls out.
    void record(uint64_t frame, uint64_t timestamp);

    // Any thread: the number of frames started so far.
    [[nodiscard]] uint64_t frames_started() const;
    // Any thread: the leader timestamp of `frame` while it is held, none once it fell out
    // (or before it started).
    [[nodiscard]] std::optional<uint64_t> timestamp_if_held(uint64_t frame) const;
    [[nodiscard]] uint32_t capacity() const { return capacity_; }

private:
    static constexpr uint64_t kNoFrame = UINT64_MAX;
    // One slot per frame number modulo the capacity, written under a sequence count (odd while
    // the sender rewrites the slot), so that a reader never takes one frame's timestamp for
    // another's.
    struct Slot {
        std::atomic<uint32_t> sequence{0};
        std::atomic<uint64_t> frame{kNoFrame};
        std::atomic<uint64_t> timestamp{0};
    };

    uint32_t capacity_;
    std::unique_ptr<Slot[]> slots_;
    std::atomic<uint64_t> started_{0};
};

}  // namespace qel::camsim
