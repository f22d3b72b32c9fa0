// One block that holds a buffer: where its packets go, which have arrived, and how it ended.
// Pure bookkeeping of one block; the order of blocks and the descriptors are the assembler's
// (block_assembler.h).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "adapter/firmware/buffer_pool.h"
#include "adapter/firmware/descriptor_format.h"
#include "adapter/firmware/gvsp_packet.h"

namespace qel::adapter {

// The highest data packet id a block may use: the received-packet bitmap of a block is sized
// for it. A packet beyond it needs more than any buffer the firmware can track.
constexpr uint32_t kMaxPacketsPerBlock = 1u << 20;
constexpr size_t kBitmapWords = kMaxPacketsPerBlock / 64 + 1;

// What became of a packet offered to a block.
enum class Accepted : uint8_t {
    used,       // stored (leader, trailer) or written into the buffer (data)
    duplicate,  // that packet had already arrived
    malformed,  // it contradicts the block (a data packet past the trailer, a trailer before
                // data it says is not there, a data packet larger than the block's packets, a
                // short one that cannot be the last)
    overflow,   // it belongs beyond the end of the buffer
};

// A run of missing packets of a block. `end_known` is false for packets missing after the last
// one received while the trailer has not come: how far they run only the camera knows.
struct Gap {
    uint32_t first = 0;
    uint32_t last = 0;  // when end_known
    bool end_known = false;
};

class BlockSlot {
public:
    // Starts a block in `buffer`, with `bitmap` (kBitmapWords words, all clear) to record its
    // data packets. `learned_payload` is the data bytes of a full packet of earlier blocks of
    // the stream (0: not known yet): packets that come before packet 1 are placed by it until
    // packet 1 confirms it.
    //
    // Every data packet but the last carries the same number of bytes, which packet 1 shows.
    // A block is complete only when its bytes 0 to its length were all written by its own
    // packets, each at its place: a packet placed by a size that packet 1 then contradicts,
    // or a short packet that turns out not to be the last, counts as not received again (so
    // that it is missing, and may be resent), never as a hole in a complete block.
    void start(uint64_t block_id, bool extended, const FreeBuffer &buffer,
               std::span<uint64_t, kBitmapWords> bitmap, uint32_t learned_payload, uint64_t now);
    // Clears the words of the bitmap that this block set, for the next block.
    void clear_bitmap();

    Accepted leader(const gvsp::Packet &packet, uint64_t now);
    Accepted trailer(const gvsp::Packet &packet, uint64_t now);
    // A data packet. Its payload is copied to its place in the buffer unless it is already
    // there (received in place). `copied` receives the bytes copied.
    Accepted data(const gvsp::Packet &packet, uint64_t now, uint64_t &copied);

    bool complete() const {
        return leader_received_ && trailer_received_ && contiguous_ == last_data_id_;
    }
    // The first packet still missing: 0 for the leader, then data packets, then the trailer.
    uint32_t first_missing() const;
    // The first gap that starts at or after packet `from` (0: the leader), in packet-id order;
    // nothing when no packet from there on is missing. The gap from first_missing() on comes
    // first.
    std::optional<Gap> next_gap(uint32_t from) const;

    uint64_t block_id() const { return block_id_; }
    bool extended() const { return extended_; }
    const FreeBuffer &buffer() const { return buffer_; }
    // Data bytes of a full packet once packet 1 has shown them; 0 before.
    uint32_t packet_payload() const { return stride_confirmed_ ? stride_ : 0; }
    uint32_t highest_data_id() const { return highest_data_id_; }
    bool trailer_received() const { return trailer_received_; }
    uint32_t last_data_id() const { return last_data_id_; }
    bool leader_received() const { return leader_received_; }
    uint64_t bytes_received() const { return bytes_received_; }
    uint64_t last_activity() const { return last_activity_; }
    uint64_t trailer_time() const { return trailer_time_; }

    // Descriptors of this block.
    Descriptor leader_descriptor() const;
    // The final (or INCOMPLETE) descriptor with `status` and `packet_id`, at `now`.
    Descriptor final_descriptor(shm::FirmwareStatus status, uint32_t packet_id, uint64_t now) const;
    // The INCOMPLETE status that reports `gap`, with its end when it is known.
    Descriptor gap_descriptor(const Gap &gap, bool opens_report, uint64_t now) const;

private:
    void advance_contiguous();
    bool received(uint32_t id) const {
        return (bitmap_[id / 64] & (uint64_t{1} << (id % 64))) != 0;
    }
    // Forgets data packet `id` (`size` bytes), which was received: it is missing again.
    void unreceive(uint32_t id, uint32_t size);
    // Forgets every data packet received.
    void unreceive_all();
    void mark_received(uint32_t id, uint32_t size);
    // The block's packets are `stride` bytes, not stride_ as they were placed by.
    void restride(uint32_t stride);

    uint64_t block_id_ = 0;
    bool extended_ = false;
    FreeBuffer buffer_{};
    std::span<uint64_t> bitmap_;
    uint32_t bitmap_words_used_ = 0;

    uint32_t stride_ = 0;  // data bytes of a full packet, by which packets are placed; 0: none
    bool stride_confirmed_ = false;  // packet 1 showed stride_ (else it is the stream's guess)
    uint32_t learned_payload_ = 0;   // the stream's, when this block's first data is not packet 1
    uint32_t short_id_ = 0;          // the data packet shorter than stride_ (the last); 0: none
    uint32_t short_size_ = 0;
    uint32_t highest_data_id_ = 0;
    uint32_t contiguous_ = 0;    // data packets 1..contiguous_ have all arrived
    uint32_t last_data_id_ = 0;  // from the trailer: its packet id - 1
    uint64_t bytes_received_ = 0;
    bool leader_received_ = false;
    bool trailer_received_ = false;
    uint16_t leader_status_ = 0;
    uint16_t trailer_status_ = 0;
    std::array<uint8_t, shm::kLeaderPayloadBytes> leader_{};
    std::array<uint8_t, shm::kTrailerPayloadBytes> trailer_{};
    uint64_t last_activity_ = 0;
    uint64_t trailer_time_ = 0;
};

}  // namespace qel::adapter
