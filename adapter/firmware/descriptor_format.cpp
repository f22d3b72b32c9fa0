#include "adapter/firmware/descriptor_format.h"

#include <algorithm>
#include <cstring>

#include "core/byte_order.h"

namespace qel::adapter {

namespace {

void copy_prefix(Descriptor &d, size_t at, std::span<const uint8_t> from, size_t most) {
    const size_t bytes = std::min(from.size(), most);
    if (bytes != 0) std::memcpy(d.data() + at, from.data(), bytes);
}

}  // namespace

Descriptor leader_descriptor(uint64_t block_id, uint16_t status,
                             std::span<const uint8_t> leader_payload) {
    Descriptor d{};
    store_be16(d.data() + shm::offset::kStatusWord, status);
    store_be16(d.data() + shm::offset::kType, shm::kLeader);
    store_be64(d.data() + shm::offset::kBlockId, block_id);
    copy_prefix(d, shm::offset::kLeaderPayload, leader_payload, shm::kLeaderPayloadBytes);
    return d;
}

Descriptor trailer_descriptor(const TrailerFields &fields) {
    Descriptor d{};
    store_be16(d.data() + shm::offset::kStatusWord, fields.status);
    store_be16(d.data() + shm::offset::kType, shm::kTrailer);
    store_be64(d.data() + shm::offset::kBlockId, fields.block_id);
    store_be32(d.data() + shm::offset::kPacketId, fields.packet_id);
    store_be32(d.data() + shm::offset::kPayloadLength, fields.payload_length);
    if (fields.has_time) {
        const uint64_t ticks = fields.ticks & shm::kTickMask;
        store_be16(d.data() + shm::offset::kTicksHigh, static_cast<uint16_t>(ticks >> 32));
        store_be32(d.data() + shm::offset::kTicksLow, static_cast<uint32_t>(ticks));
        d[shm::offset::kTime] = 1;
    }
    if (fields.gap_report) {
        d[shm::offset::kGapMarker] = shm::kGapMark;
        d[shm::offset::kGapFlags] =
            static_cast<uint8_t>((fields.opens_report ? shm::kGapOpensReport : 0) |
                                 (fields.has_gap_end ? shm::kGapEndKnown : 0));
    }
    if (fields.gap_report && fields.has_gap_end) {
        store_be32(d.data() + shm::offset::kGapLast, fields.gap_last);
    } else {
        copy_prefix(d, shm::offset::kTrailerPayload, fields.trailer_payload,
                    shm::kTrailerPayloadBytes);
    }
    d[shm::offset::kFirmwareStatus] = static_cast<uint8_t>(fields.firmware_status);
    d[shm::offset::kCredit] = fields.credit ? 1 : 0;
    return d;
}

}  // namespace qel::adapter
