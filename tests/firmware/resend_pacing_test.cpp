// A host answers every INCOMPLETE status with a request (for the block's whole tail, or for the
// gap the status reports), so a status repeated while resent packets still arrive would make
// the camera send them again. And what one report names.
#include <algorithm>

#include "assembler_rig.h"

namespace qel::test {
namespace {

using adapter::Counter;

constexpr uint32_t kPayload = 1000;
constexpr uint32_t kDataPackets = 10;  // packet ids 1..10 data, 11 the trailer

// The INCOMPLETE statuses posted since the last call.
size_t new_statuses(Rig &rig) {
    size_t statuses = 0;
    for (const Seen &s : rig.drain()) statuses += s.type == 2 && s.firmware_status == 1;
    return statuses;
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
    adapter::AssemblerSettings times;
    times.resend_interval_ns = ms(10);
    times.block_timeout_ns = ms(200);
    Rig rig(times);
    rig.add_buffer(kDataPackets * kPayload);
    const Block b = make_block(Ids::standard, 1, BlockShape{}, kDataPackets * kPayload, kPayload);
    rig.feed(b.packets[0], 0);
    std::vector<Bytes> rest;
    for (uint32_t id = 1; id <= kDataPackets + 1; ++id) {
        if (id != 2 && id != 7) rest.push_back(b.packets[id]);
    }
    rig.feed(rest, ms(1));
    ASSERT_EQ(new_statuses(rig), 1u) << "the trailer showed the gap";
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
        const size_t more = new_statuses(rig);
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

// The report of a block of 20 data packets (ids 1..20, the trailer 21) that lost `lost`: one
// status per gap, in order, each with its end, the first opening the report; a run that
// reaches past the last packet received before the trailer came has no known end. A host that
// does not read gap reports gets the first gap alone, as the one status of the report.
struct GapCase {
    const char *name;
    std::vector<uint32_t> lost;
    std::vector<std::pair<uint32_t, int64_t>> gaps;  // first, last (-1: no end known)
};

class GapReports : public ::testing::TestWithParam<GapCase> {};

TEST_P(GapReports, OneStatusPerGapWithItsEnd) {
    const GapCase &c = GetParam();
    constexpr uint32_t kPackets = 20;
    for (const bool host_reads_gaps : {true, false}) {
        SCOPED_TRACE(host_reads_gaps ? "gap reports" : "first gap only");
        adapter::AssemblerSettings settings;
        settings.resend_interval_ns = ms(10);
        settings.gap_reports = host_reads_gaps;
        Rig rig(settings);
        rig.add_buffer(kPackets * kPayload);
        const Block b = make_block(Ids::standard, 1, BlockShape{}, kPackets * kPayload, kPayload);
        std::vector<Bytes> sent;
        for (uint32_t id = 0; id <= kPackets + 1; ++id) {
            if (std::find(c.lost.begin(), c.lost.end(), id) == c.lost.end()) {
                sent.push_back(b.packets[id]);
            }
        }
        rig.feed(sent, ms(1));
        rig.timer(ms(1));
        std::vector<Seen> seen = rig.drain();
        if (std::none_of(seen.begin(), seen.end(), [](const Seen &s) { return s.type == 2; })) {
            // No trailer: missing once nothing came for an interval, the packets after the last
            // one received lost once nothing came for a quarter of the block's time.
            rig.timer(ms(52));
            seen = rig.drain();
        }
        std::vector<std::pair<uint32_t, int64_t>> got;
        bool first = true;
        for (const Seen &s : seen) {
            if (s.type != 2) continue;
            ASSERT_EQ(s.firmware_status, shm::KOB_QEL_STATUS_INCOMPLETE);
            EXPECT_EQ(s.gap_marker, shm::kGapMark);
            EXPECT_EQ((s.gap_flags & shm::kGapOpensReport) != 0, first) << "opens the report";
            first = false;
            got.emplace_back(s.packet_id,
                             (s.gap_flags & shm::kGapEndKnown) != 0 ? int64_t{s.gap_last} : -1);
        }
        const auto expected =
            host_reads_gaps ? c.gaps : std::vector<std::pair<uint32_t, int64_t>>{c.gaps.front()};
        EXPECT_EQ(got, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Losses, GapReports,
    ::testing::Values(GapCase{"single", {7}, {{7, 7}}},
                      GapCase{"burst", {3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, {{3, 12}}},
                      GapCase{"leader", {0}, {{0, 0}}},
                      GapCase{"leader_and_first_data", {0, 1, 2}, {{0, 2}}},
                      GapCase{"trailer", {21}, {{21, -1}}},
                      GapCase{"last_data_packet", {20}, {{20, 20}}},
                      GapCase{"two_gaps", {3, 4, 15}, {{3, 4}, {15, 15}}},
                      GapCase{"gap_then_open_tail", {5, 19, 20, 21}, {{5, 5}, {19, -1}}}),
    [](const auto &info) { return std::string(info.param.name); });

// The packets after the last one received, the trailer not come, may still be on their way: a
// sender that pauses mid-block (block 1: 20 data packets, 5 lost, 13 on not sent at 1 ms) must
// not be asked for them, or they come twice. They are lost once a later block begins, or once
// nothing came for a quarter of the block's time (200 ms here). The gap before them, which a
// later packet bounds, is asked for at once. A host that does not read gap ends is told of the
// first missing packet alone, as before.
struct TailCase {
    const char *name;
    uint64_t rest_at_ms;        // the rest of block 1 arrives then (0: never)
    uint64_t next_block_at_ms;  // block 2's leader arrives then (0: never)
    uint64_t tail_asked_at_ms;  // the first status naming packet 13 on (0: none until 100 ms)
};

class OpenTail : public ::testing::TestWithParam<TailCase> {};

TEST_P(OpenTail, IsAskedForOnlyOnceTheCameraMovedOnOrWasSilentLong) {
    const TailCase &c = GetParam();
    constexpr uint32_t kPackets = 20;
    adapter::AssemblerSettings settings;
    settings.resend_interval_ns = ms(10);
    settings.block_timeout_ns = ms(200);
    settings.gap_reports = true;
    Rig rig(settings);
    rig.add_buffer(kPackets * kPayload);
    rig.add_buffer(kPackets * kPayload);
    const Block b = make_block(Ids::standard, 1, BlockShape{}, kPackets * kPayload, kPayload);
    const Block next = make_block(Ids::standard, 2, BlockShape{}, kPackets * kPayload, kPayload);
    std::vector<Bytes> first;
    for (uint32_t id = 0; id <= 12; ++id) {
        if (id != 5) first.push_back(b.packets[id]);
    }
    rig.feed(first, ms(1));
    uint64_t tail_asked_at = 0;
    for (uint64_t t = 2; t <= 100; ++t) {
        if (t == c.rest_at_ms) {
            rig.feed(std::vector<Bytes>(b.packets.begin() + 13, b.packets.end()), ms(t));
        }
        if (t == c.next_block_at_ms) rig.feed(next.packets[0], ms(t));
        rig.timer(ms(t));
        for (const Seen &s : rig.drain()) {
            if (s.type != 2 || s.firmware_status != shm::KOB_QEL_STATUS_INCOMPLETE) continue;
            if (s.packet_id == 5) {
                EXPECT_TRUE((s.gap_flags & shm::kGapEndKnown) != 0 && s.gap_last == 5);
            } else {
                EXPECT_EQ(s.packet_id, 13u);
                EXPECT_EQ(s.gap_flags & shm::kGapEndKnown, 0) << "no end known";
                if (tail_asked_at == 0) tail_asked_at = t;
            }
        }
    }
    EXPECT_EQ(tail_asked_at, c.tail_asked_at_ms);
}

INSTANTIATE_TEST_SUITE_P(
    Tails, OpenTail,
    ::testing::Values(
        // The first report (11 ms) names packet 5 alone; the rest then comes in order.
        TailCase{"sender_paused", 20, 0, 0},
        // The next report after block 2 began (reports 10 ms apart while nothing is heard).
        TailCase{"later_block_began", 0, 20, 21},
        // Silent from 1 ms on: a quarter of the block's time later.
        TailCase{"long_silence", 0, 0, 51}),
    [](const auto &info) { return std::string(info.param.name); });

// The firmware's thread may run its timers while packets wait unread in its socket: behind a
// large block, or after the thread was not scheduled for a while. The answer to a status may be
// among them, so a block is not silent for that time, and the status is not repeated.
TEST(StatusRepeat, WaitsForThePacketsWaitingUnread) {
    adapter::AssemblerSettings settings;
    settings.resend_interval_ns = ms(10);
    settings.gap_reports = true;
    Rig rig(settings);
    rig.add_buffer(kDataPackets * kPayload);
    const Block b = make_block(Ids::standard, 1, BlockShape{}, kDataPackets * kPayload, kPayload);
    std::vector<Bytes> sent = b.packets;
    sent.erase(sent.begin() + 7);
    rig.feed(sent, ms(1));
    rig.timer(ms(1));
    ASSERT_EQ(new_statuses(rig), 1u) << "the trailer showed the gap";
    // The camera's answer arrives at 3 ms, but the firmware reads it only at 30 ms.
    rig.send(as_resent(b.packets[7], Ids::standard));
    for (uint64_t t = 2; t < 30; ++t) rig.timer_behind(ms(t));
    EXPECT_EQ(new_statuses(rig), 0u) << "asked again while the answer waited unread";
    rig.receive_all(ms(30));
    rig.timer(ms(30));
    EXPECT_EQ(rig.counter(Counter::blocks_complete), 1u);
    EXPECT_EQ(rig.counter(Counter::incomplete_statuses), 1u);
}

// A camera (or a host) slow to answer is not asked again before its answer could have come: the
// firmware learns the round trip from the answers to earlier blocks. Four blocks, 100 ms apart,
// each lose packet 3; the camera answers a block's first status 25 ms after it and no other.
// The first block, before anything was learned, is asked again every interval until its answer
// comes; the others once.
TEST(StatusRepeat, WaitsForTheRoundTripOfEarlierAnswers) {
    constexpr uint64_t kBlocks = 4;
    constexpr uint64_t kAnswerMs = 25;
    adapter::AssemblerSettings settings;
    settings.resend_interval_ns = ms(10);
    settings.block_timeout_ns = ms(200);
    settings.gap_reports = true;
    Rig rig(settings);
    std::vector<Block> blocks;
    for (uint64_t k = 0; k < kBlocks; ++k) {
        rig.add_buffer(kDataPackets * kPayload);
        blocks.push_back(
            make_block(Ids::standard, k + 1, BlockShape{}, kDataPackets * kPayload, kPayload));
    }
    std::vector<uint64_t> statuses(kBlocks, 0);
    std::vector<uint64_t> answer_at(kBlocks, 0);
    for (uint64_t t = 1; t <= kBlocks * 100; ++t) {
        for (uint64_t k = 0; k < kBlocks; ++k) {
            if (t == 100 * k + 1) {
                std::vector<Bytes> sent = blocks[k].packets;
                sent.erase(sent.begin() + 3);
                rig.feed(sent, ms(t));
            }
            if (t == answer_at[k]) rig.feed(as_resent(blocks[k].packets[3], Ids::standard), ms(t));
        }
        rig.timer(ms(t));
        for (const Seen &s : rig.drain()) {
            if (s.type != 2 || s.firmware_status != shm::KOB_QEL_STATUS_INCOMPLETE) continue;
            const uint64_t k = s.block_id - 1;
            ASSERT_LT(k, kBlocks);
            if (statuses[k]++ == 0) answer_at[k] = t + kAnswerMs;
        }
    }
    EXPECT_EQ(statuses, (std::vector<uint64_t>{3, 1, 1, 1}));
    EXPECT_EQ(rig.counter(Counter::blocks_complete), kBlocks);
}

}  // namespace
}  // namespace qel::test
