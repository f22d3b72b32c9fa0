// GVSP packets and whole blocks as a camera sends them, for the firmware's tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qel::test {

using Bytes = std::vector<uint8_t>;

enum class Ids { standard, extended };

// One packet's header fields.
struct PacketHead {
    Ids ids = Ids::standard;
    uint16_t status = 0;
    uint16_t flags = 0;  // extended ids only
    uint8_t format = 3;
    uint64_t block_id = 1;
    uint32_t packet_id = 1;
};

Bytes packet(const PacketHead &head, const Bytes &payload);

inline PacketHead head(Ids ids, uint8_t format, uint64_t block, uint32_t packet,
                       uint16_t status = 0, uint16_t flags = 0) {
    return PacketHead{ids, status, flags, format, block, packet};
}

// The leader and trailer payloads of a block of `payload_type` with `bytes` of data, filled
// with recognisable field values (see below).
struct BlockShape {
    uint16_t payload_type = 1;
    uint64_t timestamp = 0x1122334455667788ull;
    uint32_t pixel_format = 0x01080001;  // Mono8
    uint32_t size_x = 64;
    uint32_t size_y = 16;
    uint32_t offset_x = 3;
    uint32_t offset_y = 5;
    uint16_t padding_x = 7;
    uint16_t padding_y = 9;
    uint16_t leader_flags = 0x0001;
    std::string file_name = "a-file-name-longer-than-24-bytes.raw";
    uint32_t chunk_data_length = 0xC0C0;
    uint32_t chunk_layout_id = 0x1A1A;
    uint32_t final_size_y = 15;
};
Bytes leader_payload(const BlockShape &shape, uint64_t data_bytes);
Bytes trailer_payload(const BlockShape &shape, uint64_t data_bytes);

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
