// Builds whole GVSP packets of any frame: leader, payload and trailer, first sendings and
// resent ones, and the data-less error-status packets for packets no longer held. Shared by
// the sender and the resend listener; const and safe to use from both at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "camsim/frames.h"
#include "camsim/gvsp_writer.h"

namespace qel::camsim {

class PacketSource {
public:
    PacketSource(const Config &config, const StreamLayout &layout,
                 const PayloadGenerator &generator)
        : config_(config), layout_(layout), generator_(generator) {}

    [[nodiscard]] const StreamLayout &layout() const { return layout_; }
    [[nodiscard]] uint64_t block_id(uint64_t frame) const;

    // Packet `packet_id` (0 to the trailer id) of frame `frame` into `out` (at least the packet
    // size); returns its length, 0 when the id is outside the block. A resent packet is marked
    // as such: status 0x0100 with standard ids, flag 0x0001 with extended ids.
    size_t build(std::span<uint8_t> out, uint64_t frame, uint32_t packet_id, uint64_t timestamp,
                 bool resent) const;

    // A header-only packet with an error status, for packet `packet_id` of block `block_id`.
    size_t build_error(std::span<uint8_t> out, uint64_t block_id, uint32_t packet_id,
                       uint16_t status, uint16_t flags) const;

private:
    const Config &config_;
    const StreamLayout &layout_;
    const PayloadGenerator &generator_;
};

}  // namespace qel::camsim
