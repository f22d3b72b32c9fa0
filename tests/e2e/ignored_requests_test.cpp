// A camera that ignores resend requests: the block that lost a packet ends INCOMPLETE_FINAL once
// the adapter's block timeout has passed, and qel_poll_recv_pr delivers it or drops it as the
// stream's flags say, the blocks before and after it whole.
#include <algorithm>

#include "e2e_fixture.h"

namespace qel::test {
namespace {

constexpr milliseconds kBlockTimeout(150);
constexpr uint32_t kLostPacket = 3;

struct IgnoredCase {
    const char *name;
    uint32_t flags;
};

class RequestsIgnored : public EndToEnd, public ::testing::WithParamInterface<IgnoredCase> {};

TEST_P(RequestsIgnored, BlockEndsAfterTheBlockTimeoutAndIsDeliveredOrDroppedByTheFlags) {
    const IgnoredCase c = GetParam();
    const bool keep = (c.flags & QEL_OPEN_KEEP_INCOMPLETE) != 0;
    const bool extended = (c.flags & QEL_OPEN_EXTENDED_ID) != 0;
    set_block_timeout(kBlockTimeout);
    camsim::Config config = stream_to(free_port());
    config.payload = camsim::PayloadKind::raw;
    config.data_size = 20000;
    config.extended_ids = extended;
    config.first_block_id = extended ? 0x300000001ull : 7;
    config.frames = 3;
    config.ignore_resend = true;
    config.faults.drops = {{1, kLostPacket}};
    camsim::Simulator sim(config);

    Receiver r;
    ASSERT_EQ(r.open_pr(config.dest_port, c.flags, config.control_port), 0);
    ASSERT_EQ(r.queue(sim.payload_size(), 4), 0);
    ASSERT_EQ(sim.start(), "");

    qel_block_t b{};
    qel_pr_status_t status{};
    ASSERT_EQ(r.poll_pr(&b, &status, 0), 0);
    EXPECT_EQ(status.status, 2u);
    EXPECT_EQ(b.block_id, sim.block_id_for_frame(0));
    EXPECT_TRUE(is_frame(sim, b));
    const auto first_delivered = Clock::now();

    if (keep) {
        ASSERT_EQ(r.poll_pr(&b, &status, 0), 0);
        EXPECT_EQ(status.status, 3u) << "incomplete, delivered";
        EXPECT_EQ(status.packet_id, kLostPacket);
        EXPECT_GE(status.resend_count, 1u);
        ASSERT_EQ(b.block_id, sim.block_id_for_frame(1));
        // The record is what the leader said (a final status carries no trailer); the buffer
        // holds every byte but those of the packet that never came.
        EXPECT_EQ(b.payload_type, 2);
        const std::vector<uint8_t> expected = sim.expected_payload(1);
        EXPECT_EQ(b.u.raw.payload_size, expected.size());
        const size_t hole = size_t{kLostPacket - 1} * sim.payload_bytes_per_packet();
        const size_t hole_end = hole + sim.payload_bytes_per_packet();
        const auto *data = static_cast<const uint8_t *>(b.data);
        EXPECT_TRUE(std::equal(data, data + hole, expected.begin()));
        EXPECT_TRUE(std::equal(data + hole_end, data + expected.size(),
                               expected.begin() + static_cast<long>(hole_end)));
        ASSERT_EQ(qel_queue_buffer(b.buffer), 0);
    }
    // Frame 2 waited behind frame 1, which ended no sooner than the block timeout allows.
    ASSERT_EQ(r.poll_pr(&b, &status, 0), 0);
    EXPECT_EQ(b.block_id, sim.block_id_for_frame(2));
    EXPECT_EQ(status.status, 2u);
    EXPECT_TRUE(is_frame(sim, b));
    EXPECT_GE(Clock::now() - first_delivered, kBlockTimeout / 2);

    const qel_stats_t stats = r.stats();
    EXPECT_EQ(stats.blocks_complete, 2u);
    EXPECT_EQ(stats.blocks_incomplete, keep ? 1u : 0u);
    EXPECT_EQ(stats.blocks_dropped, keep ? 0u : 1u);
    EXPECT_EQ(r.counter_at_least(Counter::blocks_incomplete_final, 1), 1u);
    EXPECT_EQ(r.counter(Counter::blocks_complete), 2u);
    // The library asked; the camera heard every request and answered none.
    EXPECT_GE(stats.resend_sent, 1u);
    EXPECT_TRUE(eventually([&] { return sim.counters().requests_ignored >= stats.resend_sent; }));
    sim.stop();
    EXPECT_EQ(sim.counters().requests_ignored, stats.resend_sent);
    EXPECT_EQ(sim.counters().packets_resent, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, RequestsIgnored,
    ::testing::Values(IgnoredCase{"dropped_standard_ids", QEL_OPEN_DROP_INCOMPLETE},
                      IgnoredCase{"kept_extended_ids",
                                  QEL_OPEN_KEEP_INCOMPLETE | QEL_OPEN_EXTENDED_ID}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::test
