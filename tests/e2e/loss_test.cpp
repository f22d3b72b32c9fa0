// One per cent of the packets lost on the way, seeded: the frames that lost packets are known
// in advance. With packet resend every frame arrives whole and the resend counters of the
// library, the firmware and the simulator agree; without it exactly the frames that lost
// packets are dropped and counted. Either way every buffer comes back.
#include <algorithm>

#include "camsim/faults.h"
#include "e2e_fixture.h"

namespace qel::test {
namespace {

constexpr uint64_t kFrames = 30;
constexpr int kBuffers = 16;

struct LossCase {
    const char *name;
    bool resend;
};

// The packet ids frame `frame` withholds, as the simulator will.
std::vector<uint32_t> planned_losses(const camsim::Config &config, uint32_t trailer_id,
                                     uint64_t frame) {
    camsim::FaultPlan plan(config.faults);
    plan.begin_frame(frame, trailer_id);
    std::vector<bool> sent(trailer_id + 1);
    uint32_t id = 0;
    while (plan.next(&id)) sent[id] = true;
    std::vector<uint32_t> lost;
    for (uint32_t i = 0; i <= trailer_id; ++i) {
        if (!sent[i]) lost.push_back(i);
    }
    return lost;
}

class OnePerCentLoss : public EndToEnd, public ::testing::WithParamInterface<LossCase> {};

TEST_P(OnePerCentLoss, FramesArriveOrAreDroppedAsTheirLossesSayAndNoBufferIsLost) {
    const LossCase c = GetParam();
    // Without resend the blocks behind a lossy one wait for its block timeout: short, so that
    // they do not run out of buffers (with this seed at most five frames wait at once). With
    // resend, long, so that a slow answer on a loaded machine never ends a block.
    set_block_timeout(milliseconds(c.resend ? 3000 : 100));
    camsim::Config config = stream_to(free_port());
    config.payload = camsim::PayloadKind::raw;
    config.data_size = 16000;
    config.frames = kFrames;
    config.frame_rate = 40;
    config.faults.seed = 113;
    config.faults.loss_per_mille = 10;
    camsim::Simulator sim(config);
    ASSERT_EQ(sim.config_error(), "");

    std::vector<bool> whole(kFrames);
    uint64_t lossy = 0;
    uint64_t withheld = 0;
    bool leader_or_trailer_lost = false;
    for (uint64_t f = 0; f < kFrames; ++f) {
        const std::vector<uint32_t> lost = planned_losses(config, sim.trailer_packet_id(), f);
        whole[f] = lost.empty();
        lossy += !whole[f];
        withheld += lost.size();
        leader_or_trailer_lost |=
            !lost.empty() && (lost.front() == 0 || lost.back() == sim.trailer_packet_id());
    }
    // What the seed was chosen for: some frames whole, some not, a leader or trailer lost.
    ASSERT_GT(lossy, 2u);
    ASSERT_LT(lossy, kFrames / 2);
    ASSERT_TRUE(leader_or_trailer_lost);

    Receiver r;
    if (c.resend) {
        ASSERT_EQ(r.open_pr(config.dest_port, 0, config.control_port), 0);
    } else {
        ASSERT_EQ(r.open(config.dest_port, 0), 0);
    }
    ASSERT_EQ(r.queue(sim.payload_size(), kBuffers), 0);
    ASSERT_EQ(sim.start(), "");

    uint64_t delivered = 0;
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (delivered + r.stats().blocks_dropped < kFrames && Clock::now() < end) {
        qel_block_t b{};
        qel_pr_status_t status{};
        const int rc = c.resend ? qel_poll_recv_pr(r.stream(), &b, 0, &status)
                                : qel_poll_recv(r.stream(), &b, 50);
        if (rc == QEL_EAGAIN || rc == QEL_ETIMEDOUT) {
            if (c.resend) std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        ASSERT_EQ(rc, 0) << "after " << delivered << " blocks";
        ASSERT_TRUE(is_frame(sim, b));
        if (c.resend) {
            EXPECT_EQ(status.status, 2u) << "complete, block " << b.block_id;
        } else {
            EXPECT_TRUE(whole[*sim.frame_of_block(b.block_id)])
                << "block " << b.block_id << " lost packets on the way and came whole";
        }
        ++delivered;
        ASSERT_EQ(qel_queue_buffer(b.buffer), 0);
    }

    const qel_stats_t stats = r.stats();
    const uint64_t dropped = c.resend ? 0 : lossy;
    EXPECT_EQ(delivered, kFrames - dropped);
    EXPECT_EQ(stats.blocks_complete, kFrames - dropped);
    EXPECT_EQ(stats.blocks_dropped, dropped);
    EXPECT_EQ(r.counter_at_least(Counter::blocks_complete, kFrames - dropped), kFrames - dropped);
    EXPECT_EQ(r.counter(Counter::blocks_incomplete_final), dropped);

    // Every request the library sent reached the simulator as a valid command, and every packet
    // the simulator sent, first or again, reached the firmware.
    EXPECT_TRUE(eventually([&] { return sim.counters().resend_requests >= stats.resend_sent; }));
    sim.stop();
    const camsim::Counters sent = sim.counters();
    EXPECT_EQ(sent.frames_sent, kFrames);
    EXPECT_EQ(sent.packets_withheld, withheld);
    EXPECT_EQ(sent.resend_requests, stats.resend_sent);
    EXPECT_EQ(sent.requests_malformed, 0u);
    EXPECT_EQ(sent.error_packets, 0u);
    EXPECT_EQ(stats.resend_failed, 0u);
    if (c.resend) {
        EXPECT_GE(sent.resend_requests, lossy);
    } else {
        EXPECT_EQ(sent.resend_requests, 0u);
    }
    const uint64_t datagrams = sent.packets_sent + sent.packets_resent;
    EXPECT_EQ(r.counter_at_least(Counter::packets, datagrams), datagrams);
    EXPECT_EQ(r.counter(Counter::resent), sent.packets_resent);

    // Every buffer is back with the firmware: as many frames as there are buffers arrive
    // without one being queued again, from the same camera (source port) as the stream's.
    const uint16_t camera_port = sim.source_port();
    sim.stop();
    camsim::Config more = stream_to(config.dest_port);
    more.source_port = camera_port;
    more.payload = config.payload;
    more.data_size = config.data_size;
    more.first_block_id = sim.block_id_for_frame(kFrames);
    more.frames = kBuffers;
    more.frame_rate = 100;
    more.listen = false;
    camsim::Simulator next(more);
    ASSERT_EQ(next.start(), "");
    for (int i = 0; i < kBuffers; ++i) {
        qel_block_t b{};
        qel_pr_status_t status{};
        const int rc = c.resend ? r.poll_pr(&b, &status, 1000) : r.poll(&b);
        ASSERT_EQ(rc, 0) << "buffer " << i << " of " << kBuffers;
        EXPECT_TRUE(is_frame(next, b));
    }
}

INSTANTIATE_TEST_SUITE_P(Resend, OnePerCentLoss,
                         ::testing::Values(LossCase{"with_resend", true},
                                           LossCase{"without_resend", false}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::test
