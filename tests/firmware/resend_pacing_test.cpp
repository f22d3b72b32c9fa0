// A lossy link as the firmware's block assembly sees it: the host answers every INCOMPLETE
// status with a request for the whole tail of the block, so a status repeated while resent
// packets are still arriving makes the camera send that tail again; and only the oldest block
// asks, so a run of lossy blocks is recovered one after another and must not run out of slots.
// The camera is played by the test, on the test's clock.
#include <deque>

#include "assembler_rig.h"

namespace qel::test {
namespace {

using adapter::Counter;

constexpr uint32_t kPayload = 1000;
constexpr uint32_t kDataPackets = 10;  // packet ids 1..10 data, 11 the trailer

adapter::AssemblerTimes pacing_times() {
    adapter::AssemblerTimes times;
    times.resend_interval_ns = ms(10);
    times.block_timeout_ns = ms(200);
    return times;
}

Block lossy_block(uint64_t id) {
    return make_block(Ids::standard, id, BlockShape{}, kDataPackets * kPayload, kPayload);
}

// The blocks named by the INCOMPLETE statuses posted since the last call.
std::vector<uint64_t> new_statuses(Rig &rig) {
    std::vector<uint64_t> blocks;
    for (const Seen &s : rig.drain()) {
        if (s.type == 2 && s.firmware_status == 1) blocks.push_back(s.block_id);
    }
    return blocks;
}

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
    Rig rig(pacing_times());
    rig.add_buffer(kDataPackets * kPayload);
    const Block b = lossy_block(1);
    rig.feed(b.packets[0], 0);
    std::vector<Bytes> rest;
    for (uint32_t id = 1; id <= kDataPackets + 1; ++id) {
        if (id != 2 && id != 7) rest.push_back(b.packets[id]);
    }
    rig.feed(rest, ms(1));
    ASSERT_EQ(new_statuses(rig), std::vector<uint64_t>{1}) << "the trailer showed the gap";
    uint64_t statuses = 1;
    uint64_t answer_at = 4;  // the tail answering the first status
    for (uint64_t t = 2; t <= 60; ++t) {
        if (t >= answer_at && answer_at != 0) {
            // Ids 2..11 resent, one every gap_ms.
            const uint64_t step = (t - answer_at) / c.gap_ms;
            if ((t - answer_at) % c.gap_ms == 0 && step < kDataPackets) {
                const uint32_t id = static_cast<uint32_t>(2 + step);
                if (!(c.relost && id == 7))
                    rig.feed(as_resent(b.packets[id], Ids::standard), ms(t));
            }
        }
        rig.timer(ms(t));
        const size_t more = new_statuses(rig).size();
        statuses += more;
        // Later statuses are answered with nothing, so the block stays silent after them.
        if (more != 0) answer_at = 0;
    }
    EXPECT_EQ(statuses, c.statuses);
    EXPECT_EQ(rig.counter(Counter::blocks_complete), c.complete ? 1u : 0u);
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
    Rig rig(pacing_times());
    for (uint64_t i = 0; i <= kBlocks; ++i) rig.add_buffer(kDataPackets * kPayload);
    std::deque<std::pair<uint64_t, uint64_t>> answers;  // (due ms, block)
    for (uint64_t t = 0; t <= 2000 && rig.counter(Counter::blocks_complete) < kBlocks; ++t) {
        if (t % 10 == 0 && t / 10 < kBlocks) {
            const Block b = lossy_block(t / 10 + 1);
            std::vector<Bytes> sent = b.packets;
            sent.erase(sent.begin() + 3);
            rig.feed(sent, ms(t));
        }
        while (!answers.empty() && answers.front().first <= t) {
            rig.feed(as_resent(lossy_block(answers.front().second).packets[3], Ids::standard),
                     ms(t));
            answers.pop_front();
        }
        rig.timer(ms(t));
        for (const uint64_t block : new_statuses(rig)) answers.emplace_back(t + 30, block);
    }
    EXPECT_EQ(rig.counter(Counter::blocks_complete), kBlocks);
    EXPECT_EQ(rig.counter(Counter::blocks_evicted), 0u);
    EXPECT_EQ(rig.counter(Counter::blocks_incomplete_final), 0u);
}

}  // namespace
}  // namespace qel::test
