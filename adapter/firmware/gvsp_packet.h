// GVSP stream packets as the firmware reads them off the wire: the header (standard 8 bytes or
// extended-id 20 bytes) and the payload behind it. Every accessor is handed the datagram's
// length and checks it before it reads; multi-byte fields are big-endian on the wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/byte_order.h"

namespace qel::adapter::gvsp {

constexpr size_t kStandardHeaderBytes = 8;
constexpr size_t kExtendedHeaderBytes = 20;
// The largest UDP payload over IPv4.
constexpr size_t kMaxDatagramBytes = 65507;

// Packet formats (low 4 bits of header byte 4).
enum class Format : uint8_t {
    leader = 1,
    trailer = 2,
    payload = 3,
    all_in = 4,
    h264 = 5,
    multizone = 6,
    multipart = 7,
    gendc = 8,
};

// Header status words.
constexpr uint16_t kStatusSuccess = 0x0000;
constexpr uint16_t kStatusResent = 0x0100;
// Statuses with the top bit set are errors; such a packet carries no data.
constexpr uint16_t kStatusErrorBit = 0x8000;
// Extended-id header flags.
constexpr uint16_t kFlagResent = 0x0001;

// The standard header's 24-bit packet id.
constexpr uint32_t kMaxStandardPacketId = 0xFFFFFF;

// The least a leader and a trailer payload hold: the common start of every leader (field info,
// flags, payload type, timestamp) and of every trailer (reserved, payload type).
constexpr size_t kMinLeaderBytes = 12;
constexpr size_t kMinTrailerBytes = 4;

struct Header {
    uint16_t status = 0;
    uint16_t flags = 0;  // extended ids only
    Format format = Format::payload;
    bool extended = false;
    uint64_t block_id = 0;
    uint32_t packet_id = 0;
    size_t header_bytes = 0;

    bool is_error() const { return (status & kStatusErrorBit) != 0; }
    // Sent again on the host's request: status 0x0100, or the resent flag with extended ids.
    bool is_resent() const {
        return status == kStatusResent || (extended && (flags & kFlagResent) != 0);
    }
};

// Why a datagram is not a packet the firmware can use.
enum class Fault : uint8_t {
    none,
    truncated,      // shorter than its header, or than the least its format needs
    bad_format,     // a format code that GVSP does not define
    unsupported,    // a format the firmware does not reassemble (all-in, H.264, multizone, ...)
    bad_block_id,   // block id 0, which cameras do not use
    bad_packet_id,  // a leader that is not packet 0, data or trailer that is packet 0
    empty_payload,  // a data packet without data
};

// The header of `datagram` (the whole UDP payload). Reads nothing past datagram.size().
Fault parse_header(std::span<const uint8_t> datagram, Header &header);

struct Packet {
    Header header;
    std::span<const uint8_t> payload;  // the bytes after the header
};

// Parses and checks a whole packet: header fields, and for leader, data and trailer the least
// payload their format needs. Error-status packets pass with an empty payload whatever they
// carry.
Fault parse(std::span<const uint8_t> datagram, Packet &packet);

// Leader and trailer payload fields.
inline uint16_t payload_type(std::span<const uint8_t> leader_or_trailer_payload) {
    if (leader_or_trailer_payload.size() < 4) return 0;
    return load_be16(leader_or_trailer_payload.data() + 2);
}

}  // namespace qel::adapter::gvsp
