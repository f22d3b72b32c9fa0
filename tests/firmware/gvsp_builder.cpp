#include "gvsp_builder.h"

#include <algorithm>

namespace qel::test {

namespace {

void put(Bytes &b, uint64_t value, int bytes) {
    // Bytes beyond the value's eight are zero (a shift of 64 or more is undefined).
    for (int i = bytes - 1; i >= 0; --i) {
        b.push_back(i < 8 ? static_cast<uint8_t>(value >> (8 * i)) : 0);
    }
}

}  // namespace

Bytes packet(Ids ids, uint8_t format, uint64_t block_id, uint32_t packet_id, const Bytes &payload) {
    Bytes b;
    put(b, 0, 2);  // status
    if (ids == Ids::extended) {
        put(b, 0, 2);  // flags
        b.push_back(static_cast<uint8_t>(0x80 | format));
        put(b, 0, 3);
        put(b, block_id, 8);
        put(b, packet_id, 4);
    } else {
        put(b, block_id & 0xFFFF, 2);
        b.push_back(format);
        put(b, packet_id & 0xFFFFFF, 3);
    }
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes leader_payload(const BlockShape &s, uint64_t data_bytes) {
    Bytes b;
    put(b, 0, 2);
    put(b, s.payload_type, 2);
    put(b, s.timestamp, 8);
    if (s.payload_type == 1) {  // image: pixel format, size, offset, padding
        put(b, s.pixel_format, 4);
        put(b, s.size_x, 4);
        put(b, s.size_y, 4);
        put(b, 0, 12);
    } else {  // raw data
        put(b, data_bytes, 8);
    }
    return b;
}

Bytes trailer_payload(const BlockShape &s) {
    Bytes b;
    put(b, 0, 2);
    put(b, s.payload_type, 2);
    if (s.payload_type == 1) put(b, s.size_y, 4);
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
    block.packets.push_back(packet(ids, 1, block_id, 0, leader_payload(shape, bytes)));
    uint32_t id = 1;
    for (uint32_t at = 0; at < bytes; at += packet_payload, ++id) {
        const auto from = block.data.begin() + at;
        block.packets.push_back(
            packet(ids, 3, block_id, id, Bytes(from, from + std::min(packet_payload, bytes - at))));
    }
    block.packets.push_back(packet(ids, 2, block_id, id, trailer_payload(shape)));
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
