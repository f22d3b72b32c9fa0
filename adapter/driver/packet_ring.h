// A packet socket with a memory-mapped receive ring (TPACKET_V3) for one stream: the cheaper
// way in for the firmware (adapter/firmware/ring_receiver.h), open beside the filter's UDP
// socket where this process may (CAP_NET_RAW).
//
// A classic BPF filter lets through only incoming IPv4 frames to the stream's address and UDP
// port that are not later fragments, so the ring holds almost nothing else; the firmware
// checks every frame all the same. Unicast streams take frames from every interface, as the
// UDP socket does (a sender on this host reaches the board's address through loopback); a
// multicast group only from the board's interface, where it was joined.
//
// Each frame comes with the kernel's offload header, which tells the segment size of a local
// sender's UDP_SEGMENT frames and whether the UDP checksum still needs checking.
#pragma once

#include <cstddef>
#include <cstdint>

#include "adapter/firmware/ring_receiver.h"

namespace qel::adapter {

class PacketRing {
public:
    // Blocks are handed to the firmware when full or, at the earliest, this long after their
    // first frame (the kernel's timer, rounded to its tick).
    static constexpr unsigned kBlockTimeoutMs = 1;
    // Room for a 64 KiB frame of a segmenting sender, and small enough that a slow stream,
    // whose blocks close by time half filled, still leaves many blocks of the ring free.
    static constexpr size_t kBlockBytes = 128 << 10;
    static constexpr uint32_t kMinBlocks = 4;

    PacketRing() = default;
    ~PacketRing() { close(); }
    PacketRing(PacketRing &&other) noexcept;
    PacketRing &operator=(PacketRing &&other) noexcept;
    PacketRing(const PacketRing &) = delete;
    PacketRing &operator=(const PacketRing &) = delete;

    // Opens the ring, of about `ring_bytes` (at least kMinBlocks blocks), for datagrams to
    // `address` (IPv4, first octet most significant, not 0) and `port`; a multicast group
    // on the interface of index `if_index`. Returns 0 or the errno (EPERM without the
    // capability).
    int open(uint32_t address, uint16_t port, uint32_t if_index, size_t ring_bytes);
    void close();

    bool is_open() const { return view_.fd >= 0; }
    const PacketRingView &view() const { return view_; }

private:
    PacketRingView view_;
};

// Makes UDP socket `fd` drop every datagram before it is queued: with a ring open, the socket
// is kept bound only so that the kernel does not answer the stream's packets with "port
// unreachable". Returns 0 or the errno.
int drop_every_datagram(int fd);

}  // namespace qel::adapter
