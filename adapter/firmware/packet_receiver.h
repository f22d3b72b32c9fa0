// Batched reception of an endpoint's packets from its filter socket (recvmmsg), received where
// they belong.
//
// Each batch is laid out from the assembler's placement: a message whose packet is predicted
// (the next data packet of the block being received) gets three pieces, the header into
// scratch, the payload straight into the block's buffer at that packet's place, anything
// beyond into scratch. A packet that is the one predicted is then already in place; any other
// (leader, trailer, a packet out of order, another block's) is first gathered into its own
// scratch, for all messages of the batch before any is handed on, since its bytes landed in a
// place another packet of the batch may own, and then copied by the assembler. In-order
// streams are so received without a copy.
//
// The kernel writes only into the buffer of the block being received, at places of packets
// that have not arrived, within the buffer: that buffer stays the firmware's until the
// block's final descriptor is posted, which happens after the batch is in.
//
// Packets from a sender other than the stream's (source_filter.h) are counted and ignored,
// also those that happened to land in place.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "adapter/firmware/block_assembler.h"
#include "adapter/firmware/firmware_counters.h"
#include "adapter/firmware/gvsp_packet.h"
#include "adapter/firmware/source_filter.h"

namespace qel::adapter {

// Monotonic nanoseconds.
uint64_t monotonic_ns();

// Hands a received datagram from `sender` to `assembler` once `sources` takes it as the
// stream's (a leader may choose or take over the source) and it parses as a packet; counts it
// as foreign or malformed otherwise. For datagrams not already received in their place.
void hand_on(std::span<const uint8_t> datagram, const sockaddr_storage &sender,
             socklen_t sender_length, uint64_t now, SourceFilter &sources,
             BlockAssembler &assembler, FirmwareCounters &counters);

class PacketReceiver {
public:
    static constexpr uint32_t kBatch = 64;
    // Room for any UDP datagram.
    static constexpr size_t kMessageBytes = 65536;
    static_assert(kMessageBytes > gvsp::kMaxDatagramBytes);

    using Clock = uint64_t (*)();

    // Reads `socket` (non-blocking, datagrams), which outlives this object. Packets are
    // stamped with `clock` (monotonic ns) when their batch is in. `sources` says which
    // senders are the stream's (source_filter.h).
    explicit PacketReceiver(int socket, Clock clock = monotonic_ns, SourceRule sources = {});
    PacketReceiver(const PacketReceiver &) = delete;
    PacketReceiver &operator=(const PacketReceiver &) = delete;

    // Reads what waits on the socket, one batch at most, and hands every packet to
    // `assembler`; datagrams that are no packet are counted as malformed. Returns how many
    // datagrams were read: 0 when none waited.
    int receive(BlockAssembler &assembler, FirmwareCounters &counters);

private:
    struct Landing {
        uint8_t *place = nullptr;  // where the predicted packet's payload goes; null: none
        size_t length = 0;
        uint32_t packet_id = 0;
    };

    uint8_t *message(uint32_t i) const { return scratch_.get() + size_t{i} * kMessageBytes; }

    int socket_;
    Clock clock_;
    std::unique_ptr<uint8_t[]> scratch_;  // kBatch messages of kMessageBytes
    SourceFilter sources_;
    std::array<mmsghdr, kBatch> headers_{};
    std::array<sockaddr_storage, kBatch> senders_{};
    std::array<std::array<iovec, 3>, kBatch> pieces_{};
    std::array<Landing, kBatch> landings_{};
    std::array<gvsp::Packet, kBatch> in_place_{};
    std::array<bool, kBatch> is_in_place_{};
};

}  // namespace qel::adapter
