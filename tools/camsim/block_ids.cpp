#include "camsim/block_ids.h"

namespace qel::camsim {

namespace {

// (a + b) mod m for a, b < m, without overflowing 64 bits.
uint64_t add_mod(uint64_t a, uint64_t b, uint64_t m) {
    return b >= m - a ? b - (m - a) : a + b;
}

// (a - b) mod m for a, b < m.
uint64_t sub_mod(uint64_t a, uint64_t b, uint64_t m) {
    return a >= b ? a - b : m - (b - a);
}

}  // namespace

uint64_t block_id_of_frame(uint64_t first, bool extended_ids, uint64_t frame) {
    const uint64_t m = block_id_space(extended_ids);
    // Ids 1..m are worked on as indices 0..m-1 so that the wrap leaves 0 out.
    return add_mod(first - 1, frame % m, m) + 1;
}

std::optional<uint64_t> latest_frame_of_block(uint64_t first, bool extended_ids, uint64_t block_id,
                                              uint64_t frames_started) {
    const uint64_t m = block_id_space(extended_ids);
    if (frames_started == 0 || block_id == 0 || block_id > m) return std::nullopt;
    const uint64_t last = frames_started - 1;
    const uint64_t last_index = block_id_of_frame(first, extended_ids, last) - 1;
    const uint64_t back = sub_mod(last_index, block_id - 1, m);
    if (back > last) return std::nullopt;
    return last - back;
}

}  // namespace qel::camsim
