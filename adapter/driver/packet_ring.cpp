#include "adapter/driver/packet_ring.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace qel::adapter {

namespace {

// Frame offsets of the filter: Ethernet header, then an IPv4 header.
constexpr uint32_t kEthertypeAt = 12;
constexpr uint32_t kIpAt = 14;
constexpr uint32_t kKeepAll = 0xFFFFFFFF;

}  // namespace

PacketRing::PacketRing(PacketRing &&other) noexcept
    : view_(std::exchange(other.view_, PacketRingView{})) {}

PacketRing &PacketRing::operator=(PacketRing &&other) noexcept {
    if (this != &other) {
        close();
        view_ = std::exchange(other.view_, PacketRingView{});
    }
    return *this;
}

int PacketRing::open(uint32_t address, uint16_t port, uint32_t if_index, size_t ring_bytes) {
    close();
    if (address == 0) return EINVAL;
    // Protocol 0: nothing arrives before the filter and the ring are in place and it is bound.
    const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    auto fail = [fd](int error) {
        ::close(fd);
        return error;
    };
    // Jumps count the instructions they skip; `drop` is the last instruction.
    sock_filter code[] = {
        // Frames this host sends, and frames for other hosts' link addresses: never.
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 12, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OTHERHOST, 11, 0),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, kEthertypeAt),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 0, 9),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kIpAt + 16),  // destination address
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, address, 0, 7),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, kIpAt + 9),  // protocol
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, 0, 5),
        // A later fragment has no UDP header to match. A first one is let through, to be
        // counted: the stream cannot be received whole this way.
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, kIpAt + 6),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x1FFF, 3, 0),
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, kIpAt),     // X: the IP header's length
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, kIpAt + 2),  // UDP destination port
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, port, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, 0),  // drop
        BPF_STMT(BPF_RET | BPF_K, kKeepAll),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
    const int version = TPACKET_V3;
    const int one = 1;
    if (setsockopt(fd, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0 ||
        setsockopt(fd, SOL_PACKET, PACKET_VNET_HDR, &one, sizeof one) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) {
        return fail(errno);
    }
    const uint32_t blocks =
        static_cast<uint32_t>(std::max<size_t>(ring_bytes / kBlockBytes, kMinBlocks));
    constexpr uint32_t kFrameBytes = 2048;  // a V3 ring's frames vary; the kernel asks for one
    tpacket_req3 request{};
    request.tp_block_size = kBlockBytes;
    request.tp_block_nr = blocks;
    request.tp_frame_size = kFrameBytes;
    request.tp_frame_nr = static_cast<uint32_t>(kBlockBytes / kFrameBytes) * blocks;
    request.tp_retire_blk_tov = kBlockTimeoutMs;
    if (setsockopt(fd, SOL_PACKET, PACKET_RX_RING, &request, sizeof request) != 0) {
        return fail(errno);
    }
    const size_t bytes = size_t{blocks} * kBlockBytes;
    void *map = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) return fail(errno);
    sockaddr_ll where{};
    where.sll_family = AF_PACKET;
    where.sll_protocol = htons(ETH_P_IP);
    where.sll_ifindex = (address >> 28) == 0xE ? static_cast<int>(if_index) : 0;
    if (bind(fd, reinterpret_cast<const sockaddr *>(&where), sizeof where) != 0) {
        const int error = errno;
        munmap(map, bytes);
        return fail(error);
    }
    view_ = PacketRingView{fd, static_cast<uint8_t *>(map), kBlockBytes, blocks,
                           FrameRule{address, port}};
    return 0;
}

void PacketRing::close() {
    if (view_.fd < 0) return;
    munmap(view_.blocks, view_.block_bytes * view_.block_count);
    ::close(view_.fd);
    view_ = PacketRingView{};
}

int drop_every_datagram(int fd) {
    sock_filter code[] = {BPF_STMT(BPF_RET | BPF_K, 0)};
    const sock_fprog program{1, code};
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) return errno;
    // What arrived before the filter is never read: the least buffer the kernel allows.
    const int least = 0;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &least, sizeof least);
    return 0;
}

}  // namespace qel::adapter
