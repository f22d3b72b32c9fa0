// Builders of the firmware's 64-byte block descriptors, for tests that post them into an
// endpoint's ring.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace qel::test {

using Descriptor = std::array<uint8_t, 64>;

inline void put16(Descriptor &d, size_t at, uint16_t v) {
    d[at] = static_cast<uint8_t>(v >> 8);
    d[at + 1] = static_cast<uint8_t>(v);
}
inline void put32(Descriptor &d, size_t at, uint32_t v) {
    put16(d, at, static_cast<uint16_t>(v >> 16));
    put16(d, at + 2, static_cast<uint16_t>(v));
}
inline void put64(Descriptor &d, size_t at, uint64_t v) {
    put32(d, at, static_cast<uint32_t>(v >> 32));
    put32(d, at + 4, static_cast<uint32_t>(v));
}

// A leader: descriptor type 1, the block id, payload type and timestamp; the payload-type
// fields from byte 28 are the caller's to add.
inline Descriptor leader(uint64_t block_id, uint16_t payload_type, uint64_t timestamp = 0,
                         uint16_t status_word = 0) {
    Descriptor d{};
    put16(d, 0, status_word);
    put16(d, 4, 1);
    put64(d, 8, block_id);
    put16(d, 18, payload_type);
    put64(d, 20, timestamp);
    return d;
}

// An image leader with its geometry.
inline Descriptor image_leader(uint64_t block_id, uint32_t pixel_format, uint32_t size_x,
                               uint32_t size_y, uint64_t timestamp = 0) {
    Descriptor d = leader(block_id, 1, timestamp);
    put32(d, 28, pixel_format);
    put32(d, 32, size_x);
    put32(d, 36, size_y);
    return d;
}

// A trailer (descriptor type 2) with a firmware status; status descriptors are trailers too.
inline Descriptor trailer(uint64_t block_id, uint16_t payload_type, uint32_t payload_length,
                          uint8_t firmware_status = 0, uint32_t packet_id = 0) {
    Descriptor d{};
    put16(d, 4, 2);
    put64(d, 8, block_id);
    put32(d, 16, packet_id);
    put32(d, 20, payload_length);
    put16(d, 34, payload_type);
    d[60] = firmware_status;
    return d;
}

// The trailer's tick count, marked present with the time byte.
inline void set_ticks(Descriptor &d, uint64_t ticks) {
    put16(d, 24, static_cast<uint16_t>(ticks >> 32));
    put32(d, 28, static_cast<uint32_t>(ticks));
    d[62] = 1;
}

}  // namespace qel::test
