// Layouts of the pages an endpoint shares with the host: the descriptor ring's entries, the
// doorbell, the clock page and the progress page. Offsets are fixed by the host side.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel::adapter {

constexpr uint32_t kPageBytes = 4096;

// Descriptor ring (region 0): 64-byte descriptors back to back; byte 63 carries the tag in
// its low 4 bits, 1 to 15 and round again, so that a zeroed entry is never taken as posted.
constexpr uint32_t kDescriptorBytes = 64;
constexpr uint32_t kTagOffset = 63;
constexpr uint8_t kFirstTag = 1;
constexpr uint8_t kLastTag = 15;

// The tag of the descriptor posted as number `count` (0-based) since attach.
constexpr uint8_t tag_of_count(uint64_t count) {
    return static_cast<uint8_t>(kFirstTag + count % kLastTag);
}

// Doorbell (region 2): one 64-bit slot at offset 0, the host's consumed count big-endian.
constexpr size_t kDoorbellOffset = 0;

// Clock page (region 4), host byte order, guarded by a sequence word that is odd while written.
struct ClockPageLayout {
    static constexpr size_t kSequence = 0x40;    // u32
    static constexpr size_t kBaseTicks = 0x68;   // u64, monotonic ns (48 bits, as descriptors)
    static constexpr size_t kBaseTime = 0x78;    // u64, real-time ns since 1970
    static constexpr size_t kMultiplier = 0x80;  // u32
    static constexpr size_t kDivisor = 0x84;     // u32
};

// Progress page (region 5), written by the host with plain stores.
struct ProgressPageLayout {
    static constexpr size_t kConsumed = 0;           // u32, descriptors consumed since open
    static constexpr size_t kNextTag = 4;            // u32
    static constexpr size_t kReadOffset = 12;        // u32, ring offset of the next to read
    static constexpr size_t kBuffersConsumed = 128;  // u32
    // Written at stream open: bit 0 set when the host asks the camera to resend missing
    // packets; the camera's IPv4 address (first octet most significant), 0 when not named.
    static constexpr size_t kStreamFlags = 132;  // u32
    static constexpr uint32_t kStreamResends = 1;
    static constexpr size_t kCameraAddress = 136;  // u32
    // Written at stream open: how long the host waits for a block's missing packets (ms),
    // which the firmware then waits as well; 0: the firmware's own setting.
    static constexpr size_t kBlockTimeoutMs = 140;  // u32
};

// Tick counts in descriptors are 48 bits wide.
constexpr uint64_t kTickMask = (uint64_t{1} << 48) - 1;

}  // namespace qel::adapter
