// The block descriptors that the firmware writes into an endpoint's ring: 64 bytes,
// big-endian fields, a header of the firmware's own around the GVSP leader or trailer payload,
// laid out as core/shared_memory.h says. The tag (byte 63) is the ring's to write
// (descriptor_ring.h); builders leave it 0.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/shared_memory.h"

namespace qel::adapter {

using Descriptor = std::array<uint8_t, shm::kDescriptorBytes>;

// A leader descriptor. `leader_payload` is the GVSP leader payload; its first 44 bytes are
// copied, missing bytes read as zero. An empty payload gives a leader that names only the
// block (payload type 0), for a block whose own leader has not arrived.
Descriptor leader_descriptor(uint64_t block_id, uint16_t status,
                             std::span<const uint8_t> leader_payload);

struct TrailerFields {
    uint64_t block_id = 0;
    uint16_t status = 0;
    shm::FirmwareStatus firmware_status = shm::KOB_QEL_STATUS_COMPLETE;
    uint32_t packet_id = 0;
    uint32_t payload_length = 0;
    bool has_time = false;
    uint64_t ticks = 0;  // monotonic ns; the low 48 bits are carried
    bool credit = false;
    std::span<const uint8_t> trailer_payload;  // first 28 bytes copied, missing bytes zero
    // An INCOMPLETE status that belongs to a gap report (shared_memory.h): whether the gap
    // opens its report, and its last packet id when known (in place of the trailer payload).
    bool gap_report = false;
    bool opens_report = false;
    bool has_gap_end = false;
    uint32_t gap_last = 0;
};

// A trailer descriptor, or a status descriptor (a trailer whose firmware status is not 0).
Descriptor trailer_descriptor(const TrailerFields &fields);

}  // namespace qel::adapter
