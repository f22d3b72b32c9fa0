// Builders of the firmware's 64-byte block descriptors, for tests that post them into an
// endpoint's ring.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "core/byte_order.h"
#include "core/shared_memory.h"

namespace qel::test {

using Descriptor = std::array<uint8_t, shm::kDescriptorBytes>;

// A leader: its type, the block id, payload type and timestamp; the payload-type fields
// (shm::offset::kLeaderFields on) are the caller's to add.
inline Descriptor leader(uint64_t block_id, uint16_t payload_type, uint64_t timestamp = 0,
                         uint16_t status_word = 0) {
    Descriptor d{};
    store_be16(d.data() + shm::offset::kStatusWord, status_word);
    store_be16(d.data() + shm::offset::kType, shm::kLeader);
    store_be64(d.data() + shm::offset::kBlockId, block_id);
    store_be16(d.data() + shm::offset::kLeaderPayloadType, payload_type);
    store_be64(d.data() + shm::offset::kTimestamp, timestamp);
    return d;
}

// An image leader with its geometry.
inline Descriptor image_leader(uint64_t block_id, uint32_t pixel_format, uint32_t size_x,
                               uint32_t size_y, uint64_t timestamp = 0) {
    Descriptor d = leader(block_id, 1, timestamp);
    uint8_t *fields = d.data() + shm::offset::kLeaderFields;
    store_be32(fields, pixel_format);
    store_be32(fields + 4, size_x);
    store_be32(fields + 8, size_y);
    return d;
}

// A trailer with a firmware status; status descriptors are trailers too.
inline Descriptor trailer(uint64_t block_id, uint16_t payload_type, uint32_t payload_length,
                          uint8_t firmware_status = 0, uint32_t packet_id = 0) {
    Descriptor d{};
    store_be16(d.data() + shm::offset::kType, shm::kTrailer);
    store_be64(d.data() + shm::offset::kBlockId, block_id);
    store_be32(d.data() + shm::offset::kPacketId, packet_id);
    store_be32(d.data() + shm::offset::kPayloadLength, payload_length);
    store_be16(d.data() + shm::offset::kTrailerPayloadType, payload_type);
    d[shm::offset::kFirmwareStatus] = firmware_status;
    return d;
}

// An INCOMPLETE status that belongs to a gap report: its gap from `first` on, to `last` when
// `end_known`, and whether it opens its report.
inline Descriptor gap_status(uint64_t block_id, uint32_t first, uint32_t last, bool opens_report,
                             bool end_known = true) {
    Descriptor d = trailer(block_id, 1, 0, shm::KOB_QEL_STATUS_INCOMPLETE, first);
    d[shm::offset::kGapMarker] = shm::kGapMark;
    d[shm::offset::kGapFlags] = static_cast<uint8_t>((opens_report ? shm::kGapOpensReport : 0) |
                                                     (end_known ? shm::kGapEndKnown : 0));
    if (end_known) store_be32(d.data() + shm::offset::kGapLast, last);
    return d;
}

// The trailer's tick count, marked present with the time byte.
inline void set_ticks(Descriptor &d, uint64_t ticks) {
    store_be16(d.data() + shm::offset::kTicksHigh, static_cast<uint16_t>(ticks >> 32));
    store_be32(d.data() + shm::offset::kTicksLow, static_cast<uint32_t>(ticks));
    d[shm::offset::kTime] = 1;
}

}  // namespace qel::test
