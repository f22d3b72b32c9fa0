// Reassembly and reporting on the bench: complete blocks of every payload type, lost, resent,
// reordered and duplicated packets, blocks without buffers or too large for theirs, the order
// of blocks, a full ring, credits and drop requests. Time is the test's: no test sleeps.
#include <algorithm>
#include <cstring>
#include <random>

#include "assembler_rig.h"

namespace qel::test {
namespace {

using adapter::Counter;
using Finals = std::vector<std::pair<uint64_t, int>>;

constexpr uint32_t kPacket = 1400;

Block block(uint64_t id, uint32_t bytes, Ids ids = Ids::standard, uint32_t packet = kPacket) {
    return make_block(ids, id, BlockShape{}, bytes, packet);
}

std::vector<Bytes> without(const Block &b, std::initializer_list<uint32_t> skipped) {
    std::vector<Bytes> out;
    for (uint32_t i = 0; i < b.packets.size(); ++i) {
        if (std::find(skipped.begin(), skipped.end(), i) == skipped.end()) {
            out.push_back(b.packets[i]);
        }
    }
    return out;
}

Bytes slice(const Bytes &bytes, size_t from, size_t count) {
    Bytes out(count, 0);
    for (size_t i = 0; i < count && from + i < bytes.size(); ++i) out[i] = bytes[from + i];
    return out;
}

bool holds(const GuardedBuffer &buffer, const Block &b) {
    return std::memcmp(buffer.data(), b.data.data(), b.data.size()) == 0;
}

// The final descriptors (block id, firmware status) in order; fails on interleaved blocks.
Finals finals_of(const std::vector<Seen> &seen) {
    expect_not_interleaved(seen);
    Finals out;
    for (const Seen &s : seen) {
        if (s.is_final()) out.emplace_back(s.block_id, s.firmware_status);
    }
    return out;
}

struct TypeCase {
    uint16_t payload_type;
    Ids ids;
};

class CompleteBlock : public ::testing::TestWithParam<TypeCase> {};

TEST_P(CompleteBlock, ArrivesWhole_DescriptorsCarryLeaderAndTrailerPayloads) {
    const TypeCase c = GetParam();
    Rig rig;
    const uint32_t index = rig.add_buffer(32768);
    BlockShape shape;
    shape.payload_type = c.payload_type;
    const uint64_t id = c.ids == Ids::extended ? 0x123456789Aull : 0x1234;
    const Block b = make_block(c.ids, id, shape, 10000, kPacket);
    rig.feed(b.packets, ms(5));

    const std::vector<Seen> seen = rig.drain();
    ASSERT_EQ(seen.size(), 2u);
    const size_t header = c.ids == Ids::extended ? 20 : 8;
    EXPECT_EQ(seen[0].type, 1);
    EXPECT_EQ(seen[0].block_id, id);
    EXPECT_EQ(seen[0].firmware_status, 0);
    EXPECT_EQ(slice(Bytes(seen[0].raw.begin(), seen[0].raw.end()), 16, 44),
              slice(b.packets.front(), header, 44));
    const Seen &trailer = seen[1];
    EXPECT_EQ(trailer.type, 2);
    EXPECT_EQ(trailer.block_id, id);
    EXPECT_EQ(trailer.firmware_status, 0);
    EXPECT_EQ(trailer.packet_id, b.data_packets() + 1);
    EXPECT_EQ(trailer.payload_length, 10000u);
    EXPECT_EQ(trailer.credit, 0) << "the buffer was queued without credit";
    EXPECT_EQ(trailer.time, 1);
    EXPECT_EQ(trailer.ticks, ms(5));
    EXPECT_EQ(slice(Bytes(trailer.raw.begin(), trailer.raw.end()), 32, 28),
              slice(b.packets.back(), header, 28));
    EXPECT_TRUE(holds(rig.buffer(index), b));
    EXPECT_TRUE(rig.buffer(index).canary_intact());
    EXPECT_EQ(rig.counter(Counter::blocks_complete), 1u);
    EXPECT_EQ(rig.counter(Counter::packets), b.packets.size());
    rig.requeue(index);  // the buffer was given back
}

INSTANTIATE_TEST_SUITE_P(
    PayloadTypes, CompleteBlock,
    ::testing::Values(TypeCase{1, Ids::standard}, TypeCase{1, Ids::extended},
                      TypeCase{0x4001, Ids::standard}, TypeCase{2, Ids::extended},
                      TypeCase{0x4002, Ids::standard}, TypeCase{3, Ids::standard},
                      TypeCase{0x4003, Ids::extended}, TypeCase{4, Ids::standard},
                      TypeCase{5, Ids::extended}, TypeCase{0x4008, Ids::standard},
                      TypeCase{0x000A, Ids::extended}),
    [](const auto &info) {
        char name[32];
        std::snprintf(name, sizeof name, "type%04X_%s", info.param.payload_type,
                      info.param.ids == Ids::extended ? "extended" : "standard");
        return std::string(name);
    });

// In-order blocks are placed, not copied; packets are placed by the size earlier blocks showed
// until packet 1 confirms it, so a camera that changes its packet size still fills them right.
TEST(Assembly, BlocksLandInPlaceAlsoWhenThePacketSizeChanges) {
    Rig rig;
    std::vector<std::pair<uint32_t, Block>> sent;
    for (uint64_t id = 1; id <= 8; ++id) {
        // 128 data packets: batches of 32 end exactly at the last data packet.
        sent.emplace_back(rig.add_buffer(200 * kPacket), block(id, 128 * kPacket));
        rig.feed(sent.back().second.packets, ms(1));
    }
    // Only the first block, before the stream's block size is known, may end in a batch that
    // reaches into the next block.
    EXPECT_LE(rig.counter(Counter::bytes_copied), 32 * kPacket);
    EXPECT_GT(rig.counter(Counter::bytes_placed), 0u);
    for (uint32_t size : {1000u, 1400u, 2000u, 1400u}) {
        sent.emplace_back(rig.add_buffer(64 * 2000),
                          block(sent.size() + 1, 30 * kPacket, Ids::standard, size));
        rig.feed(sent.back().second.packets, ms(2));
    }
    const Finals finals = finals_of(rig.drain());
    ASSERT_EQ(finals.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(finals[i], std::make_pair(uint64_t{i + 1}, 0)) << "block " << i + 1;
        EXPECT_TRUE(holds(rig.buffer(sent[i].first), sent[i].second)) << "block " << i + 1;
    }
}

// A packet lost on the way (or dropped on the host's request) is named by an INCOMPLETE
// status when the trailer shows the gap, or after a silent interval when the trailer itself is
// lost; the status is repeated only after another silent interval, and the resent packet
// completes the block. A complete block behind it waits. The buffer's credit comes back with
// the final descriptor only.
struct LostCase {
    const char *name;
    uint32_t lost;  // packet index: 0 the leader, 5 the trailer
    Ids ids;
    bool drop_request;
};

class LostPacket : public ::testing::TestWithParam<LostCase> {};

TEST_P(LostPacket, IsAskedForUntilTheResentPacketCompletesTheBlock) {
    const LostCase c = GetParam();
    Rig rig;
    const uint32_t index = rig.add_buffer(32768, /*credit=*/true);
    const uint32_t behind = rig.add_buffer(32768);
    BlockShape shape;
    shape.payload_type = 2;
    const uint64_t id = c.ids == Ids::extended ? 0xABCDEF0123ull : 0x0123;
    const Block b = make_block(c.ids, id, shape, 4 * kPacket, kPacket);
    const Block next = make_block(c.ids, id + 1, shape, 4 * kPacket, kPacket);
    const bool trailer = c.lost == 5;
    if (c.drop_request) {
        ASSERT_EQ(rig.drops().add(b.block_id, c.lost), 0);
        rig.feed(b.packets, ms(1));
        EXPECT_EQ(rig.counter(Counter::dropped_on_request), 1u);
        EXPECT_EQ(rig.drops().pending(), 0u);
    } else {
        rig.feed(without(b, {c.lost}), ms(1));
    }
    // A lost trailer is noticed by the next block's packets too: here only by silence.
    if (!trailer) rig.feed(next.packets, ms(1));

    std::vector<Seen> seen = rig.drain();
    ASSERT_EQ(seen.size(), trailer ? 1u : 2u);
    EXPECT_TRUE(seen[0].is_leader());
    EXPECT_EQ(seen[0].block_id, b.block_id);
    EXPECT_EQ(seen[0].credit, 0);
    if (c.lost == 0) {
        EXPECT_EQ(Bytes(seen[0].raw.begin() + 16, seen[0].raw.begin() + 60), Bytes(44, 0))
            << "a leader that names the block, payload type 0, nothing else";
    }
    const uint64_t first = trailer ? 11 : 1;  // when the gap is known
    if (trailer) {
        rig.timer(ms(10));
        EXPECT_TRUE(rig.drain().empty()) << "within the resend interval nothing is missing yet";
        rig.timer(ms(11));
        seen = rig.drain();
        ASSERT_EQ(seen.size(), 1u);
    } else {
        seen.erase(seen.begin());
    }
    for (uint64_t repeat : {first, first + 10}) {
        ASSERT_EQ(seen.size(), 1u) << "at " << repeat << " ms";
        EXPECT_EQ(seen[0].type, 2);
        EXPECT_EQ(seen[0].block_id, b.block_id) << "only the oldest block asks";
        EXPECT_EQ(seen[0].firmware_status, 1);
        EXPECT_EQ(seen[0].packet_id, c.lost);
        EXPECT_EQ(seen[0].credit, 0);
        rig.timer(ms(repeat + 5));
        EXPECT_TRUE(rig.drain().empty()) << "the next status comes one interval later";
        rig.timer(ms(repeat + 10));
        seen = rig.drain();
    }
    EXPECT_EQ(rig.counter(Counter::incomplete_statuses), 3u);

    rig.feed(as_resent(b.packets[c.lost], c.ids), ms(first + 22));
    seen = rig.drain();
    if (c.lost == 0) {
        ASSERT_FALSE(seen.empty());
        EXPECT_TRUE(seen[0].is_leader());
        EXPECT_EQ(Bytes(seen[0].raw.begin() + 16, seen[0].raw.begin() + 60),
                  slice(b.packets[0], 20, 44));
        EXPECT_EQ(seen[0].status_word, 0) << "resent marks the packet, not the block";
        seen.erase(seen.begin());
    }
    ASSERT_EQ(seen.size(), trailer ? 1u : 3u);
    EXPECT_EQ(seen[0].firmware_status, 0);
    EXPECT_EQ(seen[0].payload_length, 4 * kPacket);
    EXPECT_EQ(seen[0].ticks, trailer ? ms(first + 22) : ms(1)) << "the trailer's arrival";
    EXPECT_EQ(seen[0].credit, 1);
    Finals expected{{b.block_id, 0}};
    if (!trailer) expected.emplace_back(next.block_id, 0);
    EXPECT_EQ(finals_of(seen), expected);
    EXPECT_TRUE(holds(rig.buffer(index), b));
    EXPECT_TRUE(trailer || holds(rig.buffer(behind), next));
    EXPECT_EQ(rig.counter(Counter::resent), 1u);
    rig.timer(ms(200));
    EXPECT_TRUE(rig.drain().empty());
}

INSTANTIATE_TEST_SUITE_P(Losses, LostPacket,
                         ::testing::Values(LostCase{"data_standard", 3, Ids::standard, false},
                                           LostCase{"data_extended", 2, Ids::extended, false},
                                           LostCase{"trailer", 5, Ids::standard, false},
                                           LostCase{"leader", 0, Ids::extended, false},
                                           LostCase{"drop_request", 4, Ids::standard, true}),
                         [](const auto &info) { return std::string(info.param.name); });

// A block still missing packets ends INCOMPLETE_FINAL at the block timeout, asking every
// resend interval until then; the complete block behind it waits until then. Its packets are
// late afterwards, also once it is forgotten.
TEST(Assembly, BlockStillMissingPacketsEndsIncompleteFinalAfterTheBlockTimeout) {
    adapter::AssemblerTimes times;
    times.resend_interval_ns = ms(10);
    times.block_timeout_ns = ms(200);
    Rig rig(times);
    const uint32_t index = rig.add_buffer(32768);
    const uint32_t second = rig.add_buffer(32768);
    const Block b = block(9, 10 * kPacket, Ids::extended);
    const Block b2 = block(10, 5 * kPacket, Ids::extended);
    rig.feed(without(b, {5, 8}), ms(1));
    rig.feed(b2.packets, ms(2));
    std::vector<Seen> all;
    for (uint64_t t = 1; t <= 400; ++t) {
        rig.timer(ms(t));
        for (const Seen &s : rig.drain()) all.push_back(s);
    }
    uint32_t statuses = 0;
    for (const Seen &s : all) statuses += s.type == 2 && s.firmware_status == 1;
    EXPECT_EQ(statuses, 20u) << "one status every 10 ms for 200 ms";
    EXPECT_EQ(finals_of(all), (Finals{{9, 2}, {10, 0}}));
    ASSERT_GE(all.size(), 3u);
    const Seen &final1 = all[all.size() - 3];
    EXPECT_EQ(final1.packet_id, 5u) << "the first packet still missing";
    EXPECT_EQ(final1.payload_length, 8 * kPacket) << "bytes received";
    EXPECT_TRUE(holds(rig.buffer(second), b2));
    EXPECT_EQ(rig.counter(Counter::blocks_incomplete_final), 1u);

    rig.feed(as_resent(b.packets[5], Ids::extended), ms(401));
    rig.feed(as_resent(b.packets[8], Ids::extended), ms(5000));
    EXPECT_TRUE(rig.drain().empty());
    EXPECT_EQ(rig.counter(Counter::late), 2u);
    EXPECT_EQ(rig.pool().queued_count(), 0u) << "no block was started";
    rig.requeue(index);
}

// No buffer: status 4 and the next block is received; too small a buffer: status 3 naming the
// packet that would run past it, nothing written past it, and the next block is received.
TEST(Assembly, BlocksWithoutABufferOrTooLargeForItAreReportedAndTheNextIsReceived) {
    Rig rig;
    const Block first = block(1, 3 * kPacket);
    rig.feed(first.packets, ms(1));
    std::vector<Seen> seen = rig.drain();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].type, 2);
    EXPECT_EQ(seen[0].firmware_status, 4);
    EXPECT_EQ(seen[0].block_id, 1u);
    EXPECT_EQ(rig.counter(Counter::without_buffer), first.packets.size() - 1);
    EXPECT_EQ(rig.counter(Counter::blocks_no_buffers), 1u);

    const uint32_t small = rig.add_buffer(10000);  // not a whole number of pages: canary
    const uint32_t next = rig.add_buffer(10000);
    rig.feed(block(2, 20000).packets, ms(2));
    seen = rig.drain();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].firmware_status, 3);
    EXPECT_EQ(seen[1].packet_id, 8u) << "packet 8 would run past byte 10000";
    EXPECT_TRUE(rig.buffer(small).canary_intact());
    EXPECT_GT(rig.counter(Counter::late), 0u) << "the packets after the overflow";
    EXPECT_EQ(rig.counter(Counter::blocks_buffer_overflow), 1u);

    const Block fits = block(3, 9000);
    rig.feed(fits.packets, ms(3));
    EXPECT_EQ(finals_of(rig.drain()), (Finals{{3, 0}}));
    EXPECT_TRUE(holds(rig.buffer(next), fits));
}

TEST(Assembly, ReorderedAndDuplicatedPacketsMakeOneWholeBlock) {
    Rig rig;
    const uint32_t index = rig.add_buffer(64 * kPacket);
    const Block b = block(44, 40 * kPacket + 123, Ids::extended);
    std::vector<Bytes> order(b.packets.begin() + 1, b.packets.end() - 1);
    std::mt19937 random(1234);
    std::shuffle(order.begin(), order.end(), random);
    order.insert(order.begin() + 5, b.packets.front());  // the leader after some data
    order.push_back(b.packets.back());
    std::vector<Bytes> sent;
    uint32_t duplicates = 0;
    for (size_t i = 0; i < order.size(); ++i) {
        sent.push_back(order[i]);
        if (i % 7 == 3) sent.push_back(order[i]), ++duplicates;
    }
    sent.push_back(b.packets.back());  // after the end: late
    rig.feed(sent, ms(1));
    const std::vector<Seen> seen = rig.drain();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].firmware_status, 0);
    EXPECT_EQ(seen[1].payload_length, b.data.size());
    EXPECT_TRUE(holds(rig.buffer(index), b));
    EXPECT_EQ(rig.counter(Counter::duplicates), duplicates);
    EXPECT_EQ(rig.counter(Counter::late), 1u);
}

TEST(Assembly, NewBlockEvictsTheOldestWhenEverySlotIsTaken) {
    Rig rig;
    const uint32_t slots = adapter::BlockAssembler::kSlots;
    for (uint32_t i = 0; i <= slots; ++i) rig.add_buffer(8192);
    rig.feed(without(block(1, 3 * kPacket), {1}), ms(1));
    for (uint64_t id = 2; id <= slots; ++id) rig.feed(block(id, 3 * kPacket).packets, ms(1));
    std::vector<Seen> seen = rig.drain();
    for (const Seen &s : seen) EXPECT_EQ(s.block_id, 1u);
    rig.feed(block(slots + 1, 3 * kPacket).packets, ms(2));
    for (const Seen &s : rig.drain()) seen.push_back(s);
    Finals expected{{1, 2}};
    for (uint64_t id = 2; id <= slots + 1; ++id) expected.emplace_back(id, 0);
    EXPECT_EQ(finals_of(seen), expected);
    EXPECT_EQ(rig.counter(Counter::blocks_evicted), 1u);
}

TEST(Assembly, FullRingHoldsDescriptorsBackAndOverwritesNothing) {
    Rig rig({}, 4096);  // 64 descriptors
    std::vector<std::pair<uint32_t, Block>> sent;
    for (uint64_t id = 1; id <= 40; ++id) {
        sent.emplace_back(rig.add_buffer(8192), block(id, 2 * kPacket));
        rig.feed(sent.back().second.packets, ms(id));
    }
    EXPECT_EQ(rig.ring().unconsumed().value_or(0), 64u);
    EXPECT_GE(rig.counter(Counter::ring_full_holds), 1u);
    std::vector<Seen> seen = rig.drain();
    EXPECT_EQ(seen.size(), 64u);
    rig.timer(ms(50));
    for (const Seen &s : rig.drain()) seen.push_back(s);
    ASSERT_EQ(seen.size(), 80u);
    const Finals finals = finals_of(seen);
    for (uint64_t i = 0; i < 40; ++i) {
        EXPECT_TRUE(seen[2 * i].is_leader());
        EXPECT_EQ(finals[i], std::make_pair(i + 1, 0));
        EXPECT_TRUE(holds(rig.buffer(sent[i].first), sent[i].second));
        rig.requeue(sent[i].first);  // given back
    }
}

TEST(Assembly, BlocksBeyondWhatCanBeHeldAreReportedOrCountedNeverSilentlyLost) {
    Rig rig({}, 4096);
    for (int i = 0; i < 200; ++i) rig.add_buffer(8192);
    for (uint64_t id = 1; id <= 200; ++id) rig.feed(block(id, 2 * kPacket).packets, ms(id));
    std::vector<Seen> seen;
    for (int round = 0; round < 10; ++round) {
        for (const Seen &s : rig.drain()) seen.push_back(s);
        rig.timer(ms(300 + round));
    }
    const uint64_t finals = finals_of(seen).size();
    EXPECT_EQ(finals + rig.counter(Counter::blocks_lost), 200u);
    EXPECT_EQ(rig.counter(Counter::blocks_complete) + rig.counter(Counter::blocks_no_buffers),
              finals);
    EXPECT_GT(rig.counter(Counter::blocks_lost), 0u);
    EXPECT_EQ(rig.assembler().blocks_in_flight(), 0u);
    EXPECT_EQ(rig.pool().queued_count() + rig.counter(Counter::blocks_complete), 200u)
        << "every buffer taken was given back";
}

TEST(Assembly, StopEndsBlocksInFlightInOrderAndGivesBackTheirBuffers) {
    Rig rig;
    const uint32_t a = rig.add_buffer(32768);
    const uint32_t b = rig.add_buffer(32768);
    rig.feed(without(block(1, 5 * kPacket), {2}), ms(1));
    rig.feed(block(2, 5 * kPacket).packets, ms(2));
    rig.assembler().stop(ms(3));
    EXPECT_EQ(finals_of(rig.drain()), (Finals{{1, 2}, {2, 0}}));
    EXPECT_EQ(rig.pool().unpin(a, false), 0);
    EXPECT_EQ(rig.pool().unpin(b, false), 0);
}

TEST(Assembly, TimersAreDueOnlyWhileTheHeadWaits) {
    Rig rig;
    rig.add_buffer(32768);
    EXPECT_EQ(rig.assembler().next_due(ms(1)), adapter::BlockAssembler::kNever);
    const Block b = block(1, 5 * kPacket);
    rig.feed(without(b, {6}), ms(1));
    EXPECT_EQ(rig.assembler().next_due(ms(1)), ms(11)) << "silence is judged after 10 ms";
    rig.timer(ms(11));
    EXPECT_EQ(rig.assembler().next_due(ms(11)), ms(21));
    rig.feed(b.packets[6], ms(12));
    EXPECT_EQ(rig.assembler().next_due(ms(12)), adapter::BlockAssembler::kNever);
}

}  // namespace
}  // namespace qel::test
