// The library's own resend requests as an independent decoder, tshark's GVCP dissector, reads
// them.
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "../camsim/wire_helpers.h"
#include "camsim/camsim.h"
#include "e2e_fixture.h"

namespace qel::test {
namespace {

using camsim_test::Bytes;
using camsim_test::Decoded;
using camsim_test::number;

// IPv4 packets carrying UDP to one port of the loopback interface, as the interface saw them.
// Needs the privilege to capture (root, as CI runs); valid() is false without it.
class LoopbackCapture {
public:
    explicit LoopbackCapture(uint16_t port) : port_(port) {
        fd_ = socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP));
        if (fd_ < 0) return;
        // Room for every other test's traffic on loopback while the stream runs.
        const int bytes = 16 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
        sockaddr_ll where{};
        where.sll_family = AF_PACKET;
        where.sll_protocol = htons(ETH_P_IP);
        where.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
        if (bind(fd_, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~LoopbackCapture() { ::close(fd_); }  // -1 when invalid: refused, harmlessly
    bool valid() const { return fd_ >= 0; }

    // Up to `count` packets, waiting at most `limit` in all.
    std::vector<Bytes> take(size_t count, milliseconds limit) {
        std::vector<Bytes> out;
        const auto end = Clock::now() + limit;
        Bytes packet(70000);
        while (out.size() < count && Clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            sockaddr_ll from{};
            socklen_t length = sizeof from;
            const ssize_t n = recvfrom(fd_, packet.data(), packet.size(), 0,
                                       reinterpret_cast<sockaddr *>(&from), &length);
            // The loopback interface shows each packet leaving and arriving: keep one.
            if (n < 28 || from.sll_pkttype == PACKET_OUTGOING) continue;
            const size_t header = size_t{packet[0] & 0x0Fu} * 4;
            if (packet[9] != 17 || qel::load_be16(&packet[header + 2]) != port_) continue;
            out.emplace_back(packet.begin(), packet.begin() + n);
        }
        return out;
    }

private:
    int fd_ = -1;
    uint16_t port_;
};

constexpr uint16_t kReqBase = 0x1F70;
// Frame 0 loses two gaps, frame 1 arrives whole, frame 2 loses one packet.
struct LostRange {
    uint64_t frame;
    uint32_t first, last;
};
constexpr LostRange kLost[] = {{0, 4, 4}, {0, 9, 11}, {2, 9, 9}};

// Ranged requests or whole tails; standard or extended ids.
class ResendCapture : public EndToEnd,
                      public ::testing::WithParamInterface<std::tuple<bool, bool>> {};

// A lossy stream makes qel_poll_recv_pr ask the camera for packets; the requests, captured on
// the loopback interface as they went to the camera, must decode as PACKETRESEND commands
// naming the block and packets the library meant: between them every lost packet; with
// QEL_OPEN_RANGED_RESEND each request names exactly one lost range, otherwise the rest of the
// block from a lost packet.
TEST_P(ResendCapture, RequestsDecodeAsPacketResendCommandsNamingTheLostPackets) {
    const auto [ranged, extended] = GetParam();
    const long long block_end = extended ? 0xFFFFFFFF : 0xFFFFFF;
    if (!camsim_test::have_tshark()) {
        GTEST_SKIP() << "tshark is not installed (scripts/install-deps installs it)";
    }
    camsim::Config config = stream_to(camsim::free_loopback_port());
    config.payload = camsim::PayloadKind::raw;
    config.data_size = 20000;
    config.frames = 3;
    config.extended_ids = extended;
    for (const LostRange &lost : kLost) {
        for (uint32_t id = lost.first; id <= lost.last; ++id) {
            config.faults.drops.push_back({lost.frame, id});
        }
    }
    camsim::Simulator sim(config);
    LoopbackCapture capture(config.control_port);
    if (!capture.valid()) GTEST_SKIP() << "capturing on loopback needs root";
    Receiver r;
    ASSERT_EQ(
        r.open_pr(config.dest_port,
                  (ranged ? QEL_OPEN_RANGED_RESEND : 0) | (extended ? QEL_OPEN_EXTENDED_ID : 0),
                  config.control_port),
        0);
    ASSERT_EQ(r.queue(sim.payload_size(), 4), 0);
    ASSERT_EQ(sim.start(), "");
    for (uint64_t frame = 0; frame < 3; ++frame) {
        qel_block_t b{};
        qel_pr_status_t status{};
        ASSERT_EQ(r.poll(&b, &status, kReqBase), 0) << "frame " << frame;
        EXPECT_TRUE(is_frame(sim, b)) << "complete through the resends";
    }
    const uint64_t sent = r.stats().resend_sent;
    ASSERT_GE(sent, 2u) << "a request for each lossy frame";
    const std::vector<Bytes> packets = capture.take(sent, milliseconds(2000));
    sim.stop();
    ASSERT_EQ(packets.size(), sent) << "every request crossed loopback";

    const std::string path = "/tmp/qel-e2e-resend-" + std::to_string(config.control_port);
    camsim_test::PcapWriter pcap(path);
    for (const Bytes &p : packets) {
        // The datagram is the 8-byte GVCP header and exactly the payload its length field
        // declares, nothing after it.
        const size_t udp = size_t{p[0] & 0x0Fu} * 4;
        ASSERT_GE(p.size(), udp + 8 + 8);
        EXPECT_EQ(qel::load_be16(&p[udp + 4]), 8 + 8 + qel::load_be16(&p[udp + 8 + 4]));
        pcap.add_ip(p);
    }
    pcap.close();
    const char *const block_field =
        extended ? "gvcp.cmd.resend.extendedblockid" : "gvcp.cmd.resend.blockid";
    const char *const fields[] = {"gvcp.cmd.command", "gvcp.cmd.req_id", block_field,
                                  "gvcp.cmd.resend.firstpacketid", "gvcp.cmd.resend.lastpacketid"};
    const std::vector<Decoded> decoded = camsim_test::tshark_fields(
        path, " -d udp.port==" + std::to_string(config.control_port) + ",gvcp", fields);
    std::remove(path.c_str());
    ASSERT_EQ(decoded.size(), packets.size());
    std::vector<bool> covered(std::size(kLost), false);
    for (const Decoded &d : decoded) {
        EXPECT_EQ(number(d, "gvcp.cmd.command"), 0x0040) << "PACKETRESEND_CMD";
        const long long req_id = number(d, "gvcp.cmd.req_id");
        EXPECT_TRUE(req_id >= kReqBase && req_id < kReqBase + 50) << req_id;
        const long long block = number(d, block_field);
        const bool frame0 = block == static_cast<long long>(sim.block_id_for_frame(0));
        EXPECT_TRUE(frame0 || block == static_cast<long long>(sim.block_id_for_frame(2))) << block;
        const uint64_t frame = frame0 ? 0 : 2;
        const long long first = number(d, "gvcp.cmd.resend.firstpacketid");
        const long long last = number(d, "gvcp.cmd.resend.lastpacketid");
        EXPECT_LE(first, last);
        // Exactly one lost range, or to the end of the block from the first missing packet (an
        // earlier one when the sender stalled before it).
        bool exact = false;
        for (size_t i = 0; i < std::size(kLost); ++i) {
            if (kLost[i].frame != frame) continue;
            exact = exact || (first == kLost[i].first && last == kLost[i].last);
            if (first <= kLost[i].first && last >= kLost[i].last) covered[i] = true;
        }
        if (ranged) {
            EXPECT_TRUE(exact) << first << ".." << last << " is no lost range";
        } else {
            EXPECT_EQ(last, block_end);
        }
    }
    for (size_t i = 0; i < std::size(kLost); ++i) {
        EXPECT_TRUE(covered[i]) << "frame " << kLost[i].frame << " packets " << kLost[i].first
                                << ".." << kLost[i].last << " were asked for";
    }
}

INSTANTIATE_TEST_SUITE_P(Requests, ResendCapture,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param) ? "ranged" : "whole_tail") +
                                    (std::get<1>(info.param) ? "_extended_ids" : "");
                         });

}  // namespace
}  // namespace qel::test
