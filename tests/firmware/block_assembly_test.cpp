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

constexpr uint32_t kPacket = 1400;

std::vector<Bytes> without(const Block &b, std::initializer_list<uint32_t> skipped) {
    std::vector<Bytes> out;
    for (uint32_t i = 0; i < b.packets.size(); ++i) {
        if (std::find(skipped.begin(), skipped.end(), i) == skipped.end()) {
            out.push_back(b.packets[i]);
        }
    }
    return out;
}

Bytes prefix(const Bytes &bytes, size_t from, size_t count) {
    Bytes out(count, 0);
    for (size_t i = 0; i < count && from + i < bytes.size(); ++i) out[i] = bytes[from + i];
    return out;
}

Bytes descriptor_bytes(const Seen &s, size_t from, size_t count) {
    return Bytes(s.raw.begin() + from, s.raw.begin() + from + count);
}

bool holds(const Rig &, const GuardedBuffer &buffer, const Block &b) {
    return std::memcmp(buffer.data(), b.data.data(), b.data.size()) == 0;
}

// ---- Complete blocks of every payload type, with both kinds of id ----

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
    const Seen &leader = seen[0];
    EXPECT_EQ(leader.type, 1);
    EXPECT_EQ(leader.block_id, id);
    EXPECT_EQ(leader.firmware_status, 0);
    const size_t header = c.ids == Ids::extended ? 20 : 8;
    EXPECT_EQ(descriptor_bytes(leader, 16, 44), prefix(b.packets.front(), header, 44));

    const Seen &trailer = seen[1];
    EXPECT_EQ(trailer.type, 2);
    EXPECT_EQ(trailer.block_id, id);
    EXPECT_EQ(trailer.firmware_status, 0);
    EXPECT_EQ(trailer.packet_id, b.data_packets() + 1);
    EXPECT_EQ(trailer.payload_length, 10000u);
    EXPECT_EQ(trailer.time, 1);
    EXPECT_EQ(trailer.ticks, ms(5));
    EXPECT_EQ(descriptor_bytes(trailer, 32, 28), prefix(b.packets.back(), header, 28));

    EXPECT_TRUE(holds(rig, rig.buffer(index), b));
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

TEST(Assembly, InOrderBlocksLandInPlace) {
    Rig rig;
    std::vector<uint32_t> buffers;
    for (int i = 0; i < 8; ++i) buffers.push_back(rig.add_buffer(200 * kPacket));
    std::vector<Block> blocks;
    std::vector<Bytes> all;
    for (uint64_t id = 1; id <= 8; ++id) {
        // 128 data packets: batches of 32 end exactly at the last data packet.
        blocks.push_back(make_block(Ids::standard, id, BlockShape{}, 128 * kPacket, kPacket));
        all.insert(all.end(), blocks.back().packets.begin(), blocks.back().packets.end());
    }
    rig.feed(all, ms(1));
    const std::vector<Seen> seen = rig.drain();
    ASSERT_EQ(seen.size(), 16u);
    for (size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(seen[2 * i + 1].firmware_status, 0);
        EXPECT_TRUE(holds(rig, rig.buffer(buffers[i]), blocks[i])) << "block " << i + 1;
    }
    const uint64_t placed = rig.counter(Counter::bytes_placed);
    const uint64_t copied = rig.counter(Counter::bytes_copied);
    EXPECT_GT(placed, 0u);
    // Only the first block, before the stream's block size is known, may end in a batch that
    // reaches into the next block.
    EXPECT_LE(copied, 32 * kPacket) << "copied " << copied << " of " << placed + copied;
}

class PacketSizeChange : public ::testing::TestWithParam<uint32_t> {};

// Packets are placed by the size that earlier blocks showed until packet 1 confirms it: a
// camera that changes its packet size still fills its buffers right.
TEST_P(PacketSizeChange, BetweenBlocksStillFillsTheBuffersRight) {
    Rig rig;
    const uint32_t first = rig.add_buffer(64 * kPacket);
    const uint32_t second = rig.add_buffer(64 * kPacket);
    const Block before = make_block(Ids::standard, 1, BlockShape{}, 30 * kPacket, kPacket);
    const Block after = make_block(Ids::standard, 2, BlockShape{}, 30 * kPacket, GetParam());
    std::vector<Bytes> all = before.packets;
    all.insert(all.end(), after.packets.begin(), after.packets.end());
    rig.feed(all, ms(1));
    const std::vector<Seen> seen = rig.drain();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[3].firmware_status, 0);
    EXPECT_TRUE(holds(rig, rig.buffer(first), before));
    EXPECT_TRUE(holds(rig, rig.buffer(second), after));
}

INSTANTIATE_TEST_SUITE_P(Sizes, PacketSizeChange, ::testing::Values(1000u, 1400u, 2000u));

// ---- Lost packets ----

TEST(Assembly, LostPacketIsReportedByItsIdUntilTheResentPacketCompletesTheBlock) {
    Rig rig;
    const uint32_t index = rig.add_buffer(32768);
    const Block b = make_block(Ids::standard, 7, BlockShape{}, 10 * kPacket, kPacket);
    rig.feed(without(b, {3}), ms(1));

    std::vector<Seen> seen = rig.drain();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE(seen[0].is_leader());
    EXPECT_EQ(seen[1].firmware_status, 1);  // seen missing when the trailer came
    EXPECT_EQ(seen[1].packet_id, 3u);
    EXPECT_EQ(seen[1].block_id, 7u);
    EXPECT_EQ(seen[1].credit, 0);

    rig.timer(ms(6));
    EXPECT_TRUE(rig.drain().empty()) << "the next status comes one interval later";
    rig.timer(ms(11));
    seen = rig.drain();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].firmware_status, 1);
    EXPECT_EQ(seen[0].packet_id, 3u);

    rig.feed(as_resent(b.packets[3], Ids::standard), ms(12));
    seen = rig.drain();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].firmware_status, 0);
    EXPECT_EQ(seen[0].payload_length, 10 * kPacket);
    EXPECT_EQ(seen[0].ticks, ms(1)) << "the trailer's arrival";
    EXPECT_TRUE(holds(rig, rig.buffer(index), b));
    EXPECT_EQ(rig.counter(Counter::resent), 1u);
    EXPECT_EQ(rig.counter(Counter::incomplete_statuses), 2u);
    rig.timer(ms(100));
    EXPECT_TRUE(rig.drain().empty());
}

TEST(Assembly, BlockStillMissingPacketsEndsIncompleteFinalAfterTheBlockTimeout) {
    adapter::AssemblerTimes times;
    times.resend_interval_ns = ms(10);
    times.block_timeout_ns = ms(200);
    Rig rig(times);
    const uint32_t index = rig.add_buffer(32768);
    const Block b = make_block(Ids::extended, 9, BlockShape{}, 10 * kPacket, kPacket);
    rig.feed(without(b, {5, 8}), ms(1));
    uint32_t statuses = 0;
    std::vector<Seen> all;
    for (uint64_t t = 1; t <= 400; ++t) {
        rig.timer(ms(t));
        for (const Seen &s : rig.drain()) all.push_back(s);
    }
    for (const Seen &s : all) statuses += s.type == 2 && s.firmware_status == 1;
    ASSERT_FALSE(all.empty());
    const Seen &last = all.back();
    EXPECT_EQ(last.firmware_status, 2);
    EXPECT_EQ(last.packet_id, 5u) << "the first packet still missing";
    EXPECT_EQ(last.payload_length, 8 * kPacket) << "bytes received";
    EXPECT_EQ(statuses, 20u) << "one status every 10 ms for 200 ms";
    EXPECT_EQ(rig.counter(Counter::blocks_incomplete_final), 1u);

    // Packets of the ended block are late and change nothing, also once it is forgotten.
    rig.feed(as_resent(b.packets[5], Ids::extended), ms(401));
    rig.feed(as_resent(b.packets[8], Ids::extended), ms(5000));
    EXPECT_TRUE(rig.drain().empty());
    EXPECT_EQ(rig.counter(Counter::late), 2u);
    EXPECT_EQ(rig.pool().queued_count(), 0u) << "no block was started";
    rig.requeue(index);
}

TEST(Assembly, LostTrailerIsAskedForAfterSilence) {
    Rig rig;
    rig.add_buffer(32768);
    const Block b = make_block(Ids::standard, 3, BlockShape{}, 4 * kPacket, kPacket);
    rig.feed(without(b, {5}), ms(1));
    EXPECT_EQ(rig.drain().size(), 1u);  // the leader
    rig.timer(ms(10));
    EXPECT_TRUE(rig.drain().empty()) << "within the resend interval nothing is missing yet";
    rig.timer(ms(11));
    std::vector<Seen> seen = rig.drain();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].firmware_status, 1);
    EXPECT_EQ(seen[0].packet_id, 5u) << "the trailer";
    rig.feed(as_resent(b.packets[5], Ids::standard), ms(15));
    seen = rig.drain();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].firmware_status, 0);
    EXPECT_EQ(seen[0].ticks, ms(15));
}

TEST(Assembly, LostLeaderIsAskedForUnderALeaderThatNamesTheBlock) {
    Rig rig;
    rig.add_buffer(32768);
    BlockShape shape;
    shape.payload_type = 2;
    const Block b = make_block(Ids::extended, 0xABCDEF0123ull, shape, 3 * kPacket, kPacket);
    rig.feed(without(b, {0}), ms(1));
    std::vector<Seen> seen = rig.drain();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE(seen[0].is_leader());
    EXPECT_EQ(seen[0].block_id, 0xABCDEF0123ull);
    EXPECT_EQ(descriptor_bytes(seen[0], 16, 44), Bytes(44, 0)) << "payload type 0, nothing else";
    EXPECT_EQ(seen[1].firmware_status, 1);
    EXPECT_EQ(seen[1].packet_id, 0u);

    rig.feed(as_resent(b.packets[0], Ids::extended), ms(5));
    seen = rig.drain();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE(seen[0].is_leader());
    EXPECT_EQ(descriptor_bytes(seen[0], 16, 44), prefix(b.packets[0], 20, 44));
    EXPECT_EQ(seen[0].status_word, 0) << "resent marks the packet, not the block";
    EXPECT_EQ(seen[1].firmware_status, 0);
}

// ---- Buffers ----

TEST(Assembly, BlockWithoutABufferIsReportedAndTheNextOneIsReceived) {
    Rig rig;
    const Block first = make_block(Ids::standard, 1, BlockShape{}, 3 * kPacket, kPacket);
    rig.feed(first.packets, ms(1));
    std::vector<Seen> seen = rig.drain();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].type, 2);
    EXPECT_EQ(seen[0].firmware_status, 4);
    EXPECT_EQ(seen[0].block_id, 1u);
    EXPECT_EQ(rig.counter(Counter::without_buffer), first.packets.size() - 1);
    EXPECT_EQ(rig.counter(Counter::blocks_no_buffers), 1u);

    const uint32_t index = rig.add_buffer(8192);
    const Block second = make_block(Ids::standard, 2, BlockShape{}, 3 * kPacket, kPacket);
    rig.feed(second.packets, ms(2));
    seen = rig.drain();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].firmware_status, 0);
    EXPECT_TRUE(holds(rig, rig.buffer(index), second));
}

TEST(Assembly, BlockLargerThanItsBufferOverflowsWithoutWritingPastIt) {
    Rig rig;
    const uint32_t small = rig.add_buffer(10000);  // not a whole number of pages: canary
    const uint32_t next = rig.add_buffer(10000);
    const Block big = make_block(Ids::standard, 1, BlockShape{}, 20000, kPacket);
    rig.feed(big.packets, ms(1));
    std::vector<Seen> seen = rig.drain();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].firmware_status, 3);
    EXPECT_EQ(seen[1].packet_id, 8u) << "packet 8 would run past byte 10000";
    EXPECT_TRUE(rig.buffer(small).canary_intact());
    EXPECT_GT(rig.counter(Counter::late), 0u) << "the packets after the overflow";
    rig.requeue(small);

    const Block fits = make_block(Ids::standard, 2, BlockShape{}, 9000, kPacket);
    rig.feed(fits.packets, ms(2));
    seen = rig.drain();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].firmware_status, 0);
    EXPECT_TRUE(holds(rig, rig.buffer(next), fits));
    EXPECT_EQ(rig.counter(Counter::blocks_buffer_overflow), 1u);
}

TEST(Assembly, CreditOfABufferReturnsWithItsBlocksFinalDescriptorOnly) {
    Rig rig;
    rig.add_buffer(32768, /*credit=*/true);
    rig.add_buffer(32768, /*credit=*/false);
    const Block a = make_block(Ids::standard, 1, BlockShape{}, 3 * kPacket, kPacket);
    const Block b = make_block(Ids::standard, 2, BlockShape{}, 3 * kPacket, kPacket);
    rig.feed(without(a, {2}), ms(1));
    rig.feed(a.packets[2], ms(2));
    rig.feed(b.packets, ms(3));
    const std::vector<Seen> seen = rig.drain();
    ASSERT_EQ(seen.size(), 5u);  // L1, INCOMPLETE, T1, L2, T2
    EXPECT_EQ(seen[1].firmware_status, 1);
    EXPECT_EQ(seen[1].credit, 0);
    EXPECT_EQ(seen[2].credit, 1);
    EXPECT_EQ(seen[0].credit, 0);
    EXPECT_EQ(seen[4].credit, 0);
}

// ---- Reordered, duplicated and dropped packets ----

TEST(Assembly, ReorderedAndDuplicatedPacketsMakeOneWholeBlock) {
    Rig rig;
    const uint32_t index = rig.add_buffer(64 * kPacket);
    const Block b = make_block(Ids::extended, 44, BlockShape{}, 40 * kPacket + 123, kPacket);
    std::vector<Bytes> order(b.packets.begin() + 1, b.packets.end() - 1);
    std::mt19937 random(1234);
    std::shuffle(order.begin(), order.end(), random);
    order.insert(order.begin() + 5, b.packets.front());  // the leader after some data
    order.push_back(b.packets.back());
    std::vector<Bytes> with_duplicates;
    uint32_t duplicates = 0;
    for (size_t i = 0; i < order.size(); ++i) {
        with_duplicates.push_back(order[i]);
        if (i % 7 == 3) {
            with_duplicates.push_back(order[i]);
            ++duplicates;
        }
    }
    with_duplicates.push_back(b.packets.back());  // after the end: late
    rig.feed(with_duplicates, ms(1));
    const std::vector<Seen> seen = rig.drain();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].firmware_status, 0);
    EXPECT_EQ(seen[1].payload_length, b.data.size());
    EXPECT_TRUE(holds(rig, rig.buffer(index), b));
    EXPECT_EQ(rig.counter(Counter::duplicates), duplicates);
    EXPECT_EQ(rig.counter(Counter::late), 1u);
}

TEST(Assembly, HostsDropRequestDropsThatPacketOnce) {
    Rig rig;
    const uint32_t index = rig.add_buffer(32768);
    const Block b = make_block(Ids::standard, 5, BlockShape{}, 6 * kPacket, kPacket);
    ASSERT_EQ(rig.drops().add(5, 4), 0);
    rig.feed(b.packets, ms(1));
    std::vector<Seen> seen = rig.drain();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].firmware_status, 1);
    EXPECT_EQ(seen[1].packet_id, 4u);
    EXPECT_EQ(rig.counter(Counter::dropped_on_request), 1u);
    rig.feed(as_resent(b.packets[4], Ids::standard), ms(3));
    seen = rig.drain();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].firmware_status, 0);
    EXPECT_TRUE(holds(rig, rig.buffer(index), b));
    EXPECT_EQ(rig.drops().pending(), 0u);
}

// ---- Order of blocks ----

TEST(Assembly, LaterCompleteBlocksWaitForTheEarlierOneToEnd) {
    Rig rig;
    for (int i = 0; i < 3; ++i) rig.add_buffer(32768);
    const Block b1 = make_block(Ids::standard, 1, BlockShape{}, 5 * kPacket, kPacket);
    const Block b2 = make_block(Ids::standard, 2, BlockShape{}, 5 * kPacket, kPacket);
    const Block b3 = make_block(Ids::standard, 3, BlockShape{}, 5 * kPacket, kPacket);
    rig.feed(without(b1, {2}), ms(1));
    rig.feed(b2.packets, ms(2));
    rig.feed(b3.packets, ms(3));
    std::vector<Seen> seen = rig.drain();
    for (const Seen &s : seen) EXPECT_EQ(s.block_id, 1u) << "only the first block reports";
    rig.feed(as_resent(b1.packets[2], Ids::standard), ms(4));
    for (const Seen &s : rig.drain()) seen.push_back(s);
    expect_not_interleaved(seen);
    std::vector<uint64_t> finals;
    for (const Seen &s : seen) {
        if (s.is_final()) {
            finals.push_back(s.block_id);
            EXPECT_EQ(s.firmware_status, 0);
        }
    }
    EXPECT_EQ(finals, (std::vector<uint64_t>{1, 2, 3}));
}

TEST(Assembly, LaterBlockWaitsUntilTheEarlierTimesOut) {
    Rig rig;
    rig.add_buffer(32768);
    const uint32_t second = rig.add_buffer(32768);
    const Block b1 = make_block(Ids::extended, 10, BlockShape{}, 5 * kPacket, kPacket);
    const Block b2 = make_block(Ids::extended, 11, BlockShape{}, 5 * kPacket, kPacket);
    rig.feed(without(b1, {4}), ms(1));
    rig.feed(b2.packets, ms(2));
    std::vector<Seen> seen;
    for (uint64_t t = 2; t <= 260; t += 5) {
        rig.timer(ms(t));
        for (const Seen &s : rig.drain()) seen.push_back(s);
    }
    expect_not_interleaved(seen);
    ASSERT_GE(seen.size(), 4u);
    const Seen &l2 = seen[seen.size() - 2];
    const Seen &t2 = seen.back();
    EXPECT_TRUE(l2.is_leader());
    EXPECT_EQ(l2.block_id, 11u);
    EXPECT_EQ(t2.firmware_status, 0);
    const Seen &f1 = seen[seen.size() - 3];
    EXPECT_EQ(f1.block_id, 10u);
    EXPECT_EQ(f1.firmware_status, 2);
    EXPECT_TRUE(holds(rig, rig.buffer(second), b2));
}

TEST(Assembly, NewBlockEvictsTheOldestWhenEverySlotIsTaken) {
    Rig rig;
    const uint32_t slots = adapter::BlockAssembler::kSlots;
    for (uint32_t i = 0; i <= slots; ++i) rig.add_buffer(8192);
    rig.feed(without(make_block(Ids::standard, 1, BlockShape{}, 3 * kPacket, kPacket), {1}), ms(1));
    for (uint64_t id = 2; id <= slots; ++id) {
        rig.feed(make_block(Ids::standard, id, BlockShape{}, 3 * kPacket, kPacket).packets, ms(1));
    }
    std::vector<Seen> seen = rig.drain();
    for (const Seen &s : seen) EXPECT_EQ(s.block_id, 1u);
    rig.feed(make_block(Ids::standard, slots + 1, BlockShape{}, 3 * kPacket, kPacket).packets,
             ms(2));
    for (const Seen &s : rig.drain()) seen.push_back(s);
    expect_not_interleaved(seen);
    std::vector<Seen> finals;
    for (const Seen &s : seen) {
        if (s.is_final()) finals.push_back(s);
    }
    ASSERT_EQ(finals.size(), slots + 1);
    EXPECT_EQ(finals[0].firmware_status, 2);
    EXPECT_EQ(finals[0].packet_id, 1u);
    for (uint32_t i = 1; i <= slots; ++i) {
        EXPECT_EQ(finals[i].block_id, i + 1);
        EXPECT_EQ(finals[i].firmware_status, 0);
    }
    EXPECT_EQ(rig.counter(Counter::blocks_evicted), 1u);
}

// ---- A full ring ----

TEST(Assembly, FullRingHoldsDescriptorsBackAndOverwritesNothing) {
    Rig rig({}, 4096);  // 64 descriptors
    std::vector<uint32_t> buffers;
    for (int i = 0; i < 40; ++i) buffers.push_back(rig.add_buffer(8192));
    std::vector<Block> blocks;
    for (uint64_t id = 1; id <= 40; ++id) {
        blocks.push_back(make_block(Ids::standard, id, BlockShape{}, 2 * kPacket, kPacket));
        rig.feed(blocks.back().packets, ms(id));
    }
    EXPECT_EQ(rig.ring().unconsumed().value_or(0), 64u);
    EXPECT_GE(rig.counter(Counter::ring_full_holds), 1u);
    std::vector<Seen> seen = rig.drain();
    EXPECT_EQ(seen.size(), 64u);
    rig.timer(ms(50));
    for (const Seen &s : rig.drain()) seen.push_back(s);
    ASSERT_EQ(seen.size(), 80u);
    for (uint64_t i = 0; i < 40; ++i) {
        EXPECT_TRUE(seen[2 * i].is_leader());
        EXPECT_EQ(seen[2 * i].block_id, i + 1);
        EXPECT_EQ(seen[2 * i + 1].block_id, i + 1);
        EXPECT_EQ(seen[2 * i + 1].firmware_status, 0);
        EXPECT_TRUE(holds(rig, rig.buffer(buffers[i]), blocks[i]));
    }
    for (uint32_t index : buffers) rig.requeue(index);
}

TEST(Assembly, BlocksBeyondWhatCanBeHeldAreReportedOrCountedNeverSilentlyLost) {
    Rig rig({}, 4096);
    for (int i = 0; i < 200; ++i) rig.add_buffer(8192);
    for (uint64_t id = 1; id <= 200; ++id) {
        rig.feed(make_block(Ids::standard, id, BlockShape{}, 2 * kPacket, kPacket).packets, ms(id));
    }
    std::vector<Seen> seen;
    for (int round = 0; round < 10; ++round) {
        for (const Seen &s : rig.drain()) seen.push_back(s);
        rig.timer(ms(300 + round));
    }
    expect_not_interleaved(seen);
    uint64_t finals = 0;
    for (const Seen &s : seen) finals += s.is_final();
    EXPECT_EQ(finals + rig.counter(Counter::blocks_lost), 200u);
    EXPECT_EQ(rig.counter(Counter::blocks_complete) + rig.counter(Counter::blocks_no_buffers),
              finals);
    EXPECT_GT(rig.counter(Counter::blocks_lost), 0u);
    EXPECT_EQ(rig.assembler().blocks_in_flight(), 0u);
    EXPECT_EQ(rig.pool().queued_count() + rig.counter(Counter::blocks_complete), 200u)
        << "every buffer taken was given back";
}

// ---- Stop ----

TEST(Assembly, StopEndsBlocksInFlightInOrderAndGivesBackTheirBuffers) {
    Rig rig;
    const uint32_t a = rig.add_buffer(32768);
    const uint32_t b = rig.add_buffer(32768);
    rig.feed(without(make_block(Ids::standard, 1, BlockShape{}, 5 * kPacket, kPacket), {2}), ms(1));
    rig.feed(make_block(Ids::standard, 2, BlockShape{}, 5 * kPacket, kPacket).packets, ms(2));
    rig.assembler().stop(ms(3));
    const std::vector<Seen> seen = rig.drain();
    expect_not_interleaved(seen);
    std::vector<std::pair<uint64_t, int>> finals;
    for (const Seen &s : seen) {
        if (s.is_final()) finals.emplace_back(s.block_id, s.firmware_status);
    }
    EXPECT_EQ(finals, (std::vector<std::pair<uint64_t, int>>{{1, 2}, {2, 0}}));
    EXPECT_EQ(rig.pool().unpin(a, false), 0);
    EXPECT_EQ(rig.pool().unpin(b, false), 0);
}

TEST(Assembly, TimersAreDueOnlyWhileTheHeadWaits) {
    Rig rig;
    rig.add_buffer(32768);
    EXPECT_EQ(rig.assembler().next_due(ms(1)), adapter::BlockAssembler::kNever);
    const Block b = make_block(Ids::standard, 1, BlockShape{}, 5 * kPacket, kPacket);
    rig.feed(without(b, {6}), ms(1));
    EXPECT_EQ(rig.assembler().next_due(ms(1)), ms(11)) << "silence is judged after 10 ms";
    rig.timer(ms(11));
    EXPECT_EQ(rig.assembler().next_due(ms(11)), ms(21));
    rig.feed(b.packets[6], ms(12));
    EXPECT_EQ(rig.assembler().next_due(ms(12)), adapter::BlockAssembler::kNever);
}

}  // namespace
}  // namespace qel::test
