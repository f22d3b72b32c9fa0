// Seeded faults: the order in which one frame's packets are first sent, with some withheld,
// some sent late and some sent twice. The generator is seeded from (seed, frame number) alone,
// so every frame's faults are the same in every run whatever the timing, and a test can plan
// a frame without sending it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "camsim/camsim.h"

namespace qel::camsim {

// splitmix64: small, fast and good enough to draw faults from.
class FaultRandom {
public:
    explicit FaultRandom(uint64_t seed = 0) : state_(seed) {}
    uint64_t next();
    // True with a chance of `per_mille` / 1000; draws nothing for 0.
    bool chance(uint32_t per_mille);

private:
    uint64_t state_;
};

class FaultPlan {
public:
    explicit FaultPlan(const FaultConfig &faults);

    // Starts frame `frame` whose packets are 0 (leader) to `trailer_id`.
    void begin_frame(uint64_t frame, uint32_t trailer_id);
    // The next packet id to send; false when the frame has no more packets to send.
    bool next(uint32_t *packet_id);

    // What this frame's faults did so far.
    [[nodiscard]] uint64_t withheld() const { return withheld_; }
    [[nodiscard]] uint64_t duplicated() const { return duplicated_; }
    [[nodiscard]] uint64_t reordered() const { return reordered_; }

private:
    struct Delayed {
        uint32_t packet_id;
        uint64_t release_after;  // sent once the cursor has passed this packet id
    };
    static constexpr size_t kMaxDelayed = 64;

    bool withhold(uint32_t packet_id);

    FaultConfig faults_;  // drops sorted by (frame, packet id)
    FaultRandom random_;
    std::vector<uint32_t> frame_drops_;  // this frame's exact drops, sorted
    size_t next_drop_ = 0;
    uint64_t frame_ = 0;
    uint32_t trailer_id_ = 0;
    uint64_t cursor_ = 0;  // next packet id to consider; beyond trailer_id_ when all were
    uint32_t burst_left_ = 0;
    bool leader_lost_ = false;
    bool trailer_lost_ = false;
    bool duplicate_pending_ = false;
    uint32_t duplicate_id_ = 0;
    std::array<Delayed, kMaxDelayed> delayed_{};
    size_t delayed_head_ = 0;
    size_t delayed_count_ = 0;
    uint64_t withheld_ = 0;
    uint64_t duplicated_ = 0;
    uint64_t reordered_ = 0;
};

}  // namespace qel::camsim
