// Streams received side by side and a multicast stream, each from a simulator streaming on
// loopback, every block equal to its frame byte for byte.
#include <random>

#include "e2e_fixture.h"

namespace qel::test {
namespace {

using camsim::PayloadKind;

// Polls each receiver in turn until each has `frames` blocks (or two seconds per frame of the
// slowest have passed); every block must be its own simulator's frame. Buffers go back at once.
void receive_all(std::vector<std::pair<Receiver *, const camsim::Simulator *>> streams,
                 uint64_t frames) {
    std::vector<uint64_t> got(streams.size());
    const auto end = Clock::now() + std::chrono::seconds(10);
    auto done = [&] {
        for (uint64_t g : got) {
            if (g < frames) return false;
        }
        return true;
    };
    while (!done() && Clock::now() < end) {
        for (size_t i = 0; i < streams.size(); ++i) {
            auto [receiver, sim] = streams[i];
            qel_block_t b{};
            const int rc = qel_poll_recv(receiver->stream(), &b, 5);
            if (rc == QEL_EAGAIN || rc == QEL_ETIMEDOUT) continue;
            ASSERT_EQ(rc, 0) << "stream " << i << " after " << got[i] << " blocks";
            EXPECT_EQ(b.status, 0);
            EXPECT_TRUE(is_frame(*sim, b)) << "stream " << i;
            ++got[i];
            ASSERT_EQ(qel_queue_buffer(b.buffer), 0);
        }
    }
    for (size_t i = 0; i < streams.size(); ++i) {
        EXPECT_EQ(got[i], frames) << "stream " << i;
    }
}

// Two endpoints of one board streaming at once: distinct payloads and id forms, so a block that
// strayed to the other stream would not pass for one of its frames.
TEST_F(EndToEnd, TwoStreamsOnOneBoardEachReceiveTheirOwnFrames) {
    constexpr uint64_t kFrames = 10;
    camsim::Config a_config = stream_to(free_port());
    a_config.payload = PayloadKind::image;
    a_config.width = 320;
    a_config.height = 200;
    a_config.first_block_id = 100;
    camsim::Config b_config = stream_to(free_port());
    b_config.payload = PayloadKind::raw;
    b_config.data_size = 30000;
    b_config.extended_ids = true;
    b_config.first_block_id = 0x500000000ull;
    for (camsim::Config *c : {&a_config, &b_config}) {
        c->frames = kFrames;
        // Ten buffers: the application may fall a third of a second behind (a loaded
        // machine, the sanitizers) before a frame finds none.
        c->frame_rate = 30;
    }
    camsim::Simulator a_sim(a_config);
    camsim::Simulator b_sim(b_config);

    Receiver a;
    Receiver b;
    ASSERT_EQ(a.open(a_config.dest_port, 0), 0);
    ASSERT_EQ(b.open(b_config.dest_port, QEL_OPEN_EXTENDED_ID), 0);
    EXPECT_NE(a.stream()->endpt, b.stream()->endpt);
    ASSERT_EQ(a.queue(a_sim.payload_size(), 10), 0);
    ASSERT_EQ(b.queue(b_sim.payload_size(), 10), 0);
    ASSERT_EQ(a_sim.start(), "");
    ASSERT_EQ(b_sim.start(), "");

    receive_all({{&a, &a_sim}, {&b, &b_sim}}, kFrames);
    a_sim.stop();
    b_sim.stop();
    // Each endpoint saw its own simulator's datagrams and nothing else.
    EXPECT_EQ(a.counter_at_least(Counter::packets, a_sim.counters().packets_sent),
              a_sim.counters().packets_sent);
    EXPECT_EQ(b.counter_at_least(Counter::packets, b_sim.counters().packets_sent),
              b_sim.counters().packets_sent);
    EXPECT_EQ(a.stats().blocks_complete, kFrames);
    EXPECT_EQ(b.stats().blocks_complete, kFrames);
}

// The simulator sends to a group on the loopback interface only (TTL 1, sent through
// 127.0.0.1); the library joins the group there.
TEST_F(EndToEnd, MulticastStreamReceivesEveryFrame) {
    constexpr uint64_t kFrames = 10;
    std::random_device seed;
    // A group of the organisation-local scope, different in each run so that runs side by
    // side do not hear each other.
    const std::string group =
        "239.255." + std::to_string(seed() % 250 + 1) + "." + std::to_string(seed() % 250 + 1);
    camsim::Config config = stream_to(free_port());
    config.dest_address = group;
    config.multicast_interface = "127.0.0.1";
    config.multicast_ttl = 1;
    config.payload = PayloadKind::image;
    config.pixel_format = camsim::PixelFormat::rgb8;
    config.width = 160;
    config.height = 100;
    config.frames = kFrames;
    config.frame_rate = 30;
    camsim::Simulator sim(config);

    Receiver r;
    ASSERT_EQ(r.open_multicast(inet_addr(group.c_str()), config.dest_port, 0), 0);
    const int queued = r.queue(sim.payload_size(), 10);
    if (queued != 0) {
        GTEST_SKIP() << "this host cannot join a multicast group on loopback (" << queued << ")";
    }
    ASSERT_EQ(sim.start(), "");
    receive_all({{&r, &sim}}, kFrames);
    sim.stop();
    EXPECT_EQ(r.counter_at_least(Counter::packets, sim.counters().packets_sent),
              sim.counters().packets_sent);
}

}  // namespace
}  // namespace qel::test
