#include "adapter/block_slot.h"

#include <algorithm>
#include <cstring>

namespace qel::adapter {

namespace {

// The block's status as the host sees it: "resent" marks a packet, not the block.
uint16_t block_status(const gvsp::Header &header) {
    return header.status == gvsp::kStatusResent ? gvsp::kStatusSuccess : header.status;
}

template <size_t N>
void keep_prefix(std::array<uint8_t, N> &into, std::span<const uint8_t> from) {
    into.fill(0);
    const size_t bytes = std::min(from.size(), N);
    if (bytes != 0) std::memcpy(into.data(), from.data(), bytes);
}

}  // namespace

void BlockSlot::start(uint64_t block_id, bool extended, const FreeBuffer &buffer,
                      std::span<uint64_t, kBitmapWords> bitmap, uint32_t learned_payload,
                      uint64_t now) {
    *this = BlockSlot{};
    block_id_ = block_id;
    extended_ = extended;
    buffer_ = buffer;
    bitmap_ = bitmap;
    learned_payload_ = learned_payload;
    last_activity_ = now;
}

void BlockSlot::clear_bitmap() {
    std::fill_n(bitmap_.begin(), bitmap_words_used_, uint64_t{0});
    bitmap_words_used_ = 0;
}

Accepted BlockSlot::leader(const gvsp::Packet &packet, uint64_t now) {
    if (leader_received_) return Accepted::duplicate;
    leader_received_ = true;
    leader_status_ = block_status(packet.header);
    keep_prefix(leader_, packet.payload);
    last_activity_ = now;
    return Accepted::used;
}

Accepted BlockSlot::trailer(const gvsp::Packet &packet, uint64_t now) {
    if (trailer_received_) return Accepted::duplicate;
    const uint32_t last_data = packet.header.packet_id - 1;  // the parser saw it is not 0
    if (last_data < highest_data_id_) return Accepted::malformed;
    if (last_data > kMaxPacketsPerBlock) return Accepted::overflow;
    // With the packet size known, a block whose last packet cannot start inside the buffer
    // has overflowed already.
    if (last_data != 0 && packet_payload_ != 0 &&
        uint64_t{last_data - 1} * packet_payload_ >= buffer_.length) {
        return Accepted::overflow;
    }
    trailer_received_ = true;
    last_data_id_ = last_data;
    trailer_status_ = block_status(packet.header);
    keep_prefix(trailer_, packet.payload);
    trailer_time_ = now;
    last_activity_ = now;
    return Accepted::used;
}

Accepted BlockSlot::data(const gvsp::Packet &packet, uint64_t now, uint64_t &copied) {
    copied = 0;
    const uint32_t id = packet.header.packet_id;  // the parser saw it is not 0
    const size_t size = packet.payload.size();    // nor the payload empty
    if (trailer_received_ && id > last_data_id_) return Accepted::malformed;
    if (id > kMaxPacketsPerBlock) return Accepted::overflow;
    if (packet_payload_ == 0) {
        // Packet 1 shows the size of every packet but the last; a block whose packet 1 was
        // lost goes by what the stream's earlier blocks showed.
        packet_payload_ =
            (id == 1 || learned_payload_ == 0) ? static_cast<uint32_t>(size) : learned_payload_;
    }
    if (size > packet_payload_) return Accepted::malformed;
    const uint64_t offset = uint64_t{id - 1} * packet_payload_;
    if (offset + size > buffer_.length) return Accepted::overflow;
    const uint32_t word = id / 64;
    const uint64_t bit = uint64_t{1} << (id % 64);
    if ((bitmap_[word] & bit) != 0) return Accepted::duplicate;
    bitmap_[word] |= bit;
    bitmap_words_used_ = std::max(bitmap_words_used_, word + 1);
    uint8_t *place = buffer_.data + offset;
    if (packet.payload.data() != place) {
        std::memcpy(place, packet.payload.data(), size);
        copied = size;
    }
    bytes_received_ += size;
    highest_data_id_ = std::max(highest_data_id_, id);
    advance_contiguous();
    last_activity_ = now;
    return Accepted::used;
}

void BlockSlot::advance_contiguous() {
    while (contiguous_ < highest_data_id_) {
        const uint32_t next = contiguous_ + 1;
        if ((bitmap_[next / 64] & (uint64_t{1} << (next % 64))) == 0) break;
        contiguous_ = next;
    }
}

uint32_t BlockSlot::first_missing() const {
    if (!leader_received_) return 0;
    // Data packets up to the trailer's, then the trailer itself; before the trailer is seen
    // the packet after the last one in order may be either.
    return contiguous_ + 1;
}

Descriptor BlockSlot::leader_descriptor() const {
    if (!leader_received_) {
        return adapter::leader_descriptor(block_id_, gvsp::kStatusSuccess, {});
    }
    return adapter::leader_descriptor(block_id_, leader_status_, leader_);
}

Descriptor BlockSlot::final_descriptor(FirmwareStatus status, uint32_t packet_id,
                                       uint64_t now) const {
    TrailerFields fields;
    fields.block_id = block_id_;
    fields.status = trailer_received_ ? trailer_status_ : gvsp::kStatusSuccess;
    fields.firmware_status = status;
    fields.packet_id = packet_id;
    // The buffer's length is 32 bits, and so is everything written into it.
    fields.payload_length = static_cast<uint32_t>(bytes_received_);
    fields.has_time = true;
    fields.ticks = trailer_received_ ? trailer_time_ : now;
    // The credit returns with the block's last descriptor, not with its INCOMPLETE statuses.
    fields.credit = buffer_.credit && status != FirmwareStatus::incomplete;
    if (trailer_received_) fields.trailer_payload = trailer_;
    return trailer_descriptor(fields);
}

}  // namespace qel::adapter
