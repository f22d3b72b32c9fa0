#include "adapter/firmware/gvsp_packet.h"

#include "core/byte_order.h"

namespace qel::adapter::gvsp {

namespace {

constexpr uint8_t kExtendedIdBit = 0x80;

}  // namespace

Fault parse_header(std::span<const uint8_t> datagram, Header &header) {
    if (datagram.size() < kStandardHeaderBytes) return Fault::truncated;
    const uint8_t *d = datagram.data();
    header = Header{};
    header.status = load_be16(d);
    header.extended = (d[4] & kExtendedIdBit) != 0;
    const uint8_t format = d[4] & 0x0F;
    if (header.extended) {
        if (datagram.size() < kExtendedHeaderBytes) return Fault::truncated;
        header.flags = load_be16(d + 2);
        header.block_id = load_be64(d + 8);
        header.packet_id = load_be32(d + 16);
        header.header_bytes = kExtendedHeaderBytes;
    } else {
        header.block_id = load_be16(d + 2);
        header.packet_id = load_be32(d + 4) & kMaxStandardPacketId;
        header.header_bytes = kStandardHeaderBytes;
    }
    if (format < static_cast<uint8_t>(Format::leader) ||
        format > static_cast<uint8_t>(Format::gendc)) {
        return Fault::bad_format;
    }
    header.format = static_cast<Format>(format);
    switch (header.format) {
        case Format::leader:
        case Format::trailer:
        case Format::payload:
            break;
        default:
            return Fault::unsupported;
    }
    if (header.block_id == 0) return Fault::bad_block_id;
    const bool leader = header.format == Format::leader;
    if (leader != (header.packet_id == 0)) return Fault::bad_packet_id;
    return Fault::none;
}

Fault parse(std::span<const uint8_t> datagram, Packet &packet) {
    if (Fault fault = parse_header(datagram, packet.header); fault != Fault::none) return fault;
    packet.payload = datagram.subspan(packet.header.header_bytes);
    // An error status answers for a packet the camera no longer has: nothing follows that
    // could be used, whatever the datagram holds.
    if (packet.header.is_error()) {
        packet.payload = {};
        return Fault::none;
    }
    switch (packet.header.format) {
        case Format::leader:
            if (packet.payload.size() < kMinLeaderBytes) return Fault::truncated;
            break;
        case Format::trailer:
            if (packet.payload.size() < kMinTrailerBytes) return Fault::truncated;
            break;
        default:
            if (packet.payload.empty()) return Fault::empty_payload;
            break;
    }
    return Fault::none;
}

}  // namespace qel::adapter::gvsp
