#include "gvsp_builder.h"

#include <algorithm>

namespace qel::test {

namespace {

void put(Bytes &b, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) b.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

bool has_chunks(uint16_t type) {
    return (type & 0x4000) != 0;
}

}  // namespace

Bytes packet(const PacketHead &head, const Bytes &payload) {
    Bytes b;
    put(b, head.status, 2);
    if (head.ids == Ids::extended) {
        put(b, head.flags, 2);
        b.push_back(static_cast<uint8_t>(0x80 | head.format));
        put(b, 0, 3);
        put(b, head.block_id, 8);
        put(b, head.packet_id, 4);
    } else {
        put(b, head.block_id & 0xFFFF, 2);
        b.push_back(head.format);
        put(b, head.packet_id & 0xFFFFFF, 3);
    }
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes leader_payload(const BlockShape &s, uint64_t data_bytes) {
    Bytes b;
    put(b, s.leader_flags, 2);
    put(b, s.payload_type, 2);
    put(b, s.timestamp, 8);
    switch (s.payload_type & 0xBFFF) {
        case 1:  // image
        case 5:  // extended chunk, older form
            put(b, s.pixel_format, 4);
            put(b, s.size_x, 4);
            put(b, s.size_y, 4);
            put(b, s.offset_x, 4);
            put(b, s.offset_y, 4);
            put(b, s.padding_x, 2);
            put(b, s.padding_y, 2);
            break;
        case 2:  // raw data
            put(b, data_bytes, 8);
            break;
        case 3:  // file
            put(b, data_bytes, 8);
            b.insert(b.end(), s.file_name.begin(), s.file_name.end());
            b.push_back(0);
            break;
        default:
            break;
    }
    return b;
}

Bytes trailer_payload(const BlockShape &s, uint64_t data_bytes) {
    Bytes b;
    put(b, 0, 2);
    put(b, s.payload_type, 2);
    switch (s.payload_type & 0xBFFF) {
        case 1:
            put(b, s.final_size_y, 4);
            break;
        case 4:
            put(b, data_bytes, 4);
            break;
        case 5:
            put(b, data_bytes, 4);
            put(b, s.final_size_y, 4);
            put(b, s.chunk_layout_id, 4);
            break;
        default:
            break;
    }
    if (has_chunks(s.payload_type)) {
        put(b, s.chunk_data_length, 4);
        put(b, s.chunk_layout_id, 4);
    }
    return b;
}

Block make_block(Ids ids, uint64_t block_id, const BlockShape &shape, uint32_t bytes,
                 uint32_t packet_payload) {
    Block block;
    block.block_id = block_id;
    block.data.resize(bytes);
    for (uint32_t i = 0; i < bytes; ++i) {
        block.data[i] = static_cast<uint8_t>(i * 7 + block_id * 13 + (i >> 8));
    }
    PacketHead head;
    head.ids = ids;
    head.block_id = block_id;
    head.format = 1;
    head.packet_id = 0;
    block.packets.push_back(packet(head, leader_payload(shape, bytes)));
    head.format = 3;
    uint32_t id = 1;
    for (uint32_t at = 0; at < bytes; at += packet_payload, ++id) {
        const uint32_t n = std::min(packet_payload, bytes - at);
        head.packet_id = id;
        block.packets.push_back(
            packet(head, Bytes(block.data.begin() + at, block.data.begin() + at + n)));
    }
    head.format = 2;
    head.packet_id = id;
    block.packets.push_back(packet(head, trailer_payload(shape, bytes)));
    return block;
}

Bytes as_resent(const Bytes &p, Ids ids) {
    Bytes b = p;
    if (ids == Ids::extended) {
        b[3] |= 0x01;
    } else {
        b[0] = 0x01;
        b[1] = 0x00;
    }
    return b;
}

}  // namespace qel::test
