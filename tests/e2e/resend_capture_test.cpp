// The library's own resend requests as an independent decoder reads them: a lossy stream makes
// qel_poll_recv_pr ask the camera for packets, and qel_packet_resend asks once more by hand. The
// requests are captured on the loopback interface (or, without the privilege to capture, as
// the camera's control port receives them) and tshark's GVCP dissector must read each as a
// PACKETRESEND command naming the block and packets the library meant. The camera's control
// port here is a relay that records each request and passes it on to the simulator, whose
// answers complete the blocks.
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include "../camsim/wire_helpers.h"
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
        // Only UDP to the port, unfragmented, passes the kernel's filter: the loopback
        // interface carries every other test's traffic too, which would fill the socket.
        sock_filter code[] = {
            {BPF_LD | BPF_B | BPF_ABS, 0, 0, 9},  // protocol
            {BPF_JMP | BPF_JEQ | BPF_K, 0, 6, 17},
            {BPF_LD | BPF_H | BPF_ABS, 0, 0, 6},  // fragment offset
            {BPF_JMP | BPF_JSET | BPF_K, 4, 0, 0x1FFF},
            {BPF_LDX | BPF_B | BPF_MSH, 0, 0, 0},  // header length
            {BPF_LD | BPF_H | BPF_IND, 0, 0, 2},   // destination port
            {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, port},
            {BPF_RET | BPF_K, 0, 0, 0xFFFF},
            {BPF_RET | BPF_K, 0, 0, 0},
        };
        const sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
        const int bytes = 4 << 20;
        if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
        }
        if (setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
        sockaddr_ll where{};
        where.sll_family = AF_PACKET;
        where.sll_protocol = htons(ETH_P_IP);
        where.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
        if (where.sll_ifindex == 0 ||
            bind(fd_, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~LoopbackCapture() {
        if (fd_ >= 0) ::close(fd_);
    }
    LoopbackCapture(const LoopbackCapture &) = delete;
    LoopbackCapture &operator=(const LoopbackCapture &) = delete;

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
            if ((packet[0] >> 4) != 4 || packet[9] != 17 || size_t(n) < header + 8) continue;
            if (camsim_test::be16(&packet[header + 2]) != port_) continue;
            out.emplace_back(packet.begin(), packet.begin() + n);
        }
        return out;
    }

private:
    int fd_ = -1;
    uint16_t port_;
};

// The camera's control port as the library sees it: keeps every datagram and passes it on to
// the simulator's control port.
class Relay {
public:
    explicit Relay(uint16_t to) : to_(to), thread_([this] { run(); }) {}
    ~Relay() { stop(); }
    Relay(const Relay &) = delete;
    Relay &operator=(const Relay &) = delete;

    uint16_t port() const { return socket_.port(); }
    void stop() {
        // Relaxed: the flag publishes nothing; join orders the rest.
        stopping_.store(true, std::memory_order_relaxed);
        if (thread_.joinable()) thread_.join();
    }
    std::vector<Bytes> received() const {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    void run() {
        while (!stopping_.load(std::memory_order_relaxed)) {
            std::optional<Bytes> d = socket_.receive(milliseconds(20));
            if (!d) continue;
            socket_.send_to(to_, *d);
            std::lock_guard lock(mutex_);
            received_.push_back(std::move(*d));
        }
    }

    camsim_test::UdpSocket socket_;
    uint16_t to_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<Bytes> received_;
    std::thread thread_;
};

const char *const kFields[] = {
    "udp.dstport",
    "gvcp.cmd.command",
    "gvcp.cmd.flag.64bitid",
    "gvcp.cmd.flag.acq_required",
    "gvcp.cmd.payloadlength",
    "gvcp.cmd.req_id",
    "gvcp.cmd.resend.streamchannelindex",
    "gvcp.cmd.resend.blockid",
    "gvcp.cmd.resend.extendedblockid",
    "gvcp.cmd.resend.firstpacketid",
    "gvcp.cmd.resend.lastpacketid",
};

constexpr uint16_t kChannel = 3;
constexpr uint16_t kReqBase = 0x1F70;
constexpr uint16_t kHandRequest = 0xBEEF;

// Frames 0 and 2 each lose a packet; frame 1 arrives whole.
constexpr uint32_t kLost[] = {4, 0, 9};

// One stream's requests, as the control port received them and as the capture saw them.
struct Asked {
    camsim::Config config;
    uint16_t port = 0;
    std::vector<Bytes> requests;
    std::vector<Bytes> packets;  // empty without the privilege to capture
};

// Streams three frames, two of them lossy, to a zero-loss stream, then asks by hand for
// packets 5 to 6 of frame 1. Every block must arrive whole through the relayed requests.
void stream_and_ask(bool extended, Asked &run) {
    camsim::Config &config = run.config;
    config = stream_to(free_port());
    config.payload = camsim::PayloadKind::raw;
    config.data_size = 20000;
    config.extended_ids = extended;
    config.first_block_id = extended ? 0x700000010ull : 0x4240;
    config.channel = kChannel;
    config.frames = 3;
    config.faults.drops = {{0, kLost[0]}, {2, kLost[2]}};
    camsim::Simulator sim(config);

    Relay relay(config.control_port);
    run.port = relay.port();
    LoopbackCapture capture(relay.port());
    Receiver r;
    ASSERT_EQ(
        r.open_pr(config.dest_port, extended ? QEL_OPEN_EXTENDED_ID : 0, relay.port(), kChannel),
        0);
    ASSERT_EQ(r.queue(sim.payload_size(), 4), 0);
    ASSERT_EQ(sim.start(), "");
    for (uint64_t frame = 0; frame < 3; ++frame) {
        qel_block_t b{};
        qel_pr_status_t status{};
        ASSERT_EQ(r.poll_pr(&b, &status, kReqBase), 0) << "frame " << frame;
        EXPECT_EQ(status.status, 2u);
        EXPECT_EQ(b.block_id, sim.block_id_for_frame(frame));
        EXPECT_TRUE(is_frame(sim, b));
    }
    ASSERT_EQ(
        qel_packet_resend(r.stream(), kHandRequest, 5, 6, sim.block_id_for_frame(1), kChannel), 0);
    const uint64_t sent = r.stats().resend_sent;
    EXPECT_TRUE(eventually([&] { return relay.received().size() >= sent; }));
    relay.stop();
    sim.stop();
    run.requests = relay.received();
    ASSERT_EQ(run.requests.size(), sent);
    ASSERT_GE(run.requests.size(), 3u) << "one request for each lossy frame, one by hand";
    if (capture.valid()) {
        run.packets = capture.take(run.requests.size(), milliseconds(2000));
        ASSERT_EQ(run.packets.size(), run.requests.size()) << "every request crossed loopback";
    }
}

// What tshark read of one run's requests, in the order they were sent.
void check(const Asked &run, std::span<const Decoded> decoded) {
    const bool extended = run.config.extended_ids;
    const uint32_t last = extended ? 0xFFFFFFFFu : 0xFFFFFFu;
    std::vector<int> per_frame(3);
    for (size_t i = 0; i < decoded.size(); ++i) {
        const Decoded &d = decoded[i];
        SCOPED_TRACE(std::string(extended ? "extended" : "standard") + " ids, request " +
                     std::to_string(i));
        EXPECT_EQ(number(d, "udp.dstport"), run.port);
        EXPECT_EQ(number(d, "gvcp.cmd.command"), 0x0040) << "PACKETRESEND_CMD";
        EXPECT_EQ(number(d, "gvcp.cmd.flag.64bitid"), extended ? 1 : 0);
        EXPECT_EQ(number(d, "gvcp.cmd.flag.acq_required"), 0);
        EXPECT_EQ(number(d, "gvcp.cmd.payloadlength"), extended ? 20 : 12);
        EXPECT_EQ(number(d, "gvcp.cmd.resend.streamchannelindex"), kChannel);
        const long long block =
            number(d, extended ? "gvcp.cmd.resend.extendedblockid" : "gvcp.cmd.resend.blockid");
        const long long first = number(d, "gvcp.cmd.resend.firstpacketid");
        const long long req_id = number(d, "gvcp.cmd.req_id");
        if (i + 1 == decoded.size()) {  // the one asked by hand
            EXPECT_EQ(req_id, kHandRequest);
            EXPECT_EQ(block, static_cast<long long>(camsim::block_id_for_frame(run.config, 1)));
            EXPECT_EQ(first, 5);
            EXPECT_EQ(number(d, "gvcp.cmd.resend.lastpacketid"), 6);
            continue;
        }
        // qel_poll_recv_pr: from the first missing packet (an earlier one when the sender
        // stalled before it) to the end of the block, request ids counting from the base.
        int frame = -1;
        for (int f = 0; f < 3; ++f) {
            if (block == static_cast<long long>(camsim::block_id_for_frame(run.config, f))) {
                frame = f;
            }
        }
        ASSERT_TRUE(frame == 0 || frame == 2) << "block " << block << " lost nothing";
        ++per_frame[frame];
        EXPECT_GE(first, 1);
        EXPECT_LE(first, kLost[frame]);
        EXPECT_EQ(number(d, "gvcp.cmd.resend.lastpacketid"), last);
        EXPECT_GE(req_id, kReqBase);
        EXPECT_LT(req_id, kReqBase + 50);
    }
    EXPECT_GE(per_frame[0], 1);
    EXPECT_GE(per_frame[2], 1);
}

// Both id forms go into one file: tshark takes a second or two to start.
TEST_F(EndToEnd, ResendRequestsDecodeAsPacketResendCommandsNamingTheLostPackets) {
    if (!camsim_test::have_tshark()) {
        GTEST_SKIP() << "tshark is not installed (scripts/install-deps installs it)";
    }
    Asked runs[2];
    ASSERT_NO_FATAL_FAILURE(stream_and_ask(false, runs[0]));
    ASSERT_NO_FATAL_FAILURE(stream_and_ask(true, runs[1]));

    char path[] = "/tmp/qel-e2e-resend-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    camsim_test::PcapWriter pcap(path);
    std::string options;
    for (const Asked &run : runs) {
        if (!run.packets.empty()) {
            for (const Bytes &p : run.packets) pcap.add_ip(p);
        } else {
            for (const Bytes &d : run.requests) pcap.add(40000, run.port, d);
        }
        options += " -d udp.port==" + std::to_string(run.port) + ",gvcp";
    }
    pcap.close();
    RecordProperty("capture", runs[0].packets.empty() ? "control port" : "loopback interface");
    const std::vector<Decoded> decoded = camsim_test::tshark_fields(path, options, kFields);
    std::remove(path);
    ASSERT_EQ(decoded.size(), runs[0].requests.size() + runs[1].requests.size());
    const std::span<const Decoded> all(decoded);
    check(runs[0], all.first(runs[0].requests.size()));
    check(runs[1], all.subspan(runs[0].requests.size()));
}

}  // namespace
}  // namespace qel::test
