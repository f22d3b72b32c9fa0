#include "adapter/firmware/udp_frame.h"

#include <algorithm>
#include <cstring>

namespace qel::adapter {

namespace {

constexpr size_t kEthernetBytes = 14;
constexpr uint16_t kEthertypeIpv4 = 0x0800;
constexpr size_t kMinIpBytes = 20;
constexpr size_t kUdpBytes = 8;
constexpr uint8_t kUdp = 17;
constexpr uint16_t kFragmentBits = 0x3FFF;  // more-fragments flag and fragment offset
// Offload header flags and segment types (the virtio network header's values).
constexpr uint8_t kChecksumNotComputed = 1;
constexpr uint8_t kChecksumValid = 2;
constexpr uint8_t kGsoNone = 0;
constexpr uint8_t kGsoUdpSegments = 5;
constexpr uint8_t kGsoEcn = 0x80;

uint16_t be16(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}
uint32_t be32(std::span<const uint8_t> b, size_t at) {
    return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

}  // namespace

uint16_t ones_complement_sum(std::span<const uint8_t> bytes, uint32_t start) {
    // Four bytes at a time into 64 bits: the carries are folded back in at the end.
    uint64_t sum = start;
    size_t i = 0;
    for (; i + 4 <= bytes.size(); i += 4) sum += be32(bytes, i);
    if (i + 2 <= bytes.size()) {
        sum += be16(bytes, i);
        i += 2;
    }
    if (i < bytes.size()) sum += uint32_t{bytes[i]} << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

OffloadHeader read_offload_header(std::span<const uint8_t, OffloadHeader::kBytes> bytes) {
    // The kernel writes the 16-bit fields in the host's order to packet sockets.
    OffloadHeader h;
    h.flags = bytes[0];
    h.gso_type = bytes[1];
    std::memcpy(&h.gso_size, bytes.data() + 4, sizeof h.gso_size);
    return h;
}

UdpFrame::UdpFrame(std::span<const uint8_t> frame, const OffloadHeader &offload,
                   const FrameRule &rule) {
    // In the body: parse() sets members that are initialised after fault_.
    fault_ = parse(frame, offload, rule);
    if (fault_ != FrameFault::none) rest_ = {};
}

FrameFault UdpFrame::parse(std::span<const uint8_t> frame, const OffloadHeader &offload,
                           const FrameRule &rule) {
    if (frame.size() < kEthernetBytes + kMinIpBytes) return FrameFault::truncated;
    // A tagged frame (0x8100, 0x88A8) is another network's, whatever it carries.
    if (be16(frame, 12) != kEthertypeIpv4) return (FrameFault::not_ipv4);
    std::span<const uint8_t> ip = frame.subspan(kEthernetBytes);
    const size_t header = size_t{ip[0] & 0x0Fu} * 4;
    if ((ip[0] >> 4) != 4 || header < kMinIpBytes) return FrameFault::bad_ip_header;
    const size_t total = be16(ip, 2);
    if (header > ip.size() || total > ip.size()) return FrameFault::truncated;
    if (total < header) return FrameFault::bad_ip_header;
    ip = ip.first(total);  // without the link's padding
    if (ones_complement_sum(ip.first(header)) != 0xFFFF) return FrameFault::bad_ip_header;
    if ((be16(ip, 6) & kFragmentBits) != 0) return FrameFault::fragment;
    if (ip[9] != kUdp || be32(ip, 16) != rule.address) return FrameFault::not_ours;
    std::span<const uint8_t> udp = ip.subspan(header);
    if (udp.size() < kUdpBytes) return FrameFault::truncated;
    if (be16(udp, 2) != rule.port) return FrameFault::not_ours;
    const size_t length = be16(udp, 4);
    if (length < kUdpBytes || length > udp.size()) return FrameFault::bad_udp_length;
    if (length == kUdpBytes) return FrameFault::truncated;  // no payload at all
    udp = udp.first(length);

    // Loopback carries a local sender's datagram with its checksum not yet computed; a
    // network card that checked it says so. Any other is checked here (0: the sender sent
    // none).
    const bool vouched = (offload.flags & (kChecksumNotComputed | kChecksumValid)) != 0;
    if (!vouched && be16(udp, 6) != 0) {
        // The pseudo header: addresses, protocol and UDP length.
        const uint32_t pseudo = ones_complement_sum(ip.subspan(12, 8)) + kUdp + length;
        if (ones_complement_sum(udp, pseudo) != 0xFFFF) return FrameFault::bad_udp_checksum;
    }
    rest_ = udp.subspan(kUdpBytes);
    const uint8_t gso = offload.gso_type & static_cast<uint8_t>(~kGsoEcn);
    if (gso == kGsoNone) {
        segment_ = rest_.size();
    } else if (gso == kGsoUdpSegments && offload.gso_size != 0 && vouched) {
        // Each segment's checksum would be its own: only frames the kernel vouches for.
        segment_ = offload.gso_size;
    } else {
        return FrameFault::bad_offload;
    }
    sender_.sin_family = AF_INET;
    std::memcpy(&sender_.sin_addr.s_addr, ip.data() + 12, 4);
    std::memcpy(&sender_.sin_port, udp.data(), 2);
    return FrameFault::none;
}

std::span<const uint8_t> UdpFrame::next() {
    const size_t n = std::min(segment_, rest_.size());
    const std::span<const uint8_t> out = rest_.first(n);
    rest_ = rest_.subspan(n);
    return out;
}

}  // namespace qel::adapter
