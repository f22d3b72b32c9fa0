// A lossy link as the firmware's block assembly sees it: the host answers every INCOMPLETE
// status with a request for the whole tail of the block, so a status repeated while resent
// packets are still arriving makes the camera send that tail again; and only the oldest block
// asks, so a run of lossy blocks is recovered one after another and must not run out of slots.
// The camera is played by the test, on the test's clock.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "adapter/block_assembler.h"
#include "adapter/buffer_pool.h"
#include "adapter/descriptor_ring.h"
#include "adapter/drop_requests.h"
#include "adapter/firmware_counters.h"
#include "adapter/gvsp_packet.h"

namespace qel::test {
namespace {

using adapter::Counter;

constexpr uint64_t kMs = 1'000'000;
constexpr uint32_t kPayload = 1000;
constexpr uint32_t kDataPackets = 10;  // packet ids 1..10 data, 11 the trailer

class Firmware {
public:
    explicit Firmware(uint32_t buffers) : ring_memory_(size_t{1} << 20), progress_(4096) {
        ring_.attach(ring_memory_, progress_);
        // Buffers start on pages, as pinned buffers must.
        constexpr uintptr_t kStride = 3 * 4096;
        storage_.resize((buffers + 1) * kStride);
        const uintptr_t base = (reinterpret_cast<uintptr_t>(storage_.data()) + 4095) / 4096 * 4096;
        for (uint32_t i = 0; i < buffers; ++i) {
            uint32_t index = 0;
            const uintptr_t address = base + i * kStride;
            EXPECT_EQ(pool_.pin(address, kPayload * kDataPackets, &index), 0);
            EXPECT_EQ(pool_.queue(index, 0), 0);
        }
        adapter::AssemblerTimes times;
        times.resend_interval_ns = 10 * kMs;
        times.block_timeout_ns = 200 * kMs;
        assembler_ = std::make_unique<adapter::BlockAssembler>(
            adapter::FirmwarePorts{pool_, ring_, drops_, counters_}, times);
    }

    // Packet `id` of block `block` (0 the leader, kDataPackets + 1 the trailer).
    void packet(uint64_t block, uint32_t id, bool resent, uint64_t now) {
        adapter::gvsp::Packet p;
        p.header.status = resent ? adapter::gvsp::kStatusResent : adapter::gvsp::kStatusSuccess;
        p.header.block_id = block;
        p.header.packet_id = id;
        p.header.format = id == 0             ? adapter::gvsp::Format::leader
                          : id > kDataPackets ? adapter::gvsp::Format::trailer
                                              : adapter::gvsp::Format::payload;
        p.payload =
            std::span<const uint8_t>(bytes_.data(), id == 0 || id > kDataPackets ? 36 : kPayload);
        assembler_->on_packet(p, now);
    }
    void block(uint64_t block, uint32_t lost, uint64_t now) {
        for (uint32_t id = 0; id <= kDataPackets + 1; ++id) {
            if (id != lost) packet(block, id, false, now);
        }
    }
    void timer(uint64_t now) { assembler_->on_timer(now); }
    uint64_t counter(Counter c) const { return counters_.get(c); }

    // The blocks named by INCOMPLETE statuses posted since the last call, as the host reads
    // them (the ring is large enough that the test never needs to consume it).
    std::vector<uint64_t> new_statuses() {
        std::vector<uint64_t> blocks;
        for (; read_ < ring_.posted(); ++read_) {
            const uint8_t *d = ring_memory_.data() + read_ * adapter::kDescriptorBytes;
            uint64_t block = 0;
            for (int i = 0; i < 8; ++i) block = block << 8 | d[8 + i];
            if (d[5] == 2 && d[60] == 1) blocks.push_back(block);
        }
        return blocks;
    }

private:
    std::vector<uint8_t> ring_memory_;
    std::vector<uint8_t> progress_;
    std::vector<uint8_t> storage_;
    std::array<uint8_t, kPayload> bytes_{};
    adapter::BufferPool pool_;
    adapter::DescriptorRing ring_;
    adapter::DropRequests drops_;
    adapter::FirmwareCounters counters_;
    std::unique_ptr<adapter::BlockAssembler> assembler_;
    uint64_t read_ = 0;
};

// The camera answers a status for block 1 (packets 2 and 7 lost) with the tail from packet 2,
// one packet every `gap_ms`, starting 3 ms after the status; packet 7's copy is lost again
// when `relost`. Statuses are counted until 60 ms.
struct PacingCase {
    const char *name;
    uint64_t gap_ms;
    bool relost;
    uint64_t statuses;  // INCOMPLETE statuses in the 60 ms
    bool complete;
};

class ResendPacing : public ::testing::TestWithParam<PacingCase> {};

TEST_P(ResendPacing, StatusIsRepeatedOnlyAfterAnIntervalWithoutAnswer) {
    const PacingCase c = GetParam();
    Firmware fw(2);
    fw.packet(1, 0, false, 0);
    for (uint32_t id = 1; id <= kDataPackets + 1; ++id) {
        if (id != 2 && id != 7) fw.packet(1, id, false, kMs);
    }
    ASSERT_EQ(fw.new_statuses(), std::vector<uint64_t>{1}) << "the trailer showed the gap";
    uint64_t statuses = 1;
    uint64_t answer_at = 4;  // the tail answering the first status
    for (uint64_t t = 2; t <= 60; ++t) {
        if (t >= answer_at && answer_at != 0) {
            // Ids 2..11 resent, one every gap_ms.
            const uint64_t step = (t - answer_at) / c.gap_ms;
            if ((t - answer_at) % c.gap_ms == 0 && step < kDataPackets) {
                const uint32_t id = static_cast<uint32_t>(2 + step);
                if (!(c.relost && id == 7)) fw.packet(1, id, true, t * kMs);
            }
        }
        fw.timer(t * kMs);
        const size_t more = fw.new_statuses().size();
        statuses += more;
        // Later statuses are answered with nothing, so the block stays silent after them.
        if (more != 0) answer_at = 0;
    }
    EXPECT_EQ(statuses, c.statuses);
    EXPECT_EQ(fw.counter(Counter::blocks_complete), c.complete ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ResendPacing,
    ::testing::Values(
        // The tail takes 36 ms to arrive, packets 4 ms apart: one request is enough.
        PacingCase{"slow_tail_completes", 4, false, 1, true},
        // Packet 7's copy is lost, the rest of the tail (ids 8..11, last at 40 ms) still
        // arrives: asked again 10 ms after the last copy (50 ms), and after silence at 60 ms.
        PacingCase{"relost_asked_after_tail", 4, true, 3, false},
        // Nothing but a fast tail: copies 1 ms apart, last at 13 ms; the repeat waits for
        // 10 ms of silence after it (23, 33, ... 53 ms).
        PacingCase{"fast_tail_relost", 1, true, 5, false}),
    [](const auto &info) { return std::string(info.param.name); });

// A camera whose answers take three frame periods: every block loses a packet, blocks come
// every 10 ms and each is resent 30 ms after its status. The blocks wait their turn to ask,
// and the wait grows by 20 ms with each, yet every one of a burst of 40 completes: none is
// evicted for a newer block and none runs out of resend time.
TEST(LossyBurst, EveryBlockIsRecoveredInTurnWithoutEviction) {
    constexpr uint64_t kBlocks = 40;
    Firmware fw(kBlocks + 1);
    std::deque<std::pair<uint64_t, uint64_t>> answers;  // (due ms, block)
    for (uint64_t t = 0; t <= 2000 && fw.counter(Counter::blocks_complete) < kBlocks; ++t) {
        if (t % 10 == 0 && t / 10 < kBlocks) fw.block(t / 10 + 1, 3, t * kMs);
        while (!answers.empty() && answers.front().first <= t) {
            fw.packet(answers.front().second, 3, true, t * kMs);
            answers.pop_front();
        }
        fw.timer(t * kMs);
        for (const uint64_t block : fw.new_statuses()) answers.emplace_back(t + 30, block);
    }
    EXPECT_EQ(fw.counter(Counter::blocks_complete), kBlocks);
    EXPECT_EQ(fw.counter(Counter::blocks_evicted), 0u);
    EXPECT_EQ(fw.counter(Counter::blocks_incomplete_final), 0u);
}

}  // namespace
}  // namespace qel::test
