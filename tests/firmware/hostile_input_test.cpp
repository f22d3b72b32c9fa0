// Datagrams no camera should send: each is counted and ignored (or ends its block), nothing is
// written outside a buffer (guard pages and canaries), and random bytes crash nothing.
#include <cstring>
#include <random>

#include "adapter/firmware/gvsp_packet.h"
#include "assembler_rig.h"

namespace qel::test {
namespace {

using adapter::Counter;

constexpr uint32_t kPacket = 1000;

// A datagram, what parsing finds, and the packet id it ends the block at as overflow (0: none).
struct Hostile {
    const char *name;
    Bytes datagram;
    adapter::gvsp::Fault fault;
    uint32_t overflow_at = 0;
    Ids ids = Ids::standard;
};

Bytes with_payload(Ids ids, uint8_t format, uint64_t block, uint32_t packet, size_t bytes) {
    return test::packet(ids, format, block, packet, Bytes(bytes, 0xEE));
}

Bytes cut(Bytes b, size_t length) {
    return Bytes(b.begin(), b.begin() + static_cast<long>(length));
}

std::vector<Hostile> hostile_cases() {
    using enum adapter::gvsp::Fault;
    const Ids s = Ids::standard;
    const Ids e = Ids::extended;
    return {
        {"standard_header_cut", cut(with_payload(s, 3, 1, 2, 10), 7), truncated},
        {"extended_header_cut", cut(with_payload(e, 3, 1, 2, 10), 19), truncated},
        {"leader_too_short", with_payload(s, 1, 1, 0, 11), truncated},
        {"format_9", with_payload(s, 9, 1, 2, 10), bad_format},
        {"block_id_0", with_payload(s, 3, 0, 2, 10), bad_block_id},
        {"data_packet_0", with_payload(s, 3, 1, 0, 10), bad_packet_id},
        {"data_without_data", with_payload(s, 3, 1, 2, 0), empty_payload},
        // Packets that would write past the buffer's end (byte 6100).
        {"running_past_the_end", with_payload(s, 3, 1, 7, 200), none, 7},
        {"largest_extended_id", with_payload(e, 3, 1, 0xFFFFFFFF, 10), none, 0xFFFFFFFF, e},
    };
}

class HostileDatagram : public ::testing::TestWithParam<Hostile> {};

TEST_P(HostileDatagram, IsCountedAndIgnoredOrEndsTheBlockWritingNothingOutside) {
    const Hostile &c = GetParam();
    adapter::gvsp::Packet parsed;
    EXPECT_EQ(adapter::gvsp::parse(c.datagram, parsed), c.fault);
    Rig rig;
    const uint32_t index = rig.add_buffer(6 * kPacket + 100);
    rig.add_buffer(4096);  // a block wrongly started by the datagram would take it
    const Block b = make_block(c.ids, 1, BlockShape{}, 6 * kPacket, kPacket);
    rig.feed(std::vector<Bytes>(b.packets.begin(), b.packets.begin() + 4), ms(1));
    rig.feed(c.datagram, ms(2));
    EXPECT_EQ(rig.counter(Counter::malformed), c.overflow_at == 0 ? 1u : 0u);
    rig.feed(std::vector<Bytes>(b.packets.begin() + 4, b.packets.end()), ms(3));
    const std::vector<Seen> seen = rig.drain();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE(rig.buffer(index).canary_intact());
    if (c.overflow_at != 0) {
        EXPECT_EQ(seen[1].firmware_status, 3);
        EXPECT_EQ(seen[1].packet_id, c.overflow_at);
        rig.requeue(index);
        return;
    }
    EXPECT_EQ(seen[1].firmware_status, 0);
    EXPECT_EQ(std::memcmp(rig.buffer(index).data(), b.data.data(), b.data.size()), 0);
    EXPECT_EQ(rig.pool().queued_count(), 1u) << "no block was started by it";
}

INSTANTIATE_TEST_SUITE_P(Hostile, HostileDatagram, ::testing::ValuesIn(hostile_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Hostile, LeaderOfAnotherBlockInTheMiddleDoesNotSpoilTheBlock) {
    Rig rig;
    const uint32_t first = rig.add_buffer(8 * kPacket);
    rig.add_buffer(8 * kPacket);
    const Block b = make_block(Ids::standard, 1, BlockShape{}, 6 * kPacket, kPacket);
    rig.feed(std::vector<Bytes>(b.packets.begin(), b.packets.begin() + 3), ms(1));
    rig.feed(make_block(Ids::standard, 99, BlockShape{}, kPacket, kPacket).packets[0], ms(1));
    rig.feed(std::vector<Bytes>(b.packets.begin() + 3, b.packets.end()), ms(2));
    std::vector<std::pair<uint64_t, int>> finals;
    for (uint64_t t = 3; t < 400; t += 10) {
        rig.timer(ms(t));
        for (const Seen &s : rig.drain()) {
            if (s.is_final()) finals.emplace_back(s.block_id, s.firmware_status);
        }
    }
    EXPECT_EQ(finals, (std::vector<std::pair<uint64_t, int>>{{1, 0}, {99, 2}}));
    EXPECT_EQ(std::memcmp(rig.buffer(first).data(), b.data.data(), b.data.size()), 0);
}

TEST(Hostile, RandomBytesAndRandomHeadersCrashNothingAndEveryBufferComesBack) {
    Rig rig;
    std::vector<uint32_t> buffers;
    for (int i = 0; i < 6; ++i) buffers.push_back(rig.add_buffer(3 * 4096 + 1000));
    std::mt19937 random(20240607);
    constexpr int kDatagrams = 4000;
    uint64_t now = ms(1);
    for (int i = 0; i < kDatagrams; ++i) {
        Bytes d(random() % 1600);
        for (uint8_t &byte : d) byte = static_cast<uint8_t>(random());
        if (i % 2 == 0 && d.size() >= 20) {  // a believable standard header, to reach the assembler
            d[2] = 0;
            d[3] = static_cast<uint8_t>(random() % 4);
            d[4] = static_cast<uint8_t>(1 + random() % 3);
        }
        rig.send(d);
        if (i % 100 == 99) {
            rig.receive_all(now);
            now += ms(7);
            rig.drain();
        }
    }
    rig.receive_all(now);
    for (int t = 0; t < 200; ++t) {
        now += ms(10);
        rig.timer(now);
        rig.drain();
    }
    EXPECT_EQ(rig.counter(Counter::packets), uint64_t{kDatagrams});
    EXPECT_GT(rig.counter(Counter::malformed), 0u);
    EXPECT_EQ(rig.assembler().blocks_in_flight(), 0u) << "every block ended";
    for (uint32_t index : buffers) {
        EXPECT_TRUE(rig.buffer(index).canary_intact());
        EXPECT_EQ(rig.pool().unpin(index, /*withdraw_queued=*/true), 0) << "buffer " << index;
    }
}

}  // namespace
}  // namespace qel::test
