// One sender per stream: once a stream's first leader has come, packets from any other address
// or port are counted and ignored, so a flood of them changes nothing in the frames received.
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

constexpr uint32_t kPayload = 1000;

Bytes leader_packet(uint16_t block, uint32_t packets) {
    BlockShape raw;
    raw.payload_type = 2;
    return packet(Ids::standard, 1, block, 0, leader_payload(raw, packets * kPayload));
}

// Another socket floods the stream port with packets shaped like the stream's own.
TEST_F(LibraryReceive, AFloodOfForeignPacketsChangesNoFrame) {
    unsetenv("QEL_ADAPTER_ANY_SOURCE");
    constexpr uint64_t kFrames = 30;
    camsim::Config config;
    config.dest_port = port_;
    config.control_address = "127.0.0.1";
    config.control_port = camsim::free_loopback_port();
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
            const uint32_t id = 1 + random() % packets;  // the trailer's among them
            const uint8_t format = id == packets ? 2 : 3;
            attacker.send(random() % 2
                              ? leader_packet(block, packets)
                              : packet(Ids::standard, format, block, id,
                                       format == 2 ? Bytes{0, 0, 0, 2} : Bytes(kPayload, 0xEE)));
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
