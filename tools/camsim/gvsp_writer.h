// GVSP packet building: headers (standard and extended ids), leaders and trailers of every
// payload type the simulator sends, and the geometry that cuts a block into packets. All
// fields are written big-endian; every writer checks that its output fits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "camsim/camsim.h"

namespace qel::camsim {

enum class PacketFormat : uint8_t { leader = 1, trailer = 2, payload = 3 };

inline constexpr size_t kStandardHeaderSize = 8;
inline constexpr size_t kExtendedHeaderSize = 20;
inline constexpr uint8_t kExtendedIdBit = 0x80;

inline constexpr uint16_t kStatusSuccess = 0x0000;
inline constexpr uint16_t kStatusResent = 0x0100;
inline constexpr uint16_t kStatusPacketUnavailable = 0x800C;
inline constexpr uint16_t kStatusRemovedFromMemory = 0x8012;

inline constexpr uint16_t kFlagResent = 0x0001;
inline constexpr uint16_t kFlagResendRangeError = 0x0004;

inline constexpr uint16_t kChunkPayloadBit = 0x4000;
// The chunk layout never changes within a run, so one id serves.
inline constexpr uint32_t kChunkLayoutId = 1;

// How every block of a run is laid out. Made once from the configuration.
struct StreamLayout {
    PayloadKind kind = PayloadKind::image;
    uint16_t payload_type = 0;
    bool extended_ids = false;
    uint32_t datagram_size = 0;      // UDP payload bytes of a full packet, GVSP header included
    size_t header_size = 0;          // 8 or 20
    uint32_t data_per_packet = 0;    // payload bytes of every payload packet but the last
    uint64_t payload_size = 0;       // bytes of the whole block payload
    uint32_t payload_packets = 0;    // N: payload packets are 1..N
    uint32_t trailer_packet_id = 0;  // N + 1
    // Image geometry (image, extended chunk, image with chunks).
    uint32_t pixel_format = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t image_size = 0;  // width x height x bytes per pixel
    // Chunk data: length of the chunk section (the whole payload for chunk kinds).
    uint32_t chunk_length = 0;
    std::string file_name;  // file blocks

    [[nodiscard]] bool has_image_leader() const;
    [[nodiscard]] bool has_chunks() const;
    // Offset in the block payload of payload packet `packet_id` (1..N), and its byte count.
    [[nodiscard]] uint64_t payload_offset(uint32_t packet_id) const;
    [[nodiscard]] uint32_t payload_bytes(uint32_t packet_id) const;
};

// Sizes after the GVSP header.
[[nodiscard]] size_t leader_payload_size(const StreamLayout &layout);
[[nodiscard]] size_t trailer_payload_size(const StreamLayout &layout);

// Builds the layout of a configuration whose payload is `payload_size` bytes (computed by
// the frame generator). Returns an empty text, or why the configuration cannot be sent.
[[nodiscard]] std::string make_layout(const Config &config, uint64_t payload_size,
                                      StreamLayout *layout);

struct PacketHeader {
    uint16_t status = kStatusSuccess;
    uint16_t flags = 0;  // extended ids only
    uint64_t block_id = 0;
    uint32_t packet_id = 0;
    PacketFormat format = PacketFormat::payload;
};

// Each writer returns the bytes written, or 0 when `out` is too small or a field does not fit
// the id form (a 24-bit packet id, a 16-bit block id).
size_t write_header(std::span<uint8_t> out, bool extended_ids, const PacketHeader &header);
size_t write_leader(std::span<uint8_t> out, const StreamLayout &layout, PacketHeader header,
                    uint64_t timestamp);
size_t write_trailer(std::span<uint8_t> out, const StreamLayout &layout, PacketHeader header);

}  // namespace qel::camsim
