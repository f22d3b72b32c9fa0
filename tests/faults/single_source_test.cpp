// One sender per stream: once a stream's first leader has come, packets from any other address
// or port are counted and ignored, so a flood of them changes nothing in the frames received;
// and a stray sender before the camera cannot keep the camera out.
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

// A camera of 60,000-byte raw blocks at 50 frames/s to `port`, answering resend requests.
camsim::Config raw_camera(uint16_t port, uint64_t frames) {
    camsim::Config config;
    config.dest_port = port;
    config.control_address = "127.0.0.1";
    config.control_port = camsim::free_loopback_port();
    config.payload = camsim::PayloadKind::raw;
    config.data_size = 60000;
    config.first_block_id = 1;
    config.frames = frames;
    config.frame_rate = 50;
    return config;
}

// Another socket floods the stream port with packets shaped like the stream's own.
TEST_F(LibraryReceive, AFloodOfForeignPacketsChangesNoFrame) {
    unsetenv("QEL_ADAPTER_ANY_SOURCE");
    constexpr uint64_t kFrames = 30;
    const camsim::Config config = raw_camera(port_, kFrames);
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

struct StrayCase {
    const char *name;
    bool camera_named;  // a zero-loss stream, which names the camera (127.0.0.1)
    const char *stray;  // where the stray leader comes from
    uint64_t least_delivered;
    uint64_t source_changes;
};

class StrayLeader : public LibraryReceive, public ::testing::WithParamInterface<StrayCase> {};

// One leader from another sender reaches the stream before the camera starts. A stream that
// names its camera never takes it; one that does not takes the camera once the stray has
// been silent for a second.
TEST_P(StrayLeader, BeforeTheCameraDoesNotKeepTheCameraOut) {
    const StrayCase &c = GetParam();
    unsetenv("QEL_ADAPTER_ANY_SOURCE");
    constexpr uint64_t kFrames = 150;  // three seconds
    const camsim::Config config = raw_camera(port_, kFrames);
    camsim::Simulator sim(config);
    ASSERT_EQ(sim.config_error(), "");
    if (c.camera_named) {
        open_pr(0, config.control_port);
    } else {
        open(0);
    }
    for (int i = 0; i < 16; ++i) queue(sim.payload_size() + 4096);
    Sender stray(port_, c.stray);
    stray.send(leader_packet(1000, sim.trailer_packet_id()));
    ASSERT_GE(counter_at_least(Counter::packets, 1), 1u);
    ASSERT_EQ(sim.start(), "");

    uint64_t delivered = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool sent = false;
    while (delivered < kFrames && std::chrono::steady_clock::now() < end) {
        qel_block_t b{};
        const int rc = qel_poll_recv(stream_, &b, 100);
        if (rc == QEL_EAGAIN || rc == QEL_ETIMEDOUT) {
            // Once everything was sent, a quiet stream has nothing more to give.
            if (sent && rc == QEL_ETIMEDOUT) break;
            sent = sent || sim.wait_sent(std::chrono::milliseconds(0));
            continue;
        }
        if (rc != 0) continue;  // a block dropped or not received whole
        if (sim.frame_of_block(b.block_id).has_value()) ++delivered;
        ASSERT_EQ(qel_queue_buffer(b.buffer), 0);
    }
    sim.stop();
    EXPECT_GE(delivered, c.least_delivered);
    EXPECT_GT(counter(Counter::foreign_source), 0u);
    EXPECT_EQ(counter(Counter::source_changes), c.source_changes);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, StrayLeader,
    ::testing::Values(StrayCase{"camera_named", true, "127.0.0.2", 150, 0},
                      // The first second's frames (50) are the stray's to lose.
                      StrayCase{"camera_not_named", false, "127.0.0.1", 80, 1}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::test
