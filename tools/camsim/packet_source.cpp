#include "camsim/packet_source.h"

#include "camsim/block_ids.h"

namespace qel::camsim {

uint64_t PacketSource::block_id(uint64_t frame) const {
    return block_id_of_frame(config_.first_block_id, config_.extended_ids, frame);
}

size_t PacketSource::build(std::span<uint8_t> out, uint64_t frame, uint32_t packet_id,
                           uint64_t timestamp, bool resent) const {
    PacketHeader header;
    header.block_id = block_id(frame);
    header.packet_id = packet_id;
    if (resent) {
        if (layout_.extended_ids) {
            header.flags = kFlagResent;
        } else {
            header.status = kStatusResent;
        }
    }
    if (packet_id == 0) return write_leader(out, layout_, header, timestamp);
    if (packet_id == layout_.trailer_packet_id) return write_trailer(out, layout_, header);
    const uint32_t bytes = layout_.payload_bytes(packet_id);
    if (bytes == 0 || out.size() < layout_.header_size + bytes) return 0;
    header.format = PacketFormat::payload;
    const size_t h = write_header(out, layout_.extended_ids, header);
    if (h == 0) return 0;
    generator_.fill(frame, layout_.payload_offset(packet_id), out.subspan(h, bytes));
    return h + bytes;
}

size_t PacketSource::build_error(std::span<uint8_t> out, uint64_t block_id, uint32_t packet_id,
                                 uint16_t status, uint16_t flags) const {
    PacketHeader header;
    header.status = status;
    header.flags = flags;
    header.block_id = block_id;
    header.packet_id = packet_id;
    header.format = packet_id == 0                           ? PacketFormat::leader
                    : packet_id == layout_.trailer_packet_id ? PacketFormat::trailer
                                                             : PacketFormat::payload;
    return write_header(out, layout_.extended_ids, header);
}

}  // namespace qel::camsim
