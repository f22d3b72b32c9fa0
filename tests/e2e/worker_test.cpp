// The receive worker on the software adapter, streaming from the simulator: busy-polling and
// sleeping, every frame arrives whole, and a sleeping worker obeys its controls with no traffic.
#include <future>

#include "camsim/camsim.h"
#include "e2e_fixture.h"

namespace qel::test {
namespace {

class WorkerEndToEnd : public EndToEnd, public ::testing::WithParamInterface<bool> {};

// A sleeping worker waits in the driver and the poll waits for its hand-over (a timeout of
// 100 ms per poll); a busy one is polled without a timeout. Afterwards, with the simulator
// quiet, stop and destroy return (a generous bound stands for "without waiting for traffic").
TEST_P(WorkerEndToEnd, EveryFrameArrivesAndControlsWorkWithoutTraffic) {
    const bool sleeping = GetParam();
    constexpr uint64_t kFrames = 40;
    camsim::Config config = stream_to(camsim::free_loopback_port());
    config.frames = kFrames;
    config.frame_rate = 100;
    camsim::Simulator sim(config);
    Receiver r;
    ASSERT_EQ(r.open(config.dest_port, 0), 0);
    ASSERT_EQ(r.queue(sim.payload_size(), 8), 0);
    ASSERT_EQ(qel_create_recv_worker(r.stream(), sleeping ? QEL_RECV_WORKER_SLEEP : 0, nullptr), 0);
    ASSERT_EQ(qel_start_recv_worker(r.stream()), 0);
    ASSERT_EQ(sim.start(), "");
    uint64_t got = 0;
    const auto end = Clock::now() + std::chrono::seconds(20);
    while (got < kFrames && Clock::now() < end) {
        qel_block_t block{};
        const int rc = qel_poll_recv(r.stream(), &block, sleeping ? 100 : 0);
        if (rc == QEL_EAGAIN) continue;
        ASSERT_EQ(rc, 0) << "after " << got << " blocks";
        EXPECT_TRUE(is_frame(sim, block));
        ++got;
        ASSERT_EQ(qel_queue_buffer(block.buffer), 0);
    }
    EXPECT_EQ(got, kFrames);
    EXPECT_EQ(r.stats().blocks_dropped, 0u);
    ASSERT_TRUE(sim.wait_sent(std::chrono::milliseconds(10000)));
    sim.stop();
    auto stop = std::async(std::launch::async, qel_stop_recv_worker, r.stream());
    if (stop.wait_for(std::chrono::seconds(10)) != std::future_status::ready) std::abort();
    EXPECT_EQ(stop.get(), 0);
    auto destroy = std::async(std::launch::async, qel_destroy_recv_worker, r.stream());
    if (destroy.wait_for(std::chrono::seconds(10)) != std::future_status::ready) std::abort();
    EXPECT_EQ(destroy.get(), 0);
}

INSTANTIATE_TEST_SUITE_P(Worker, WorkerEndToEnd, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Sleeping" : "BusyPolling"; });

}  // namespace
}  // namespace qel::test
