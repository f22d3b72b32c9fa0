// Block descriptors: the firmware's 64-byte records in the ring of region 0, and their
// conversion into the stream's block record.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

#include "qel.h"

namespace qel::recv {

constexpr uint32_t kDescriptorBytes = 64;

// Firmware statuses (byte 60 of a descriptor).
constexpr int KOB_QEL_STATUS_COMPLETE = 0;
constexpr int KOB_QEL_STATUS_INCOMPLETE = 1;
constexpr int KOB_QEL_STATUS_INCOMPLETE_FINAL = 2;
constexpr int KOB_QEL_STATUS_BUFFER_OVERFLOW = 3;
constexpr int KOB_QEL_STATUS_NO_BUFFERS = 4;

constexpr uint16_t kLeader = 1;
constexpr uint16_t kTrailer = 2;

// Offsets in a descriptor. Multi-byte fields are big-endian.
namespace offset {
constexpr size_t kStatusWord = 0;
constexpr size_t kType = 4;
constexpr size_t kBlockId = 8;
constexpr size_t kBody = 16;
constexpr size_t kFirmwareStatus = 60;
constexpr size_t kCredit = 61;
constexpr size_t kTime = 62;
constexpr size_t kTag = 63;
// Leader body.
constexpr size_t kLeaderFlags = 16;
constexpr size_t kLeaderPayloadType = 18;
constexpr size_t kTimestamp = 20;
constexpr size_t kLeaderFields = 28;
// Trailer body.
constexpr size_t kPacketId = 16;
constexpr size_t kPayloadLength = 20;
constexpr size_t kTicksHigh = 24;
constexpr size_t kTicksLow = 28;
constexpr size_t kTrailerPayloadType = 34;
constexpr size_t kTrailerFields = 36;
}  // namespace offset

// Offsets in the clock page (region 4) and the progress page (region 5); host byte order.
namespace clock_page {
constexpr size_t kSequence = 0x40;
constexpr size_t kBaseTicks = 0x68;
constexpr size_t kBaseTime = 0x78;
constexpr size_t kMultiplier = 0x80;
constexpr size_t kDivisor = 0x84;
constexpr size_t kBytes = 0x88;
}  // namespace clock_page
namespace progress_page {
constexpr size_t kConsumed = 0;
constexpr size_t kExpectedTag = 4;
constexpr size_t kReadOffset = 12;
constexpr size_t kBuffersConsumed = 128;
// What the firmware may know of the stream, written at open: kStreamFlags bit 0 set when the
// library asks the camera to resend missing packets (a zero-loss stream), and the camera's
// address (first octet most significant) when the application named it, else 0.
constexpr size_t kStreamFlags = 132;
constexpr uint32_t kStreamResends = 1;
constexpr size_t kCameraAddress = 136;
// On a zero-loss stream, the block timeout of its options (ms), so that the firmware waits
// for a block's missing packets as long as the library does; 0 otherwise.
constexpr size_t kBlockTimeoutMs = 140;
constexpr size_t kBytes = 144;
}  // namespace progress_page

inline uint16_t be16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline uint32_t be32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
inline uint64_t be64(const uint8_t *p) {
    return uint64_t{be32(p)} << 32 | be32(p + 4);
}

// A result of next_descriptor: what the consumed trailer or status descriptor said.
struct DescriptorResult {
    uint32_t packet_id = 0;
    int status = 0;  // firmware status of the descriptor
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
