// Lossy streams. One per cent of the packets lost on the way. With packet resend every frame
// arrives whole and the resend counters of the library, the firmware and the simulator agree;
// without it the frames that lost packets are dropped and counted. Either way every buffer comes
// back.
#include <string>
#include <tuple>
#include <vector>

#include "camsim/camsim.h"
#include "e2e_fixture.h"

namespace qel::test {
namespace {

constexpr uint64_t kFrames = 30;
constexpr uint32_t kBuffers = 16;

class OnePerCentLoss : public EndToEnd, public ::testing::WithParamInterface<bool> {};

TEST_P(OnePerCentLoss, FramesArriveOrAreDroppedAsTheirLossesSayAndNoBufferIsLost) {
    const bool resend = GetParam();
    // Without resend the blocks behind a lossy one wait for its block timeout: short, so that
    // they do not run out of buffers. With resend, long, so that a slow answer on a loaded
    // machine never ends a block.
    set_block_timeout(milliseconds(resend ? 3000 : 100));
    camsim::Config config = stream_to(camsim::free_loopback_port());
    config.payload = camsim::PayloadKind::raw;
    config.data_size = 16000;
    config.frames = kFrames;
    config.frame_rate = 40;
    config.faults.seed = 113;  // some frames whole, some not, a leader or trailer lost
    config.faults.loss_per_mille = 10;
    camsim::Simulator sim(config);
    Receiver r;
    ASSERT_EQ(
        resend ? r.open_pr(config.dest_port, 0, config.control_port) : r.open(config.dest_port, 0),
        0);
    ASSERT_EQ(r.queue(sim.payload_size(), kBuffers), 0);
    ASSERT_EQ(sim.start(), "");
    uint64_t delivered = 0;
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (delivered + r.stats().blocks_dropped < kFrames && Clock::now() < end) {
        qel_block_t b{};
        qel_pr_status_t status{};
        const int rc = r.poll(&b, resend ? &status : nullptr);
        if (rc == QEL_EAGAIN || rc == QEL_ETIMEDOUT) continue;
        ASSERT_EQ(rc, 0) << "after " << delivered << " blocks";
        ASSERT_TRUE(is_frame(sim, b)) << "a block that lost packets came whole";
        EXPECT_TRUE(!resend || status.status == 2u) << "incomplete block " << b.block_id;
        ++delivered;
        ASSERT_EQ(qel_queue_buffer(b.buffer), 0);
    }
    const qel_stats_t stats = r.stats();
    EXPECT_TRUE(eventually([&] { return sim.counters().resend_requests >= stats.resend_sent; }));
    sim.stop();
    const camsim::Counters sent = sim.counters();
    const uint64_t dropped = kFrames - delivered;
    // With resend nothing is dropped; without it, the frames that lost packets are.
    EXPECT_EQ(dropped == 0, resend) << dropped;
    EXPECT_LE(dropped, sent.packets_withheld);
    EXPECT_EQ(sent.resend_requests > 0, resend);
    EXPECT_EQ(stats.blocks_complete, delivered);
    EXPECT_EQ(stats.blocks_dropped, dropped);
    EXPECT_EQ(r.counter_at_least(Counter::blocks_complete, delivered), delivered);
    EXPECT_EQ(r.counter(Counter::blocks_incomplete_final), dropped);
    // Every request reached the simulator as a valid command, and every packet the simulator
    // sent, first or again, reached the firmware.
    EXPECT_EQ(sent.resend_requests, stats.resend_sent);
    EXPECT_EQ(sent.requests_malformed, 0u);
    const uint64_t datagrams = sent.packets_sent + sent.packets_resent;
    EXPECT_EQ(r.counter_at_least(Counter::packets, datagrams), datagrams);
    // The firmware counts a packet before it reads its header: the resent count may follow.
    EXPECT_EQ(r.counter_at_least(Counter::resent, sent.packets_resent), sent.packets_resent);

    // Every buffer is back with the firmware, queued for the next block.
    EXPECT_TRUE(eventually([&] { return r.queued_with_firmware() == kBuffers; }));
}

INSTANTIATE_TEST_SUITE_P(Resend, OnePerCentLoss, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "with" : "without"; });

// Where packets are lost, asked for with and without QEL_OPEN_RANGED_RESEND. Every other frame
// of the run loses the pattern's packets (ids counted from the trailer's for those at the end),
// the last frame none; the first resent copy of a `relost` packet is lost again (the firmware
// drops it), so that it is asked for a second time.
// Either way every frame arrives whole; with the flag the camera sends again what was lost and
// little more (a report repeated on a loaded machine costs one more copy of its gaps), where a
// request for the whole rest of the block costs everything after the first lost packet.
struct LossPattern {
    const char *name;
    std::vector<uint32_t> from_start;  // packet ids lost
    std::vector<uint32_t> from_end;    // trailer id minus these lost
    std::vector<uint32_t> relost;      // of those from the start, lost again when resent
};

class LossPatterns : public EndToEnd,
                     public ::testing::WithParamInterface<std::tuple<LossPattern, bool>> {};

TEST_P(LossPatterns, EveryFrameArrivesAndRangedRequestsResendWhatWasLost) {
    const auto &[pattern, ranged] = GetParam();
    constexpr uint64_t kPatternFrames = 17;
    set_block_timeout(milliseconds(3000));
    // A report is repeated when its answer has not come within a resend interval; on a loaded
    // machine the threads of the library and the simulator may take longer than the default
    // 10 ms to answer, and the repeat costs one more copy of the gaps. Whole-tail requests
    // also ask for the rest of a frame whose sender stalled. The interval is long enough here
    // that neither happens.
    setenv("QEL_ADAPTER_RESEND_INTERVAL_MS", "100", 1);
    camsim::Config config = stream_to(camsim::free_loopback_port());
    config.payload = camsim::PayloadKind::raw;
    config.data_size = 60000;  // over 40 data packets of the default size
    config.frames = kPatternFrames;
    config.frame_rate = 100;
    {
        camsim::Simulator layout(config);
        const uint32_t trailer = layout.trailer_packet_id();
        ASSERT_GT(trailer, 30u);
        for (uint64_t frame = 1; frame + 1 < kPatternFrames; frame += 2) {
            for (const uint32_t id : pattern.from_start) config.faults.drops.push_back({frame, id});
            for (const uint32_t back : pattern.from_end) {
                config.faults.drops.push_back({frame, trailer - back});
            }
        }
    }
    camsim::Simulator sim(config);
    Receiver r;
    ASSERT_EQ(r.open_pr(config.dest_port, ranged ? QEL_OPEN_RANGED_RESEND : 0, config.control_port),
              0);
    ASSERT_EQ(r.queue(sim.payload_size(), kBuffers), 0);
    for (uint64_t frame = 1; frame + 1 < kPatternFrames; frame += 2) {
        for (const uint32_t id : pattern.relost) {
            ASSERT_EQ(qel_drop_packet(r.stream(),
                                      static_cast<uint32_t>(sim.block_id_for_frame(frame)), id),
                      0);
        }
    }
    ASSERT_EQ(sim.start(), "");
    uint64_t delivered = 0;
    const auto end = Clock::now() + std::chrono::seconds(30);
    while (delivered < kPatternFrames && Clock::now() < end) {
        qel_block_t b{};
        qel_pr_status_t status{};
        const int rc = r.poll(&b, &status);
        if (rc == QEL_EAGAIN) continue;
        ASSERT_EQ(rc, 0) << "after " << delivered << " blocks";
        ASSERT_TRUE(is_frame(sim, b));
        EXPECT_EQ(status.status, 2u) << "incomplete block " << b.block_id;
        ++delivered;
        ASSERT_EQ(qel_queue_buffer(b.buffer), 0);
    }
    EXPECT_EQ(delivered, kPatternFrames) << "no frame lost";
    const qel_stats_t stats = r.stats();
    EXPECT_TRUE(eventually([&] { return sim.counters().resend_requests >= stats.resend_sent; }));
    sim.stop();
    const camsim::Counters sent = sim.counters();
    const uint64_t lost = sent.packets_withheld;
    ASSERT_EQ(lost, (kPatternFrames / 2) * (pattern.from_start.size() + pattern.from_end.size()));
    EXPECT_EQ(sent.resend_requests, stats.resend_sent);
    EXPECT_EQ(sent.requests_malformed, 0u);
    EXPECT_EQ(sent.error_packets, 0u) << "nothing asked for that the block does not have";
    const uint64_t relost = (kPatternFrames / 2) * pattern.relost.size();
    EXPECT_EQ(r.counter_at_least(Counter::resent, sent.packets_resent), sent.packets_resent);
    EXPECT_EQ(r.counter(Counter::dropped_on_request), relost);
    // Every copy beyond what was lost (and lost again) reached an ended block or one that had
    // the packet: the firmware counted each.
    // The firmware counts a copy as resent before it places it, so the count of where the
    // extra copies went may still be catching up.
    EXPECT_GE(sent.packets_resent, lost + relost);
    const uint64_t extra = sent.packets_resent - lost - relost;
    const auto placed_extra = [&] {
        return r.counter(Counter::duplicates) + r.counter(Counter::late);
    };
    eventually([&] { return placed_extra() >= extra; });
    EXPECT_EQ(extra, placed_extra());
    const double per_lost = static_cast<double>(sent.packets_resent) / static_cast<double>(lost);
    RecordProperty("resent_per_lost", std::to_string(per_lost));
    if (ranged) {
        EXPECT_LE(per_lost, 1.5) << sent.packets_resent << " resent for " << lost << ", "
                                 << r.counter(Counter::late) << " late";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, LossPatterns,
    ::testing::Combine(
        ::testing::Values(
            LossPattern{"single", {5}, {}, {}}, LossPattern{"two_singles", {5, 20}, {}, {}},
            LossPattern{"burst_of_10", {10, 11, 12, 13, 14, 15, 16, 17, 18, 19}, {}, {}},
            LossPattern{"leader", {0}, {}, {}}, LossPattern{"trailer", {}, {0}, {}},
            LossPattern{"last_data_packet", {}, {1}, {}},
            LossPattern{"leader_and_last_data_packet", {0}, {1}, {}},
            LossPattern{"two_gaps", {3, 4, 5, 25, 26}, {}, {}},
            LossPattern{"lost_again_inside_a_resent_range",
                        {10, 11, 12, 13, 14, 15, 16, 17, 18, 19},
                        {},
                        {14}}),
        ::testing::Bool()),
    [](const auto &info) {
        return std::string(std::get<0>(info.param).name) +
               (std::get<1>(info.param) ? "_ranged" : "_whole_tail");
    });

// A camera that ignores resend requests: the block that lost a packet ends INCOMPLETE_FINAL once
// the adapter's block timeout has passed, and qel_poll_recv_pr delivers it or drops it as the
// stream's flags say, the blocks before and after it whole.
constexpr milliseconds kBlockTimeout(150);
constexpr uint32_t kLostPacket = 3;

class RequestsIgnored : public EndToEnd, public ::testing::WithParamInterface<bool> {};

TEST_P(RequestsIgnored, BlockEndsAfterTheBlockTimeoutAndIsDeliveredOrDroppedByTheFlags) {
    const bool keep = GetParam();
    set_block_timeout(kBlockTimeout);
    camsim::Config config = stream_to(camsim::free_loopback_port());
    config.payload = camsim::PayloadKind::raw;
    config.data_size = 20000;
    config.frames = 3;
    config.ignore_resend = true;
    config.faults.drops = {{1, kLostPacket}};
    camsim::Simulator sim(config);

    Receiver r;
    const uint32_t flags = keep ? QEL_OPEN_KEEP_INCOMPLETE : QEL_OPEN_DROP_INCOMPLETE;
    ASSERT_EQ(r.open_pr(config.dest_port, flags, config.control_port), 0);
    ASSERT_EQ(r.queue(sim.payload_size(), 4), 0);
    ASSERT_EQ(sim.start(), "");

    qel_block_t b{};
    qel_pr_status_t status{};
    ASSERT_EQ(r.poll(&b, &status), 0);
    EXPECT_TRUE(is_frame(sim, b));
    const auto first_delivered = Clock::now();

    if (keep) {
        ASSERT_EQ(r.poll(&b, &status), 0);
        EXPECT_EQ(status.status, 3u) << "incomplete, delivered";
        EXPECT_EQ(status.packet_id, kLostPacket);
        ASSERT_EQ(b.block_id, sim.block_id_for_frame(1));
        ASSERT_EQ(qel_queue_buffer(b.buffer), 0);
    }
    // Frame 2 waited behind frame 1, which ended no sooner than the block timeout allows.
    ASSERT_EQ(r.poll(&b, &status), 0);
    EXPECT_EQ(b.block_id, sim.block_id_for_frame(2));
    EXPECT_TRUE(is_frame(sim, b));
    EXPECT_GE(Clock::now() - first_delivered, kBlockTimeout / 2);

    const qel_stats_t stats = r.stats();
    EXPECT_EQ(stats.blocks_complete, 2u);
    EXPECT_EQ(stats.blocks_incomplete, keep ? 1u : 0u);
    EXPECT_EQ(stats.blocks_dropped, keep ? 0u : 1u);
    EXPECT_EQ(r.counter_at_least(Counter::blocks_incomplete_final, 1), 1u);
    // The library asked; the camera heard every request and answered none.
    EXPECT_GE(stats.resend_sent, 1u);
    EXPECT_TRUE(eventually([&] { return sim.counters().requests_ignored >= stats.resend_sent; }));
    sim.stop();
}

INSTANTIATE_TEST_SUITE_P(Flags, RequestsIgnored, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "kept" : "dropped"; });

}  // namespace
}  // namespace qel::test
