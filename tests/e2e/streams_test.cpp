// Two streams side by side on one board, one of them multicast, each from a simulator streaming
// on loopback, every block equal to its frame byte for byte.
#include "camsim/camsim.h"
#include "e2e_fixture.h"

namespace qel::test {
namespace {

// Distinct payloads and id forms, so that a block that strayed to the other stream would not
// pass for one of its frames. The multicast simulator sends to a group on the loopback
// interface only (TTL 1, sent through 127.0.0.1); the library joins the group there.
TEST_F(EndToEnd, TwoStreamsOnOneBoardOneMulticastEachReceiveTheirOwnFrames) {
    constexpr uint64_t kFrames = 10;
    camsim::Config a_config = stream_to(camsim::free_loopback_port());  // 640 by 480 mono8 images
    camsim::Config b_config = stream_to(camsim::free_loopback_port());
    // Organisation-local scope, named after the free port so that runs side by side do not mix.
    const std::string group = "239.255." + std::to_string(b_config.dest_port >> 8) + "." +
                              std::to_string(b_config.dest_port & 0xFF);
    b_config.dest_address = group;
    b_config.multicast_interface = "127.0.0.1";
    b_config.payload = camsim::PayloadKind::raw;
    b_config.data_size = 30000;
    b_config.extended_ids = true;
    b_config.first_block_id = 0x500000000ull;
    for (camsim::Config *c : {&a_config, &b_config}) {
        c->frames = kFrames;
        c->frame_rate = 30;  // ten buffers: a third of a second behind before one is missing
    }
    camsim::Simulator a_sim(a_config), b_sim(b_config);
    Receiver a, b;
    ASSERT_EQ(a.open(a_config.dest_port, 0), 0);
    const uint32_t group_address = inet_addr(group.c_str());
    ASSERT_EQ(b.open(b_config.dest_port, QEL_OPEN_EXTENDED_ID, &group_address), 0);
    ASSERT_EQ(a.queue(a_sim.payload_size(), 10), 0);
    ASSERT_EQ(b.queue(b_sim.payload_size(), 10), 0) << "joining the group on loopback";
    ASSERT_EQ(a_sim.start(), "");
    ASSERT_EQ(b_sim.start(), "");

    const std::pair<Receiver *, const camsim::Simulator *> streams[] = {{&a, &a_sim}, {&b, &b_sim}};
    uint64_t got[2] = {};
    const auto end = Clock::now() + std::chrono::seconds(10);
    while ((got[0] < kFrames || got[1] < kFrames) && Clock::now() < end) {
        for (int i = 0; i < 2; ++i) {
            qel_block_t block{};
            const int rc = qel_poll_recv(streams[i].first->stream(), &block, 5);
            if (rc == QEL_EAGAIN || rc == QEL_ETIMEDOUT) continue;
            ASSERT_EQ(rc, 0) << "stream " << i << " after " << got[i] << " blocks";
            EXPECT_TRUE(is_frame(*streams[i].second, block)) << "stream " << i;
            ++got[i];
            ASSERT_EQ(qel_queue_buffer(block.buffer), 0);
        }
    }
    a_sim.stop();
    b_sim.stop();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(got[i], kFrames) << "stream " << i;
        // Each endpoint saw its own simulator's datagrams and nothing else.
        const uint64_t sent = streams[i].second->counters().packets_sent;
        EXPECT_EQ(streams[i].first->counter_at_least(Counter::packets, sent), sent);
    }
}

}  // namespace
}  // namespace qel::test
