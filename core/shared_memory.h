// The memory an endpoint's firmware and the library share: the descriptor ring (region 0), the
// doorbell (region 2), the clock page (region 4) and the progress page (region 5). The firmware
// writes descriptors and the clock page and reads the progress page and the doorbell; the library
// does the reverse. Both sides take every offset, status and tag rule from this one header, so
// that neither can drift from the other. Descriptor fields are big-endian (core/byte_order.h);
// the pages are in host byte order and read and written as aligned atomic words.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel::shm {

constexpr uint32_t kPageBytes = 4096;

// ---- Descriptor ring (region 0) -------------------------------------------------------------
// 64-byte descriptors back to back. A header common to both types, then the type's body: a
// leader's first payload bytes, or a trailer's packet id, length, tick count and first payload
// bytes; then four bytes that belong to the firmware and the ring.
constexpr uint32_t kDescriptorBytes = 64;

// Descriptor types (offset::kType).
constexpr uint16_t kLeader = 1;
constexpr uint16_t kTrailer = 2;

// Firmware statuses (offset::kFirmwareStatus). A trailer whose status is not complete is a
// status descriptor. Unscoped, so that the library compares them with the byte it reads as an
// int while the firmware keeps a type of its own for them.
enum FirmwareStatus : uint8_t {
    KOB_QEL_STATUS_COMPLETE = 0,
    KOB_QEL_STATUS_INCOMPLETE = 1,        // packets are missing; the packet id names the first
                                          // (of the block, or of one gap: see the gap report)
    KOB_QEL_STATUS_INCOMPLETE_FINAL = 2,  // the block ended with packets missing
    KOB_QEL_STATUS_BUFFER_OVERFLOW = 3,   // the block needed more than its buffer
    KOB_QEL_STATUS_NO_BUFFERS = 4,        // no buffer was queued when the block came
};

// Offsets in a descriptor.
namespace offset {
// Common header.
constexpr size_t kStatusWord = 0;  // u16, the GVSP status of the leader or trailer
constexpr size_t kType = 4;        // u16, kLeader or kTrailer
constexpr size_t kBlockId = 8;     // u64
constexpr size_t kBody = 16;
// Leader body: the GVSP leader payload's first bytes, of which the library reads these.
constexpr size_t kLeaderPayload = kBody;
constexpr size_t kLeaderFlags = 16;        // u16
constexpr size_t kLeaderPayloadType = 18;  // u16
constexpr size_t kTimestamp = 20;          // u64
constexpr size_t kLeaderFields = 28;       // the payload type's own fields
// Trailer body.
constexpr size_t kPacketId = 16;            // u32
constexpr size_t kPayloadLength = 20;       // u32
constexpr size_t kTicksHigh = 24;           // u16, tick bits 32 to 47
constexpr size_t kTicksLow = 28;            // u32, tick bits 0 to 31
constexpr size_t kTrailerPayload = 32;      // the GVSP trailer payload's first bytes
constexpr size_t kTrailerPayloadType = 34;  // u16
constexpr size_t kTrailerFields = 36;       // the payload type's own fields
// The firmware's and the ring's bytes.
constexpr size_t kFirmwareStatus = 60;  // u8, a FirmwareStatus
constexpr size_t kCredit = 61;          // u8, 1: the block took a queued buffer's credit
constexpr size_t kTime = 62;            // u8, 1: the trailer's tick count is present
constexpr size_t kTag = 63;             // u8, the ring's tag in the low 4 bits
}  // namespace offset

// The gap report. An INCOMPLETE status names the first packet of a run of missing packets (a
// gap) in its packet id. A firmware that reports gaps marks the status in bytes that no reader
// of a status descriptor looked at before (every firmware before wrote 0 there): the marker
// byte holds kGapMark, and the flags byte says whether the gap opens its report
// (kGapOpensReport) and whether its last packet id is at kGapLast (kGapEndKnown). A status
// without the marker names no end: the gap runs to the block's end as far as the reader can
// tell. A status that carries a gap end carries no trailer payload bytes, since none are read
// from status descriptors.
//
// When the library has asked for gap reports (progress_page::kStreamGapReports), a report is
// one INCOMPLETE status per gap, in packet-id order, the first flagged kGapOpensReport;
// otherwise it is one status naming the first gap, as before. A gap whose end the firmware
// cannot know (packets missing after the last one received while the trailer has not come)
// is reported without kGapEndKnown, and last. One status per gap rather than a list in one
// descriptor: a PACKETRESEND request carries one range, so each status becomes exactly one
// request and the library needs no room of its own for a report's gaps; and the ring's order
// per block is kept, since only the head block reports.
namespace offset {
constexpr size_t kGapMarker = 2;  // u8, kGapMark: this status belongs to a gap report
constexpr size_t kGapFlags = 3;   // u8, kGapOpensReport | kGapEndKnown
constexpr size_t kGapLast = 56;   // u32, the gap's last packet id, with kGapEndKnown
}  // namespace offset
constexpr uint8_t kGapMark = 0x47;
constexpr uint8_t kGapOpensReport = 0x01;
constexpr uint8_t kGapEndKnown = 0x02;

// How many bytes of the leader and trailer payloads a descriptor carries: up to the firmware's
// bytes. Missing bytes read as zero.
constexpr size_t kLeaderPayloadBytes = offset::kFirmwareStatus - offset::kLeaderPayload;
constexpr size_t kTrailerPayloadBytes = offset::kFirmwareStatus - offset::kTrailerPayload;

static_assert(kLeaderPayloadBytes == 44 && kTrailerPayloadBytes == 28);
static_assert(offset::kLeaderFlags == offset::kLeaderPayload &&
              offset::kLeaderPayloadType == offset::kLeaderPayload + 2 &&
              offset::kTimestamp == offset::kLeaderPayload + 4 &&
              offset::kLeaderFields == offset::kLeaderPayload + 12);
static_assert(offset::kTrailerPayloadType == offset::kTrailerPayload + 2 &&
              offset::kTrailerFields == offset::kTrailerPayload + 4);
static_assert(offset::kTicksLow + 4 == offset::kTrailerPayload);
// The gap report sits in the common header's unread bytes and in the trailer payload's last
// word, clear of every field a status descriptor is read for.
static_assert(offset::kGapMarker == offset::kStatusWord + 2 &&
              offset::kGapFlags == offset::kGapMarker + 1 && offset::kGapFlags < offset::kType);
static_assert(offset::kGapLast >= offset::kTrailerPayload &&
              offset::kGapLast + 4 == offset::kFirmwareStatus &&
              offset::kGapLast >= offset::kPacketId + 4);
static_assert(offset::kCredit == offset::kFirmwareStatus + 1 &&
              offset::kTime == offset::kCredit + 1 && offset::kTag == offset::kTime + 1 &&
              offset::kTag == kDescriptorBytes - 1);

// Tick counts in descriptors are 48 bits wide.
constexpr uint64_t kTickMask = (uint64_t{1} << 48) - 1;

// Tags. The firmware writes a descriptor's other 63 bytes first and its tag last; the library
// takes the entry at its read position once the tag there is the one it expects. Tags run 1 to
// 15 and round again, so that a zeroed entry is never taken as posted. In a ring whose slot
// count is a multiple of 15, a slot not yet written again would hold, a lap later, the very tag
// expected there: such rings are refused.
constexpr uint8_t kTagMask = 0x0F;
constexpr uint8_t kFirstTag = 1;
constexpr uint8_t kLastTag = 15;
constexpr uint32_t kTagCycle = kLastTag - kFirstTag + 1;

// The tag of the descriptor posted as number `count` (0-based) since the ring was attached.
constexpr uint8_t tag_of_count(uint64_t count) {
    return static_cast<uint8_t>(kFirstTag + count % kTagCycle);
}
// The tag that follows `tag`.
constexpr uint8_t next_tag(uint8_t tag) {
    return tag >= kLastTag ? kFirstTag : static_cast<uint8_t>(tag + 1);
}

static_assert(kTagCycle == 15 && tag_of_count(0) == kFirstTag && tag_of_count(14) == kLastTag &&
              tag_of_count(15) == kFirstTag);
static_assert(next_tag(kLastTag) == kFirstTag && next_tag(tag_of_count(7)) == tag_of_count(8));

// ---- Doorbell (region 2) --------------------------------------------------------------------
// One 64-bit word at offset 0 whose first four bytes hold the library's consumed count
// big-endian; the library rings it every 16th descriptor.
constexpr size_t kDoorbellOffset = 0;
constexpr size_t kDoorbellBytes = 8;

// ---- Clock page (region 4) ------------------------------------------------------------------
// Written by the firmware, read by the library; guarded by a sequence word that is odd while
// the page is written.
namespace clock_page {
constexpr size_t kSequence = 0x40;    // u32
constexpr size_t kBaseTicks = 0x68;   // u64, monotonic ns (48 bits, as descriptors)
constexpr size_t kBaseTime = 0x78;    // u64, real-time ns since 1970
constexpr size_t kMultiplier = 0x80;  // u32
constexpr size_t kDivisor = 0x84;     // u32
constexpr size_t kBytes = 0x88;       // the least a clock region holds
}  // namespace clock_page

static_assert(clock_page::kSequence % 4 == 0 && clock_page::kBaseTicks % 8 == 0 &&
              clock_page::kBaseTime % 8 == 0 && clock_page::kMultiplier % 4 == 0 &&
              clock_page::kDivisor % 4 == 0);
static_assert(clock_page::kSequence + 4 <= clock_page::kBaseTicks &&
              clock_page::kBaseTicks + 8 <= clock_page::kBaseTime &&
              clock_page::kBaseTime + 8 <= clock_page::kMultiplier &&
              clock_page::kMultiplier + 4 == clock_page::kDivisor &&
              clock_page::kDivisor + 4 == clock_page::kBytes && clock_page::kBytes <= kPageBytes);

// ---- Progress page (region 5) ---------------------------------------------------------------
// Written by the library with plain stores of aligned u32 words, read by the firmware.
namespace progress_page {
constexpr size_t kConsumed = 0;           // descriptors consumed since the stream opened
constexpr size_t kExpectedTag = 4;        // the tag the library waits for next
constexpr size_t kReadOffset = 12;        // ring offset of the next descriptor to read
constexpr size_t kBuffersConsumed = 128;  // buffers the library took back
// What the firmware may know of the stream, written at open: kStreamFlags bit 0 set when the
// library asks the camera to resend missing packets (a zero-loss stream), bit 1 when it also
// reads gap reports (one INCOMPLETE status per gap, each with its end), and the camera's
// address (first octet most significant) when the application named it, else 0.
constexpr size_t kStreamFlags = 132;
constexpr uint32_t kStreamResends = 1;
constexpr uint32_t kStreamGapReports = 2;
constexpr size_t kCameraAddress = 136;
// On a zero-loss stream, the block timeout of its options (ms), so that the firmware waits for
// a block's missing packets as long as the library does; 0 otherwise (the firmware's own).
constexpr size_t kBlockTimeoutMs = 140;
constexpr size_t kBytes = 144;  // the least a progress region holds
}  // namespace progress_page

static_assert(progress_page::kConsumed + 4 <= progress_page::kExpectedTag &&
              progress_page::kExpectedTag + 4 <= progress_page::kReadOffset &&
              progress_page::kReadOffset + 4 <= progress_page::kBuffersConsumed &&
              progress_page::kBuffersConsumed + 4 == progress_page::kStreamFlags &&
              progress_page::kStreamFlags + 4 == progress_page::kCameraAddress &&
              progress_page::kCameraAddress + 4 == progress_page::kBlockTimeoutMs &&
              progress_page::kBlockTimeoutMs + 4 == progress_page::kBytes &&
              progress_page::kBytes <= kPageBytes);
static_assert(progress_page::kConsumed % 4 == 0 && progress_page::kExpectedTag % 4 == 0 &&
              progress_page::kReadOffset % 4 == 0 && progress_page::kBuffersConsumed % 4 == 0);

}  // namespace qel::shm
