// Reception of an endpoint's packets from a packet socket's memory-mapped receive ring
// (TPACKET_V3), the cheaper alternative to reading its UDP socket.
//
// The kernel fills the ring's blocks with the frames that the socket's filter let through
// (the stream's destination address and port) and hands a block over when it is full or
// when its block timer fires (asked for 1 ms; run in the kernel's timer work, which a loaded
// machine may delay): a slow stream's packets arrive that much later than through the UDP
// socket. The firmware reads the block in place, returns it, and sleeps in poll on the
// socket when none is ready. No system call per batch and none per packet: the price is one
// copy of every payload byte from the ring into the host's buffer (by the assembler), where
// the UDP socket path has the kernel write it there.
//
// The ring's frames come from anyone on the network and never passed the IP stack: every
// field is checked (udp_frame.h) and a frame that fails is counted as refused. Datagrams then
// go through the same source rule and parser as on the socket path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "adapter/firmware/block_assembler.h"
#include "adapter/firmware/firmware_counters.h"
#include "adapter/firmware/packet_receiver.h"
#include "adapter/firmware/source_filter.h"
#include "adapter/firmware/udp_frame.h"

namespace qel::adapter {

// A packet socket's receive ring as the driver set it up (adapter/driver/packet_ring.h):
// `block_count` blocks of `block_bytes` mapped at `blocks`, frames of `rule`'s datagrams
// each preceded by the kernel's offload header. fd -1: none.
struct PacketRingView {
    int fd = -1;
    uint8_t *blocks = nullptr;
    size_t block_bytes = 0;
    uint32_t block_count = 0;
    FrameRule rule;
};

class RingReceiver {
public:
    // Reads `ring`, which outlives this object; the rest as PacketReceiver.
    RingReceiver(const PacketRingView &ring, PacketReceiver::Clock clock, SourceRule sources);
    RingReceiver(const RingReceiver &) = delete;
    RingReceiver &operator=(const RingReceiver &) = delete;

    // Reads the ring's next block if the kernel has handed it over, hands every datagram to
    // `assembler` and gives the block back. Returns the datagrams read: 0 when no block was
    // ready.
    int receive(BlockAssembler &assembler, FirmwareCounters &counters);

private:
    // One frame at `at` within `block`, of which `room` bytes follow it.
    int on_frame(const uint8_t *frame, size_t room, uint64_t now, BlockAssembler &assembler,
                 FirmwareCounters &counters);
    // Asks the kernel how many frames it dropped for want of room (after it said it had).
    void count_drops(FirmwareCounters &counters);

    PacketRingView ring_;
    PacketReceiver::Clock clock_;
    SourceFilter sources_;
    uint32_t next_ = 0;  // the block to look at next
};

}  // namespace qel::adapter
