#include "adapter/firmware/ring_receiver.h"

#include <linux/if_arp.h>
#include <linux/if_packet.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>

namespace qel::adapter {

namespace {

// The kernel lays out each frame as its header, the link address, then (for our socket) the
// offload header right before the frame's first byte.
constexpr size_t kAddressAt = TPACKET_ALIGN(sizeof(tpacket3_hdr));

}  // namespace

RingReceiver::RingReceiver(const PacketRingView &ring, PacketReceiver::Clock clock,
                           SourceRule sources)
    : ring_(ring), clock_(clock), sources_(sources) {}

int RingReceiver::receive(BlockAssembler &assembler, FirmwareCounters &counters) {
    if (ring_.block_count == 0 || ring_.block_bytes < sizeof(tpacket_block_desc)) return 0;
    uint8_t *block = ring_.blocks + size_t{next_} * ring_.block_bytes;
    auto *descriptor = reinterpret_cast<tpacket_block_desc *>(block);
    // Acquire pairs with the kernel's barrier before it hands the block over: its frames are
    // written.
    std::atomic_ref<uint32_t> status(descriptor->hdr.bh1.block_status);
    if ((status.load(std::memory_order_acquire) & TP_STATUS_USER) == 0) return 0;
    const uint64_t now = clock_();
    counters.add(Counter::receive_calls);
    int got = 0;
    const uint32_t frames = descriptor->hdr.bh1.num_pkts;
    size_t at = descriptor->hdr.bh1.offset_to_first_pkt;
    for (uint32_t i = 0; i < frames; ++i) {
        // The kernel's layout, checked all the same: nothing is read outside the block.
        if (at < sizeof(tpacket_block_desc) ||
            at + kAddressAt + sizeof(sockaddr_ll) > ring_.block_bytes) {
            break;
        }
        got += on_frame(block + at, ring_.block_bytes - at, now, assembler, counters);
        const uint32_t step = reinterpret_cast<const tpacket3_hdr *>(block + at)->tp_next_offset;
        if (step == 0) break;
        at += step;
    }
    // Release: every read of the block is done before the kernel may write it again.
    status.store(TP_STATUS_KERNEL, std::memory_order_release);
    next_ = next_ + 1 == ring_.block_count ? 0 : next_ + 1;
    return got;
}

int RingReceiver::on_frame(const uint8_t *frame, size_t room, uint64_t now,
                           BlockAssembler &assembler, FirmwareCounters &counters) {
    const auto *h = reinterpret_cast<const tpacket3_hdr *>(frame);
    const auto *link = reinterpret_cast<const sockaddr_ll *>(frame + kAddressAt);
    if ((h->tp_status & TP_STATUS_LOSING) != 0) count_drops(counters);
    const size_t start = h->tp_mac;
    const size_t length = h->tp_snaplen;
    // Where the frame and its offload header lie: within the frame's room, after the address.
    const bool placed = start >= kAddressAt + sizeof(sockaddr_ll) + OffloadHeader::kBytes &&
                        start <= room && length <= room - start;
    // The socket's filter lets only incoming frames of Ethernet-like links through; a frame
    // that is cut short, tagged for a VLAN, or anything else here is refused.
    const bool usable =
        placed && length == h->tp_len && (h->tp_status & TP_STATUS_VLAN_VALID) == 0 &&
        link->sll_pkttype != PACKET_OUTGOING && link->sll_pkttype != PACKET_OTHERHOST &&
        (link->sll_hatype == ARPHRD_ETHER || link->sll_hatype == ARPHRD_LOOPBACK);
    if (!usable) {
        counters.add(Counter::frames_refused);
        return 0;
    }
    const OffloadHeader offload =
        read_offload_header(std::span<const uint8_t, OffloadHeader::kBytes>(
            frame + start - OffloadHeader::kBytes, OffloadHeader::kBytes));
    UdpFrame datagrams({frame + start, length}, offload, ring_.rule);
    if (datagrams.fault() != FrameFault::none) {
        counters.add(Counter::frames_refused);
        return 0;
    }
    sockaddr_storage sender{};
    std::memcpy(&sender, &datagrams.sender(), sizeof(sockaddr_in));
    int got = 0;
    for (std::span<const uint8_t> d = datagrams.next(); !d.empty(); d = datagrams.next()) {
        counters.add(Counter::packets);
        counters.add(Counter::bytes, d.size());
        hand_on(d, sender, sizeof(sockaddr_in), now, sources_, assembler, counters);
        ++got;
    }
    return got;
}

void RingReceiver::count_drops(FirmwareCounters &counters) {
    // Reading the statistics resets them, and the kernel clears the frames' flag: each drop
    // is counted once. Rare: only after the ring overflowed.
    tpacket_stats_v3 stats{};
    socklen_t size = sizeof stats;
    if (getsockopt(ring_.fd, SOL_PACKET, PACKET_STATISTICS, &stats, &size) == 0) {
        counters.add(Counter::ring_drops, stats.tp_drops);
    }
}

}  // namespace qel::adapter
