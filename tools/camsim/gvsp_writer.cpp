#include "camsim/gvsp_writer.h"

#include <cstring>

#include "core/byte_order.h"

namespace qel::camsim {

namespace {

// Every leader starts with field info, flags, payload type and the timestamp.
constexpr size_t kLeaderCommonSize = 12;
constexpr size_t kImageLeaderSize = 36;
constexpr size_t kSizedLeaderSize = 20;  // raw data and file: 64-bit payload size
constexpr uint64_t kMaxStandardPacketId = 0xFFFFFF;
constexpr uint64_t kMaxStandardBlockId = 0xFFFF;

}  // namespace

bool StreamLayout::has_image_leader() const {
    return kind == PayloadKind::image || kind == PayloadKind::extended_chunk ||
           kind == PayloadKind::image_extended_chunk;
}

bool StreamLayout::has_chunks() const {
    return kind == PayloadKind::chunk || kind == PayloadKind::extended_chunk ||
           kind == PayloadKind::image_extended_chunk;
}

uint64_t StreamLayout::payload_offset(uint32_t packet_id) const {
    return static_cast<uint64_t>(packet_id - 1) * data_per_packet;
}

uint32_t StreamLayout::payload_bytes(uint32_t packet_id) const {
    if (packet_id == 0 || packet_id > payload_packets) return 0;
    const uint64_t offset = payload_offset(packet_id);
    const uint64_t left = payload_size - offset;
    return static_cast<uint32_t>(left < data_per_packet ? left : data_per_packet);
}

size_t leader_payload_size(const StreamLayout &layout) {
    switch (layout.kind) {
        case PayloadKind::image:
        case PayloadKind::extended_chunk:
        case PayloadKind::image_extended_chunk:
            return kImageLeaderSize;
        case PayloadKind::raw:
            return kSizedLeaderSize;
        case PayloadKind::file:
            return kSizedLeaderSize + layout.file_name.size() + 1;
        case PayloadKind::chunk:
            return kLeaderCommonSize;
    }
    return 0;
}

size_t trailer_payload_size(const StreamLayout &layout) {
    switch (layout.kind) {
        case PayloadKind::image:
        case PayloadKind::chunk:
            return 8;
        case PayloadKind::raw:
        case PayloadKind::file:
            return 4;
        case PayloadKind::extended_chunk:
        case PayloadKind::image_extended_chunk:
            return 16;
    }
    return 0;
}

std::string make_layout(const Config &config, uint64_t payload_size, StreamLayout *layout) {
    StreamLayout l;
    l.kind = config.payload;
    l.payload_type = payload_type_code(config.payload);
    l.extended_ids = config.extended_ids;
    l.header_size = config.extended_ids ? kExtendedHeaderSize : kStandardHeaderSize;
    l.payload_size = payload_size;
    l.file_name = config.file_name;
    if (l.has_image_leader() || l.has_chunks()) {
        l.pixel_format = static_cast<uint32_t>(config.pixel_format);
        l.width = config.width;
        l.height = config.height;
        l.image_size =
            uint64_t{config.width} * config.height * bytes_per_pixel(config.pixel_format);
    }
    if (l.has_chunks()) l.chunk_length = static_cast<uint32_t>(payload_size);

    if (config.packet_size < kMinPacketSize || config.packet_size > kMaxPacketSize) {
        return "packet size must be from " + std::to_string(kMinPacketSize) + " to " +
               std::to_string(kMaxPacketSize) + " bytes";
    }
    if (payload_size == 0 || payload_size > kMaxPayloadBytes) {
        return "block payload must be from 1 to " + std::to_string(kMaxPayloadBytes) + " bytes";
    }
    l.datagram_size = config.packet_size - kIpUdpHeaderSize;
    const size_t room = l.datagram_size - l.header_size;
    if (leader_payload_size(l) > room) {
        return "the leader (file name of " + std::to_string(l.file_name.size()) +
               " bytes) does not fit a packet of " + std::to_string(config.packet_size) + " bytes";
    }
    l.data_per_packet = static_cast<uint32_t>(room);
    const uint64_t packets = (payload_size + room - 1) / room;
    const uint64_t max_id = config.extended_ids ? 0xFFFFFFFFull : kMaxStandardPacketId;
    if (packets + 1 > max_id) {
        return "a block of " + std::to_string(payload_size) + " bytes needs " +
               std::to_string(packets) + " packets, more than " +
               (config.extended_ids ? "32-bit" : "24-bit") + " packet ids allow";
    }
    l.payload_packets = static_cast<uint32_t>(packets);
    l.trailer_packet_id = static_cast<uint32_t>(packets + 1);
    *layout = std::move(l);
    return {};
}

size_t write_header(std::span<uint8_t> out, bool extended_ids, const PacketHeader &header) {
    const auto format = static_cast<uint8_t>(header.format);
    if (extended_ids) {
        if (out.size() < kExtendedHeaderSize) return 0;
        uint8_t *p = out.data();
        store_be16(p, header.status);
        store_be16(p + 2, header.flags);
        p[4] = kExtendedIdBit | format;
        p[5] = p[6] = p[7] = 0;
        store_be64(p + 8, header.block_id);
        store_be32(p + 16, header.packet_id);
        return kExtendedHeaderSize;
    }
    if (out.size() < kStandardHeaderSize || header.packet_id > kMaxStandardPacketId ||
        header.block_id > kMaxStandardBlockId) {
        return 0;
    }
    uint8_t *p = out.data();
    store_be16(p, header.status);
    store_be16(p + 2, static_cast<uint16_t>(header.block_id));
    p[4] = format;
    p[5] = static_cast<uint8_t>(header.packet_id >> 16);
    p[6] = static_cast<uint8_t>(header.packet_id >> 8);
    p[7] = static_cast<uint8_t>(header.packet_id);
    return kStandardHeaderSize;
}

size_t write_leader(std::span<uint8_t> out, const StreamLayout &layout, PacketHeader header,
                    uint64_t timestamp) {
    header.format = PacketFormat::leader;
    header.packet_id = 0;
    const size_t body = leader_payload_size(layout);
    if (out.size() < layout.header_size + body) return 0;
    const size_t h = write_header(out, layout.extended_ids, header);
    if (h == 0) return 0;
    uint8_t *p = out.data() + h;
    std::memset(p, 0, body);
    store_be16(p + 2, layout.payload_type);
    store_be64(p + 4, timestamp);
    switch (layout.kind) {
        case PayloadKind::image:
        case PayloadKind::extended_chunk:
        case PayloadKind::image_extended_chunk:
            store_be32(p + 12, layout.pixel_format);
            store_be32(p + 16, layout.width);
            store_be32(p + 20, layout.height);
            // Offsets and paddings stay 0: the whole sensor, rows packed.
            break;
        case PayloadKind::raw:
            store_be64(p + 12, layout.payload_size);
            break;
        case PayloadKind::file:
            store_be64(p + 12, layout.payload_size);
            std::memcpy(p + 20, layout.file_name.data(), layout.file_name.size());
            break;
        case PayloadKind::chunk:
            break;
    }
    return h + body;
}

size_t write_trailer(std::span<uint8_t> out, const StreamLayout &layout, PacketHeader header) {
    header.format = PacketFormat::trailer;
    header.packet_id = layout.trailer_packet_id;
    const size_t body = trailer_payload_size(layout);
    if (out.size() < layout.header_size + body) return 0;
    const size_t h = write_header(out, layout.extended_ids, header);
    if (h == 0) return 0;
    uint8_t *p = out.data() + h;
    std::memset(p, 0, body);
    store_be16(p + 2, layout.payload_type);
    switch (layout.kind) {
        case PayloadKind::image:
            store_be32(p + 4, layout.height);
            break;
        case PayloadKind::raw:
        case PayloadKind::file:
            break;
        case PayloadKind::chunk:
            store_be32(p + 4, layout.chunk_length);
            break;
        case PayloadKind::extended_chunk:
            store_be32(p + 4, static_cast<uint32_t>(layout.payload_size));
            store_be32(p + 8, layout.height);
            store_be32(p + 12, kChunkLayoutId);
            break;
        case PayloadKind::image_extended_chunk:
            store_be32(p + 4, layout.height);
            store_be32(p + 8, layout.chunk_length);
            store_be32(p + 12, kChunkLayoutId);
            break;
    }
    return h + body;
}

}  // namespace qel::camsim
