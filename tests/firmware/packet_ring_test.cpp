// The firmware's two ways in, a UDP socket and a packet socket's ring, receive the same
// camera stream whole and byte for byte; the ring takes nothing but the stream's datagrams,
// and frames forged on loopback are refused without harming the stream. The ring needs
// CAP_NET_RAW: its cases are skipped, saying so, where the test may not open one.
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cstring>

#include "adapter/firmware/udp_frame.h"
#include "camsim/camsim.h"
#include "gvsp_builder.h"
#include "library_fixture.h"

namespace qel::test {
namespace {

bool may_open_packet_sockets() {
    const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

class ReceivePath : public LibraryReceive {
protected:
    void use(const char *path) {
        setenv("QEL_ADAPTER_RECEIVE", path, 1);
        ring_ = std::strcmp(path, "ring") == 0;
    }
    void TearDown() override {
        LibraryReceive::TearDown();
        unsetenv("QEL_ADAPTER_RECEIVE");
    }
    // qel_poll_recv until a block comes, for at most 20 s: the ring hands a partly filled
    // block over on a kernel timer, which a loaded machine may run late.
    int wait_for_block(qel_block_t *block) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        int rc = QEL_EAGAIN;
        while ((rc == QEL_EAGAIN || rc == QEL_ETIMEDOUT) &&
               std::chrono::steady_clock::now() < end) {
            rc = qel_poll_recv(stream_, block, 100);
        }
        return rc;
    }
    bool ring_ = false;
};

struct PathCase {
    const char *name;
    const char *path;
    uint32_t packet_size;
};

class CameraThroughPath : public ReceivePath, public ::testing::WithParamInterface<PathCase> {};

TEST_P(CameraThroughPath, DeliversEveryFrameWholeAndSaysWhichPath) {
    const PathCase &c = GetParam();
    use(c.path);
    if (ring_ && !may_open_packet_sockets()) {
        GTEST_SKIP() << "packet sockets need CAP_NET_RAW, which this process lacks";
    }
    constexpr uint64_t kFrames = 12;
    camsim::Config config;
    config.dest_port = port_;
    config.payload = camsim::PayloadKind::image;
    config.width = 640;
    config.height = 120;
    config.packet_size = c.packet_size;
    config.frames = kFrames;
    config.frame_rate = 40;
    config.listen = false;
    camsim::Simulator sim(config);
    ASSERT_EQ(sim.config_error(), "");
    open(0);
    for (int i = 0; i < 16; ++i) queue(sim.payload_size() + 4096);
    EXPECT_EQ(counter(ring_ ? Counter::ring_starts : Counter::socket_starts), 1u);
    EXPECT_EQ(counter(ring_ ? Counter::socket_starts : Counter::ring_starts), 0u);
    ASSERT_EQ(sim.start(), "");

    for (uint64_t delivered = 0; delivered < kFrames; ++delivered) {
        qel_block_t b{};
        ASSERT_EQ(wait_for_block(&b), 0) << "after " << delivered << " frames";
        const auto frame = sim.frame_of_block(b.block_id);
        ASSERT_TRUE(frame.has_value()) << "block " << b.block_id;
        const std::vector<uint8_t> expected = sim.expected_payload(*frame);
        ASSERT_EQ(b.payload_length, expected.size());
        EXPECT_EQ(std::memcmp(b.data, expected.data(), expected.size()), 0)
            << "block " << b.block_id;
        ASSERT_EQ(qel_queue_buffer(b.buffer), 0);
    }
    sim.stop();
    EXPECT_EQ(counter_at_least(Counter::blocks_complete, kFrames), kFrames);
    EXPECT_EQ(counter(Counter::packets), sim.counters().packets_sent);
    EXPECT_EQ(counter(Counter::frames_refused), 0u);
    EXPECT_EQ(counter(Counter::malformed), 0u);
}

INSTANTIATE_TEST_SUITE_P(Paths, CameraThroughPath,
                         ::testing::Values(PathCase{"socket_1400", "socket", 1400},
                                           PathCase{"ring_1400", "ring", 1400},
                                           PathCase{"socket_jumbo", "socket", 8192},
                                           PathCase{"ring_jumbo", "ring", 8192}),
                         [](const auto &info) { return std::string(info.param.name); });

// Frames written straight onto loopback, as anyone with a packet socket could.
class FrameInjector {
public:
    FrameInjector() : fd_(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0)) {
        to_.sll_family = AF_PACKET;
        to_.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
        to_.sll_halen = 6;
    }
    ~FrameInjector() { ::close(fd_); }
    FrameInjector(const FrameInjector &) = delete;
    FrameInjector &operator=(const FrameInjector &) = delete;
    void send(const Bytes &frame) {
        EXPECT_EQ(sendto(fd_, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr *>(&to_),
                         sizeof to_),
                  static_cast<ssize_t>(frame.size()));
    }

private:
    int fd_;
    sockaddr_ll to_{};
};

void put16(Bytes &b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

// An Ethernet frame on loopback of `datagram` from 127.0.0.1:40000 to `address`:`port`,
// with a correct IP header checksum and no UDP checksum; `change` then spoils it.
Bytes forged(const Bytes &datagram, uint32_t address, uint16_t port,
             void (*change)(Bytes &) = nullptr) {
    Bytes f(42 + datagram.size(), 0);
    put16(f, 12, 0x0800);
    f[14] = 0x45;
    put16(f, 16, static_cast<uint32_t>(28 + datagram.size()));
    f[22] = 64;
    f[23] = 17;
    put16(f, 26, 0x7F00);
    put16(f, 28, 0x0001);
    put16(f, 30, address >> 16);
    put16(f, 32, address & 0xFFFF);
    put16(f, 34, 40000);
    put16(f, 36, port);
    put16(f, 38, static_cast<uint32_t>(8 + datagram.size()));
    std::copy(datagram.begin(), datagram.end(), f.begin() + 42);
    if (change != nullptr) change(f);
    put16(f, 24, 0);
    put16(f, 24, 0xFFFFu & ~adapter::ones_complement_sum({f.data() + 14, 20}));
    return f;
}

struct ForgedCase {
    const char *name;
    void (*change)(Bytes &);
    int address_delta;  // to the stream's address
    int port_delta;
    bool reaches_ring;  // past the socket's filter, to be refused by the firmware
};

TEST_F(ReceivePath, RingTakesOnlyTheStreamsDatagramsAndRefusesForgedFrames) {
    use("ring");
    if (!may_open_packet_sockets()) {
        GTEST_SKIP() << "packet sockets need CAP_NET_RAW, which this process lacks";
    }
    open(0);
    const Block block = make_block(Ids::standard, 1, BlockShape{}, 6000, 1000);
    const size_t bytes = block.data.size();
    qel_buffer_t *buffer = queue(bytes + 100);
    ASSERT_EQ(counter(Counter::ring_starts), 1u);

    const ForgedCase cases[] = {
        {"other_port", nullptr, 0, 1, false},
        {"other_address", nullptr, 1, 0, false},
        {"tcp", [](Bytes &f) { f[23] = 6; }, 0, 0, false},
        {"later_fragment", [](Bytes &f) { put16(f, 20, 0x0010); }, 0, 0, false},
        {"first_fragment", [](Bytes &f) { put16(f, 20, 0x2000); }, 0, 0, true},
        {"udp_checksum", [](Bytes &f) { put16(f, 40, 0x1234); }, 0, 0, true},
        {"udp_length_past_packet", [](Bytes &f) { put16(f, 38, 60000); }, 0, 0, true},
        {"ip_total_length_past_frame", [](Bytes &f) { put16(f, 16, 60000); }, 0, 0, true},
        // The filter reads the port where this header says it ends: no match.
        {"ip_header_length_short", [](Bytes &f) { f[14] = 0x44; }, 0, 0, false},
        {"ip_header_length_long", [](Bytes &f) { f[14] = 0x46; }, 0, 0, false},
    };
    FrameInjector injector;
    uint64_t refused = 0;
    // Each forged frame carries a data packet of the block that would land in place.
    for (const ForgedCase &c : cases) {
        SCOPED_TRACE(c.name);
        injector.send(forged(block.packets[2], ntohl(loopback_) + c.address_delta,
                             static_cast<uint16_t>(port_ + c.port_delta), c.change));
        refused += c.reaches_ring ? 1 : 0;
    }
    // The filter's drops leave no trace; the frames that reached the ring are all refused
    // before any packet is taken.
    Sender camera(port_);
    for (const Bytes &p : block.packets) camera.send(p);
    qel_block_t b{};
    ASSERT_EQ(wait_for_block(&b), 0);
    EXPECT_EQ(b.buffer, buffer);
    ASSERT_EQ(b.payload_length, bytes);
    EXPECT_EQ(std::memcmp(b.data, block.data.data(), bytes), 0);
    EXPECT_EQ(counter(Counter::frames_refused), refused);
    EXPECT_EQ(counter(Counter::packets), block.packets.size());
    EXPECT_EQ(counter(Counter::duplicates), 0u);
}

}  // namespace
}  // namespace qel::test
