#include "adapter/firmware/descriptor_format.h"

#include <algorithm>
#include <cstring>

namespace qel::adapter {

namespace {

void put16(Descriptor &d, size_t at, uint16_t value) {
    d[at] = static_cast<uint8_t>(value >> 8);
    d[at + 1] = static_cast<uint8_t>(value);
}
void put32(Descriptor &d, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) d[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}
void put64(Descriptor &d, size_t at, uint64_t value) {
    put32(d, at, static_cast<uint32_t>(value >> 32));
    put32(d, at + 4, static_cast<uint32_t>(value));
}
void copy_prefix(Descriptor &d, size_t at, std::span<const uint8_t> from, size_t most) {
    const size_t bytes = std::min(from.size(), most);
    if (bytes != 0) std::memcpy(d.data() + at, from.data(), bytes);
}

}  // namespace

Descriptor leader_descriptor(uint64_t block_id, uint16_t status,
                             std::span<const uint8_t> leader_payload) {
    Descriptor d{};
    put16(d, descriptor::kStatusWord, status);
    put16(d, descriptor::kType, descriptor::kLeaderType);
    put64(d, descriptor::kBlockId, block_id);
    copy_prefix(d, descriptor::kLeaderPayload, leader_payload, gvsp::kLeaderCopyBytes);
    return d;
}

Descriptor trailer_descriptor(const TrailerFields &fields) {
    Descriptor d{};
    put16(d, descriptor::kStatusWord, fields.status);
    put16(d, descriptor::kType, descriptor::kTrailerType);
    put64(d, descriptor::kBlockId, fields.block_id);
    put32(d, descriptor::kPacketId, fields.packet_id);
    put32(d, descriptor::kPayloadLength, fields.payload_length);
    if (fields.has_time) {
        const uint64_t ticks = fields.ticks & kTickMask;
        put16(d, descriptor::kTicksHigh, static_cast<uint16_t>(ticks >> 32));
        put32(d, descriptor::kTicksLow, static_cast<uint32_t>(ticks));
        d[descriptor::kTime] = 1;
    }
    copy_prefix(d, descriptor::kTrailerPayload, fields.trailer_payload, gvsp::kTrailerCopyBytes);
    d[descriptor::kFirmwareStatus] = static_cast<uint8_t>(fields.firmware_status);
    d[descriptor::kCredit] = fields.credit ? 1 : 0;
    return d;
}

}  // namespace qel::adapter
