// The application stops polling while the camera streams at full rate: the descriptor ring
// fills, the firmware holds back and ends the blocks it cannot hold with statuses, nothing the
// host has not read is overwritten, and reception resumes cleanly once polling resumes.
#include <chrono>
#include <cstring>
#include <thread>

#include "camsim/camsim.h"
#include "firmware/library_fixture.h"

namespace qel::test {
namespace {

TEST_F(LibraryReceive, AStallFillsTheRingThenReceptionResumesWithNothingOverwritten) {
    // 64 descriptors: fewer than the 48 buffers' blocks need (a leader and a final each).
    setenv("QEL_ADAPTER_RING_BYTES", "4096", 1);
    constexpr auto kStall = std::chrono::milliseconds(1000);
    camsim::Config config;
    config.dest_port = port_;
    config.listen = false;
    config.payload = camsim::PayloadKind::raw;
    config.data_size = 2800;  // three packets
    config.frame_rate = 2000;
    // Streams until the test has seen reception resume, however slowly a loaded machine
    // drains what piled up.
    config.duration_ms = 60000;
    camsim::Simulator sim(config);
    ASSERT_EQ(sim.config_error(), "");
    open(0);
    for (int i = 0; i < 48; ++i) queue(sim.payload_size() + 4096);
    ASSERT_EQ(sim.start(), "");

    // The application looks away; the ring fills and stays full.
    std::this_thread::sleep_for(kStall);
    const uint64_t sent_at_resume = sim.counters().frames_sent;
    EXPECT_GT(counter(Counter::ring_full_holds), 0u) << "the ring never filled";

    uint64_t delivered = 0;
    uint64_t last_frame = 0;
    bool any_after_resume = false;  // the camera is stopped then
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
        qel_block_t b{};
        const int rc = qel_poll_recv(stream_, &b, 50);
        if (rc == QEL_ETIMEDOUT && any_after_resume) break;
        if (rc == QEL_EAGAIN || rc == QEL_ENOBUFS || rc == QEL_ETIMEDOUT) continue;
        // Anything else (QEL_EPROTO above all) would mean a descriptor read out of turn.
        ASSERT_EQ(rc, 0) << "after " << delivered << " blocks";
        const auto frame = sim.frame_of_block(b.block_id);
        ASSERT_TRUE(frame.has_value() && *frame + 1 > last_frame) << "block " << b.block_id;
        last_frame = *frame + 1;
        const std::vector<uint8_t> expected = sim.expected_payload(*frame);
        ASSERT_EQ(b.payload_length, expected.size());
        EXPECT_EQ(std::memcmp(b.data, expected.data(), expected.size()), 0);
        if (*frame > sent_at_resume + 64 && !any_after_resume) {
            any_after_resume = true;
            sim.stop();
        }
        ++delivered;
        ASSERT_EQ(qel_queue_buffer(b.buffer), 0);
    }
    sim.stop();
    EXPECT_GE(delivered, 48u) << "the blocks held through the stall";
    EXPECT_TRUE(any_after_resume) << "reception resumed after the stall";
    // The blocks that found no buffer or no room in the ring were counted, none vanished.
    EXPECT_GT(counter(Counter::blocks_no_buffers) + counter(Counter::blocks_lost), 0u);
}

// Every frame the camera sent while the application looked away for two seconds, with a small
// ring, is delivered or counted among the stream's dropped blocks: none vanishes.
TEST_F(LibraryReceive, EveryFrameSentDuringAStallIsDeliveredOrCountedDropped) {
    setenv("QEL_ADAPTER_RING_BYTES", "4096", 1);
    constexpr uint64_t kFrames = 300;
    camsim::Config config;
    config.dest_port = port_;
    config.listen = false;
    config.payload = camsim::PayloadKind::raw;
    config.data_size = 2800;
    config.frame_rate = 300;
    config.frames = kFrames;
    camsim::Simulator sim(config);
    ASSERT_EQ(sim.config_error(), "");
    open(0);
    for (int i = 0; i < 16; ++i) queue(sim.payload_size() + 4096);
    ASSERT_EQ(sim.start(), "");
    ASSERT_TRUE(sim.wait_sent(std::chrono::seconds(30)));
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the stall outlasts the camera

    uint64_t delivered = 0;
    qel_stats_t stats{};
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (delivered + stats.blocks_dropped < kFrames && std::chrono::steady_clock::now() < end) {
        qel_block_t b{};
        if (qel_poll_recv(stream_, &b, 50) == 0) {
            ++delivered;
            ASSERT_EQ(qel_queue_buffer(b.buffer), 0);
        }
        ASSERT_EQ(qel_get_stats(stream_, &stats), 0);
    }
    sim.stop();
    EXPECT_EQ(sim.counters().frames_sent, kFrames);
    EXPECT_GE(delivered, 16u);
    EXPECT_EQ(delivered + stats.blocks_dropped, kFrames);
    EXPECT_EQ(counter(Counter::blocks_lost), 0u);
}

}  // namespace
}  // namespace qel::test
