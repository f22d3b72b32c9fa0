// The UDP datagram inside a link-layer frame, as a packet socket's ring hands it over: the
// frame is Ethernet (loopback's carries zero addresses), preceded by the kernel's offload
// header (struct virtio_net_hdr), and reached the ring without the IP stack having looked at
// it. So everything is checked here: the link type, the IP header (version, length, checksum,
// fragments), the stream's destination address and port, the UDP length and, where the kernel
// has not vouched for it, the UDP checksum. A frame that fails any check yields nothing.
//
// A sender on this host that segments (UDP_SEGMENT) hands loopback one frame carrying many
// datagrams of the offload header's segment size; they are returned one by one.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace qel::adapter {

// Which datagrams are the stream's: to `address` (IPv4, first octet most significant) and
// `port`.
struct FrameRule {
    uint32_t address = 0;
    uint16_t port = 0;
};

enum class FrameFault : uint8_t {
    none,
    truncated,         // shorter than its headers or than the lengths they declare
    not_ipv4,          // another link type or protocol, or a VLAN tag
    bad_ip_header,     // IP version, header length or header checksum
    fragment,          // a fragment of a larger datagram (not reassembled here)
    not_ours,          // another protocol, destination address or port
    bad_udp_length,    // UDP length beyond the IP packet or below its own header
    bad_udp_checksum,  // a checksum the kernel did not vouch for, and wrong
    bad_offload,       // an offload header that does not describe this frame
    count_,
};

// The offload header as the kernel writes it before each frame (host byte order).
struct OffloadHeader {
    static constexpr size_t kBytes = 10;
    uint8_t flags = 0;     // 1: checksum not computed (a local sender), 2: checksum valid
    uint8_t gso_type = 0;  // 0: one datagram, 5: UDP segments of gso_size
    uint16_t gso_size = 0;
};
OffloadHeader read_offload_header(std::span<const uint8_t, OffloadHeader::kBytes> bytes);

// The datagrams one frame carries, read one after the other with next().
class UdpFrame {
public:
    // `frame` starts with the Ethernet header; `offload` is what the kernel wrote before it.
    // `fault()` says whether it holds any datagram for `rule`.
    UdpFrame(std::span<const uint8_t> frame, const OffloadHeader &offload, const FrameRule &rule);

    FrameFault fault() const { return fault_; }
    // The sender (address and port in network order, as a socket would report it).
    const sockaddr_in &sender() const { return sender_; }
    // The next datagram's bytes; empty once all were returned (or with a fault).
    std::span<const uint8_t> next();

private:
    // Checks the frame and finds its datagrams; sets everything but fault_.
    FrameFault parse(std::span<const uint8_t> frame, const OffloadHeader &offload,
                     const FrameRule &rule);

    FrameFault fault_ = FrameFault::none;
    sockaddr_in sender_{};
    std::span<const uint8_t> rest_;  // UDP payload not yet returned
    size_t segment_ = 0;             // bytes per datagram
};

// The Internet checksum's ones' complement sum of `bytes` (16-bit words, big-endian, an odd
// last byte padded with zero) added to `start`, folded to 16 bits. Bytes that carry their own
// correct checksum sum to 0xFFFF.
uint16_t ones_complement_sum(std::span<const uint8_t> bytes, uint32_t start = 0);

}  // namespace qel::adapter
