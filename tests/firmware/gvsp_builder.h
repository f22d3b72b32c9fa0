// GVSP packets and whole blocks as a camera sends them, for the firmware's tests.
#pragma once

#include <cstdint>
#include <vector>

namespace qel::test {

using Bytes = std::vector<uint8_t>;

enum class Ids { standard, extended };

// One packet: its header (format 1 leader, 2 trailer, 3 data) and payload.
Bytes packet(Ids ids, uint8_t format, uint64_t block_id, uint32_t packet_id, const Bytes &payload);

// The leader and trailer payloads of an image (1) or raw-data (2) block of `bytes` of data.
struct BlockShape {
    uint16_t payload_type = 1;
    uint64_t timestamp = 0x1122334455667788ull;
    uint32_t pixel_format = 0x01080001;  // Mono8
    uint32_t size_x = 64;
    uint32_t size_y = 16;
};
Bytes leader_payload(const BlockShape &shape, uint64_t data_bytes);
Bytes trailer_payload(const BlockShape &shape);

// A whole block: its packets in sending order (leader, data 1..N, trailer) and its data.
struct Block {
    uint64_t block_id = 0;
    Bytes data;
    std::vector<Bytes> packets;  // [0] leader, [1..N] data, [N+1] trailer
    uint32_t data_packets() const { return static_cast<uint32_t>(packets.size()) - 2; }
};
// Data of `bytes` bytes (a pattern that differs per block), cut into packets of
// `packet_payload` data bytes.
Block make_block(Ids ids, uint64_t block_id, const BlockShape &shape, uint32_t bytes,
                 uint32_t packet_payload);

// The packet `packet` marked as resent (status 0x0100, or the resent flag with extended ids).
Bytes as_resent(const Bytes &packet, Ids ids);

}  // namespace qel::test
