#include "camsim/faults.h"

#include <algorithm>

namespace qel::camsim {

namespace {

constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull;

}  // namespace

uint64_t FaultRandom::next() {
    uint64_t z = (state_ += kGolden);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool FaultRandom::chance(uint32_t per_mille) {
    if (per_mille == 0) return false;
    if (per_mille >= 1000) return true;
    // The top 32 bits scaled to 0..999.
    return ((next() >> 32) * 1000 >> 32) < per_mille;
}

FaultPlan::FaultPlan(const FaultConfig &faults) : faults_(faults) {
    std::sort(faults_.drops.begin(), faults_.drops.end(),
              [](const PacketRef &a, const PacketRef &b) {
                  return a.frame != b.frame ? a.frame < b.frame : a.packet_id < b.packet_id;
              });
    // Reserved once, so that no frame allocates.
    frame_drops_.reserve(faults_.drops.size());
}

void FaultPlan::begin_frame(uint64_t frame, uint32_t trailer_id) {
    // Mixing the frame number through the generator keeps neighbouring frames unrelated.
    FaultRandom mix(faults_.seed ^ (frame * kGolden));
    random_ = FaultRandom(mix.next());
    frame_ = frame;
    trailer_id_ = trailer_id;
    cursor_ = 0;
    burst_left_ = 0;
    duplicate_pending_ = false;
    delayed_head_ = 0;
    delayed_count_ = 0;
    withheld_ = duplicated_ = reordered_ = 0;
    leader_lost_ = random_.chance(faults_.leader_loss_per_mille);
    trailer_lost_ = random_.chance(faults_.trailer_loss_per_mille);

    frame_drops_.clear();
    next_drop_ = 0;
    auto it = std::lower_bound(faults_.drops.begin(), faults_.drops.end(), frame,
                               [](const PacketRef &a, uint64_t f) { return a.frame < f; });
    for (; it != faults_.drops.end() && it->frame == frame; ++it) {
        frame_drops_.push_back(it->packet_id);
    }
}

bool FaultPlan::withhold(uint32_t packet_id) {
    while (next_drop_ < frame_drops_.size() && frame_drops_[next_drop_] < packet_id) ++next_drop_;
    if (next_drop_ < frame_drops_.size() && frame_drops_[next_drop_] == packet_id) return true;
    if (packet_id == 0 && leader_lost_) return true;
    if (packet_id == trailer_id_ && trailer_lost_) return true;
    if (burst_left_ != 0) {
        --burst_left_;
        return true;
    }
    if (random_.chance(faults_.burst_per_mille)) {
        burst_left_ = faults_.burst_length - 1;
        return true;
    }
    return random_.chance(faults_.loss_per_mille);
}

bool FaultPlan::next(uint32_t *packet_id) {
    if (duplicate_pending_) {
        duplicate_pending_ = false;
        ++duplicated_;
        *packet_id = duplicate_id_;
        return true;
    }
    for (;;) {
        // A delayed packet goes out once the packets it was held behind were considered.
        if (delayed_count_ != 0) {
            const Delayed &d = delayed_[delayed_head_];
            if (cursor_ > d.release_after || cursor_ > trailer_id_) {
                *packet_id = d.packet_id;
                delayed_head_ = (delayed_head_ + 1) % kMaxDelayed;
                --delayed_count_;
                return true;
            }
        }
        if (cursor_ > trailer_id_) return false;
        const auto id = static_cast<uint32_t>(cursor_++);
        if (withhold(id)) {
            ++withheld_;
            continue;
        }
        if (delayed_count_ < kMaxDelayed && random_.chance(faults_.reorder_per_mille)) {
            delayed_[(delayed_head_ + delayed_count_) % kMaxDelayed] = {
                id, uint64_t{id} + faults_.reorder_distance};
            ++delayed_count_;
            ++reordered_;
            continue;
        }
        if (random_.chance(faults_.duplicate_per_mille)) {
            duplicate_pending_ = true;
            duplicate_id_ = id;
        }
        *packet_id = id;
        return true;
    }
}

}  // namespace qel::camsim
