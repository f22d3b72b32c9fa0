// Block descriptors: the firmware's 64-byte records in the ring of region 0, and their
// conversion into the stream's block record.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

#include "core/byte_order.h"
#include "core/shared_memory.h"
#include "qel.h"

namespace qel::recv {

// The library reads the shared ring and pages by the contract's names (recv::offset::kType,
// recv::KOB_QEL_STATUS_COMPLETE, recv::progress_page::kConsumed, ...).
using namespace qel::shm;

// What an INCOMPLETE status says of its gap beyond its first packet (shared_memory.h's gap
// report). All false for a firmware that does not report gaps.
struct GapReport {
    bool marked = false;        // the status belongs to a gap report
    bool opens_report = false;  // the first gap of its report
    bool end_known = false;     // `last` is the gap's last packet id
    uint32_t last = 0;
};

inline GapReport read_gap_report(const uint8_t *d) {
    GapReport gap;
    if (d[offset::kFirmwareStatus] != KOB_QEL_STATUS_INCOMPLETE ||
        d[offset::kGapMarker] != kGapMark) {
        return gap;
    }
    const uint8_t flags = d[offset::kGapFlags];
    gap.marked = true;
    gap.opens_report = (flags & kGapOpensReport) != 0;
    gap.end_known = (flags & kGapEndKnown) != 0;
    if (gap.end_known) gap.last = load_be32(d + offset::kGapLast);
    return gap;
}

// A result of next_descriptor: what the consumed trailer or status descriptor said.
struct DescriptorResult {
    uint32_t packet_id = 0;
    int status = 0;  // firmware status of the descriptor
    GapReport gap;   // an INCOMPLETE status's
};

// Converts one descriptor into the stream's block record. Returns its firmware status, or
// -22 for a descriptor that is neither leader nor trailer.
int kob_to_qel_block(qel_stream_t *stream, const uint8_t *descriptor);

// Takes the descriptor at the read pointer off the shared ring: waits for its tag as
// next_descriptor does (`timeout` < 0: as long as the driver allows; 0: not at all), copies it
// into `copy`, takes its credit, and moves the read pointer, the expected tag, the progress page
// and (every 16th descriptor) the doorbell past it. 0 when a descriptor was taken; QEL_EAGAIN or
// the driver wait's code when none was, and then nothing has moved. Used by next_descriptor
// and by the receive worker, the shared ring's only consumer while it is attached.
int take_descriptor(qel_stream_t *stream, int32_t timeout,
                    std::span<uint8_t, kDescriptorBytes> copy);

// Consumes the next descriptor. 0: a trailer or status descriptor was consumed (`result` holds
// its packet id and firmware status). QEL_EAGAIN: nothing to report yet. Anything else: the
// code with which the driver's wait failed. `timeout` < 0 waits as long as the driver allows,
// 0 does not wait.
int next_descriptor(qel_stream_t *stream, int32_t timeout, DescriptorResult &result);

// The host time of a tick count through the clock page; 0 when the page's divisor is 0.
uint64_t host_time_of(const uint8_t *clock_page, uint64_t ticks);

}  // namespace qel::recv
