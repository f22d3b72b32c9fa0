#include "adapter/firmware/block_slot.h"

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
    if (last_data != 0 && stride_confirmed_ &&
        uint64_t{last_data - 1} * stride_ >= buffer_.length) {
        return Accepted::overflow;
    }
    // A short packet before the last was not what the camera sent there.
    if (short_id_ != 0 && short_id_ != last_data) unreceive(short_id_, short_size_);
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
    // Nor the payload empty; and a datagram is far below 4 GiB.
    const auto size = static_cast<uint32_t>(packet.payload.size());
    if (trailer_received_ && id > last_data_id_) return Accepted::malformed;
    if (id > kMaxPacketsPerBlock) return Accepted::overflow;
    if (received(id)) return Accepted::duplicate;
    if (id == 1 && !stride_confirmed_) {
        // Packet 1 shows the size of every packet but the last.
        if (stride_ != 0 && size != stride_) restride(size);
        stride_ = size;
        stride_confirmed_ = true;
    } else if (stride_ == 0) {
        // Until packet 1 comes, the stream's earlier blocks tell the size best.
        stride_ = learned_payload_ != 0 ? learned_payload_ : size;
    }
    if (!stride_confirmed_ && size > stride_) {
        restride(size);  // the guess was too small
    }
    if (size > stride_) return Accepted::malformed;
    if (size < stride_) {
        // Only the last data packet may be short.
        if (id < highest_data_id_ || (trailer_received_ && id != last_data_id_)) {
            return Accepted::malformed;
        }
        if (short_id_ != 0) unreceive(short_id_, short_size_);
    } else if (short_id_ != 0 && id > short_id_) {
        unreceive(short_id_, short_size_);  // a full packet after it: that one was not the last
    }
    const uint64_t offset = uint64_t{id - 1} * stride_;
    if (offset + size > buffer_.length) {
        // A guessed size proves nothing about the block's end.
        return stride_confirmed_ ? Accepted::overflow : Accepted::malformed;
    }
    uint8_t *place = buffer_.data + offset;
    if (packet.payload.data() != place) {
        std::memcpy(place, packet.payload.data(), size);
        copied = size;
    }
    mark_received(id, size);
    last_activity_ = now;
    return Accepted::used;
}

void BlockSlot::mark_received(uint32_t id, uint32_t size) {
    const uint32_t word = id / 64;
    bitmap_[word] |= uint64_t{1} << (id % 64);
    bitmap_words_used_ = std::max(bitmap_words_used_, word + 1);
    bytes_received_ += size;
    if (size < stride_) {
        short_id_ = id;
        short_size_ = size;
    }
    highest_data_id_ = std::max(highest_data_id_, id);
    advance_contiguous();
}

void BlockSlot::restride(uint32_t stride) {
    // Every packet was placed by a size that was wrong, and all but one were full at that
    // size, which is not the block's: only the packet with the highest id, which may be the
    // last, can be of this block, and it moves to its place by the right size.
    const uint32_t keep = highest_data_id_;
    const uint32_t keep_size = short_id_ == keep ? short_size_ : stride_;
    const uint64_t from = uint64_t{keep - 1} * stride_;
    const uint64_t to = uint64_t{keep - 1} * stride;
    unreceive_all();
    stride_ = stride;
    if (keep > 1 && keep_size <= stride && to + keep_size <= buffer_.length) {
        std::memmove(buffer_.data + to, buffer_.data + from, keep_size);
        mark_received(keep, keep_size);
    }
}

void BlockSlot::unreceive(uint32_t id, uint32_t size) {
    bitmap_[id / 64] &= ~(uint64_t{1} << (id % 64));
    bytes_received_ -= size;
    contiguous_ = std::min(contiguous_, id - 1);
    if (short_id_ == id) short_id_ = 0;
}

void BlockSlot::unreceive_all() {
    clear_bitmap();
    bytes_received_ = 0;
    contiguous_ = 0;
    highest_data_id_ = 0;
    short_id_ = 0;
}

void BlockSlot::advance_contiguous() {
    while (contiguous_ < highest_data_id_ && received(contiguous_ + 1)) ++contiguous_;
}

uint32_t BlockSlot::first_missing() const {
    if (!leader_received_) return 0;
    // Data packets up to the trailer's, then the trailer itself; before the trailer is seen
    // the packet after the last one in order may be either.
    return contiguous_ + 1;
}

std::optional<Gap> BlockSlot::next_gap(uint32_t from) const {
    // Data packets whose place is known: up to the trailer's, or up to the highest received.
    const uint32_t known = trailer_received_ ? last_data_id_ : highest_data_id_;
    uint32_t id = from;
    if (id == 0 && leader_received_) id = 1;
    if (id != 0) {
        id = std::max(id, contiguous_ + 1);
        while (id <= known && received(id)) ++id;
        if (id > known) {
            // Past the known packets: the trailer, when it has come, ends the block.
            if (trailer_received_) return std::nullopt;
            return Gap{id, 0, false};
        }
    }
    uint32_t last = id;
    while (last < known && !received(last + 1)) ++last;
    // A run that reaches the highest packet received can only be the leader's with no data
    // received at all: it runs on into the unknown tail unless the trailer bounds it.
    if (last == known && !trailer_received_ && id == 0 && known == 0) return Gap{0, 0, false};
    return Gap{id, last, true};
}

Descriptor BlockSlot::gap_descriptor(const Gap &gap, bool opens_report, uint64_t now) const {
    TrailerFields fields;
    fields.block_id = block_id_;
    fields.status = trailer_received_ ? trailer_status_ : gvsp::kStatusSuccess;
    fields.firmware_status = shm::KOB_QEL_STATUS_INCOMPLETE;
    fields.packet_id = gap.first;
    fields.payload_length = static_cast<uint32_t>(bytes_received_);
    fields.has_time = true;
    fields.ticks = trailer_received_ ? trailer_time_ : now;
    fields.gap_report = true;
    fields.has_gap_end = gap.end_known;
    fields.gap_last = gap.last;
    fields.opens_report = opens_report;
    if (trailer_received_ && !gap.end_known) fields.trailer_payload = trailer_;
    return trailer_descriptor(fields);
}

Descriptor BlockSlot::leader_descriptor() const {
    if (!leader_received_) {
        return adapter::leader_descriptor(block_id_, gvsp::kStatusSuccess, {});
    }
    return adapter::leader_descriptor(block_id_, leader_status_, leader_);
}

Descriptor BlockSlot::final_descriptor(shm::FirmwareStatus status, uint32_t packet_id,
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
    fields.credit = buffer_.credit && status != shm::KOB_QEL_STATUS_INCOMPLETE;
    if (trailer_received_) fields.trailer_payload = trailer_;
    return trailer_descriptor(fields);
}

}  // namespace qel::adapter
