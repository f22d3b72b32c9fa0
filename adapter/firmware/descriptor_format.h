// The block descriptors that the firmware writes into an endpoint's ring: 64 bytes,
// big-endian fields, a header of the firmware's own around the GVSP leader or trailer payload.
// The tag (byte 63) is the ring's to write (descriptor_ring.h); builders leave it 0.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "adapter/firmware/gvsp_packet.h"
#include "adapter/firmware/shared_pages.h"

namespace qel::adapter {

using Descriptor = std::array<uint8_t, kDescriptorBytes>;

namespace descriptor {
// Common header.
constexpr size_t kStatusWord = 0;  // u16, the GVSP status of the leader or trailer
constexpr size_t kType = 4;        // u16
constexpr size_t kBlockId = 8;     // u64
constexpr size_t kBody = 16;
constexpr size_t kFirmwareStatus = 60;
constexpr size_t kCredit = 61;
constexpr size_t kTime = 62;
// Leader body: the leader payload's first bytes.
constexpr size_t kLeaderPayload = kBody;
// Trailer body.
constexpr size_t kPacketId = 16;        // u32
constexpr size_t kPayloadLength = 20;   // u32
constexpr size_t kTicksHigh = 24;       // u16, tick bits 32 to 47
constexpr size_t kTicksLow = 28;        // u32, tick bits 0 to 31
constexpr size_t kTrailerPayload = 32;  // the trailer payload's first bytes

constexpr uint16_t kLeaderType = 1;
constexpr uint16_t kTrailerType = 2;

// The copied payloads fill the bodies exactly, up to the firmware status.
static_assert(kLeaderPayload + gvsp::kLeaderCopyBytes == kFirmwareStatus);
static_assert(kTrailerPayload + gvsp::kTrailerCopyBytes == kFirmwareStatus);
static_assert(kTagOffset == kTime + 1 && kTime == kCredit + 1 && kCredit == kFirmwareStatus + 1);
}  // namespace descriptor

// Firmware statuses (descriptor byte 60).
enum class FirmwareStatus : uint8_t {
    complete = 0,
    incomplete = 1,        // packets are missing; the packet id names the first
    incomplete_final = 2,  // the block ended with packets missing
    buffer_overflow = 3,   // the block needed more than its buffer
    no_buffers = 4,        // no buffer was queued when the block came
};

// A leader descriptor. `leader_payload` is the GVSP leader payload; its first 44 bytes are
// copied, missing bytes read as zero. An empty payload gives a leader that names only the
// block (payload type 0), for a block whose own leader has not arrived.
Descriptor leader_descriptor(uint64_t block_id, uint16_t status,
                             std::span<const uint8_t> leader_payload);

struct TrailerFields {
    uint64_t block_id = 0;
    uint16_t status = 0;
    FirmwareStatus firmware_status = FirmwareStatus::complete;
    uint32_t packet_id = 0;
    uint32_t payload_length = 0;
    bool has_time = false;
    uint64_t ticks = 0;  // monotonic ns; the low 48 bits are carried
    bool credit = false;
    std::span<const uint8_t> trailer_payload;  // first 28 bytes copied, missing bytes zero
};

// A trailer descriptor, or a status descriptor (a trailer whose firmware status is not 0).
Descriptor trailer_descriptor(const TrailerFields &fields);

}  // namespace qel::adapter
