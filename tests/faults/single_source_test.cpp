// One sender per stream: once a stream's first leader has come, packets from any other address
// or port are counted and ignored, unless QEL_ADAPTER_ANY_SOURCE=1 accepts several senders. A
// flood of foreign datagrams at full speed, random or shaped like the stream's own packets,
// changes nothing in the frames received.
#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "camsim/camsim.h"
#include "firmware/gvsp_builder.h"
#include "firmware/library_fixture.h"
#include "support/capture.h"

namespace qel::test {
namespace {

// Standard-id GVSP packets of a raw-data block of `packets` x kPayload bytes.
constexpr uint32_t kPayload = 1000;

Bytes leader_packet(uint16_t block, uint32_t packets) {
    BlockShape raw;
    raw.payload_type = 2;
    return packet(head(Ids::standard, 1, block, 0), leader_payload(raw, packets * kPayload));
}
Bytes data_packet(uint16_t block, uint32_t id, uint8_t fill) {
    return packet(head(Ids::standard, 3, block, id), Bytes(kPayload, fill));
}
Bytes trailer_packet(uint16_t block, uint32_t packets) {
    return packet(head(Ids::standard, 2, block, packets + 1), {0, 0, 0, 2});
}

struct Senders {
    const char *name;
    bool any_source;
    bool complete;     // the block arrives whole from the camera's and the other's packets
    uint64_t foreign;  // packets counted as foreign
};

void PrintTo(const Senders &c, std::ostream *os) {
    *os << c.name;
}

class TwoSenders : public LibraryReceive, public ::testing::WithParamInterface<Senders> {};

// The camera sends its leader and the first half of the data; another sender on the same
// stream port sends a spoofed copy of the first packet, then the second half and the trailer.
TEST_P(TwoSenders, OnlyTheFirstLeadersSenderFeedsTheStream) {
    const Senders &c = GetParam();
    ScopedEnv any("QEL_ADAPTER_ANY_SOURCE",
                  c.any_source ? std::optional<std::string>("1") : std::nullopt);
    // A block that waits in vain for its packets ends soon; one that gets them has all the
    // time a loaded machine needs.
    if (!c.complete) setenv("QEL_ADAPTER_BLOCK_TIMEOUT_MS", "50", 1);
    open(0);
    constexpr uint32_t kPackets = 8;
    qel_buffer_t *b = queue(kPackets * kPayload + 4096);
    Sender camera(port_);
    Sender other(port_);
    camera.send(leader_packet(7, kPackets));
    for (uint32_t i = 1; i <= kPackets / 2; ++i) camera.send(data_packet(7, i, uint8_t(i)));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    other.send(data_packet(7, 1, 0xEE));
    for (uint32_t i = kPackets / 2 + 1; i <= kPackets; ++i) {
        other.send(data_packet(7, i, uint8_t(i)));
    }
    other.send(trailer_packet(7, kPackets));

    qel_block_t got{};
    const int rc = poll(&got);
    if (c.complete) {
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(got.buffer, b);
        EXPECT_EQ(got.block_id, 7u);
        ASSERT_EQ(got.payload_length, kPackets * kPayload);
        EXPECT_EQ(counter_at_least(Counter::blocks_complete, 1), 1u);
    } else {
        EXPECT_NE(rc, 0) << "a block missing half its packets is not delivered";
        EXPECT_EQ(counter_at_least(Counter::blocks_incomplete_final, 1), 1u);
        EXPECT_EQ(counter(Counter::blocks_complete), 0u);
    }
    // Whoever the stream took, packet 1 holds the camera's bytes: the spoofed copy came later.
    const auto *data = static_cast<const uint8_t *>(stream::buffer_data(b));
    EXPECT_EQ(data[0], 1);
    EXPECT_EQ(data[kPayload - 1], 1);
    EXPECT_EQ(counter(Counter::foreign_source), c.foreign);
}

INSTANTIATE_TEST_SUITE_P(Sources, TwoSenders,
                         ::testing::Values(Senders{"one_source", false, false, 1 + 4 + 1},
                                           Senders{"any_source", true, true, 0}),
                         [](const auto &info) { return std::string(info.param.name); });

// Packets of another sender before any leader do not choose the source (they may open a block
// of their own, which ends incomplete): the camera's leader that follows does.
TEST_F(LibraryReceive, ForeignPacketsBeforeTheFirstLeaderChooseNothing) {
    unsetenv("QEL_ADAPTER_ANY_SOURCE");
    setenv("QEL_ADAPTER_BLOCK_TIMEOUT_MS", "50", 1);
    setenv("QEL_ADAPTER_RESEND_INTERVAL_MS", "5", 1);
    open(0);
    queue(4 * kPayload + 4096);
    queue(4 * kPayload + 4096);
    Sender camera(port_);
    Sender other(port_);
    other.send(data_packet(3, 1, 0xEE));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    camera.send(leader_packet(4, 4));
    for (uint32_t i = 1; i <= 4; ++i) camera.send(data_packet(4, i, uint8_t(i)));
    camera.send(trailer_packet(4, 4));
    qel_block_t got{};
    for (int i = 0; i < 2 && got.block_id != 4; ++i) ASSERT_EQ(poll(&got), 0);
    EXPECT_EQ(got.block_id, 4u);
    EXPECT_EQ(got.payload_length, 4 * kPayload);
    EXPECT_EQ(counter(Counter::foreign_source), 0u);
}

// The camera simulator streams while another socket floods the stream port with random
// datagrams and with packets shaped like the stream's own (its block ids, every packet id,
// leaders and trailers among them). Every frame arrives whole and equal to what was sent.
TEST_F(LibraryReceive, AFloodOfForeignPacketsChangesNoFrame) {
    unsetenv("QEL_ADAPTER_ANY_SOURCE");
    constexpr uint64_t kFrames = 30;
    camsim::Config config;
    config.dest_port = port_;
    config.control_address = "127.0.0.1";
    config.control_port = free_port();
    config.payload = camsim::PayloadKind::raw;
    config.data_size = 60000;
    config.first_block_id = 1;
    config.frames = kFrames;
    config.frame_rate = 50;
    camsim::Simulator sim(config);
    ASSERT_EQ(sim.config_error(), "");
    open_pr(0, config.control_port);
    for (int i = 0; i < 16; ++i) queue(sim.payload_size() + 4096);
    ASSERT_EQ(sim.start(), "");

    // The first frame chooses the source; then the flood starts.
    qel_block_t first{};
    ASSERT_EQ(poll_pr(&first, nullptr), 0);
    ASSERT_EQ(qel_queue_buffer(first.buffer), 0);
    uint64_t delivered = 1;

    std::atomic<uint64_t> flooded{0};
    std::jthread flood([&](std::stop_token stop) {
        Sender attacker(port_);
        std::mt19937 random(11);
        const uint32_t packets = sim.trailer_packet_id();
        while (!stop.stop_requested()) {
            const auto block = static_cast<uint16_t>(1 + random() % (kFrames + 2));
            Bytes d;
            switch (random() % 4) {
                case 0:
                    d.resize(random() % 1500);
                    for (auto &byte : d) byte = static_cast<uint8_t>(random());
                    break;
                case 1:
                    d = data_packet(block, 1 + random() % packets, 0xEE);
                    break;
                case 2:
                    d = leader_packet(block, packets);
                    break;
                default:
                    d = trailer_packet(block, 1 + random() % packets);
                    break;
            }
            attacker.send(d);
            flooded.fetch_add(1, std::memory_order_relaxed);  // read after the join
        }
    });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (delivered < kFrames && std::chrono::steady_clock::now() < end) {
        qel_block_t b{};
        qel_pr_status_t status{};
        const int rc = qel_poll_recv_pr(stream_, &b, 100, &status);
        if (rc == QEL_EAGAIN) continue;
        ASSERT_EQ(rc, 0) << "after " << delivered << " blocks";
        const auto frame = sim.frame_of_block(b.block_id);
        ASSERT_TRUE(frame.has_value()) << "block " << b.block_id;
        const std::vector<uint8_t> expected = sim.expected_payload(*frame);
        ASSERT_EQ(b.payload_length, expected.size()) << "block " << b.block_id;
        EXPECT_EQ(std::memcmp(b.data, expected.data(), expected.size()), 0)
            << "block " << b.block_id;
        ++delivered;
        ASSERT_EQ(qel_queue_buffer(b.buffer), 0);
    }
    flood.request_stop();
    flood.join();
    sim.stop();
    EXPECT_EQ(delivered, kFrames);
    EXPECT_GT(flooded.load(), kFrames * 10) << "the flood must have run";
    EXPECT_GT(counter(Counter::foreign_source), 0u);
    EXPECT_EQ(counter(Counter::blocks_incomplete_final), 0u);
}

}  // namespace
}  // namespace qel::test
