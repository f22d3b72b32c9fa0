// Block ids of frames. Frame n carries first + n, counted modulo the id space without its 0:
// standard ids run 1..65535 and then 1 again, extended ids 1..2^64-1. A resend request names a
// block id; the frame it means is the most recent one sent with that id.
#pragma once

#include <cstdint>
#include <optional>

namespace qel::camsim {

// The number of usable ids: 65535 with standard ids, 2^64 - 1 with extended ids.
[[nodiscard]] constexpr uint64_t block_id_space(bool extended_ids) {
    return extended_ids ? UINT64_MAX : 0xFFFF;
}

// Block id of frame `frame` when frame 0 carries `first` (1 <= first <= the id space).
[[nodiscard]] uint64_t block_id_of_frame(uint64_t first, bool extended_ids, uint64_t frame);

// The most recent frame below `frames_started` that carried `block_id`; none when no frame
// sent so far carried it (or the id is 0 or outside the id space).
[[nodiscard]] std::optional<uint64_t> latest_frame_of_block(uint64_t first, bool extended_ids,
                                                            uint64_t block_id,
                                                            uint64_t frames_started);

}  // namespace qel::camsim
