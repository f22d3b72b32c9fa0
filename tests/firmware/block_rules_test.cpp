// What a block's final descriptor promises: a complete block holds exactly its own packets'
// bytes, in their places.
#include <cstring>

#include "assembler_rig.h"

namespace qel::test {
namespace {

using adapter::Counter;

constexpr uint32_t kBuffer = 8192;

// A block's packets as a test sends them: the leader, data packets of the given sizes (the
// data a pattern of its own), the trailer.
struct Sent {
    Bytes data;  // the data packets joined in id order
    std::vector<Bytes> data_packets;
    Bytes leader;
    Bytes trailer;
};

Sent sized_block(uint64_t block_id, const std::vector<uint32_t> &sizes) {
    Sent sent;
    sent.leader = packet(Ids::standard, 1, block_id, 0, leader_payload(BlockShape{}, 0));
    uint32_t id = 1;
    for (uint32_t size : sizes) {
        Bytes payload(size);
        for (uint32_t i = 0; i < size; ++i) {
            payload[i] = static_cast<uint8_t>(block_id * 31 + id * 7 + i);
        }
        sent.data.insert(sent.data.end(), payload.begin(), payload.end());
        sent.data_packets.push_back(packet(Ids::standard, 3, block_id, id++, payload));
    }
    sent.trailer = packet(Ids::standard, 2, block_id, id, trailer_payload(BlockShape{}));
    return sent;
}

// The final descriptors seen while time runs on for `until`.
std::vector<Seen> finals_over(Rig &rig, uint64_t from, uint64_t until) {
    std::vector<Seen> finals;
    for (uint64_t t = from; t <= until; t += ms(5)) {
        rig.timer(t);
        for (const Seen &s : rig.drain()) {
            if (s.is_final()) finals.push_back(s);
        }
    }
    return finals;
}

struct SizeCase {
    const char *name;
    std::vector<uint32_t> before;  // a complete block sent first (its sizes; empty: none)
    std::vector<uint32_t> sizes;   // the block under test
    std::vector<uint32_t> order;   // its data packets' ids in sending order
    bool complete;
};

class PacketSizes : public ::testing::TestWithParam<SizeCase> {};

// For every complete block the bytes up to its length are its data packets joined in id
// order; a block whose packets cannot all be placed so is not complete.
TEST_P(PacketSizes, CompleteOnlyWithEveryByteInItsPlace) {
    const SizeCase &c = GetParam();
    Rig rig;
    uint64_t now = ms(1);
    const uint32_t index = rig.add_buffer(kBuffer);
    if (!c.before.empty()) {
        const Sent before = sized_block(1, c.before);
        rig.feed(before.leader, now);
        rig.feed(before.data_packets, now);
        rig.feed(before.trailer, now);
        const std::vector<Seen> seen = rig.drain();
        ASSERT_EQ(seen.size(), 2u);
        ASSERT_EQ(seen[1].firmware_status, 0);
        // The host takes the buffer and gives it again, its bytes (the last block's) kept.
        rig.requeue(index);
    }
    const Sent sent = sized_block(2, c.sizes);
    rig.feed(sent.leader, now);
    for (uint32_t id : c.order) rig.feed(sent.data_packets.at(id - 1), now);
    rig.feed(sent.trailer, now);
    const std::vector<Seen> finals = finals_over(rig, now, ms(600));
    ASSERT_EQ(finals.size(), 1u);
    const Seen &f = finals[0];
    if (f.firmware_status == 0) {
        ASSERT_EQ(f.payload_length, sent.data.size());
        EXPECT_EQ(std::memcmp(rig.buffer(index).data(), sent.data.data(), sent.data.size()), 0)
            << "a complete block with bytes that are not its packets'";
    }
    EXPECT_EQ(f.firmware_status == 0, c.complete);
    EXPECT_TRUE(rig.buffer(index).canary_intact());
}

INSTANTIATE_TEST_SUITE_P(
    Block, PacketSizes,
    ::testing::Values(
        SizeCase{"in_order", {}, {1000, 1000, 1000, 300}, {1, 2, 3, 4}, true},
        SizeCase{"reordered", {}, {1000, 1000, 1000, 300}, {4, 2, 1, 3}, true},
        // A short packet anywhere but last leaves the rest of its place unwritten.
        SizeCase{"short_in_the_middle", {}, {1000, 100, 1000, 1000}, {1, 2, 3, 4}, false},
        SizeCase{"short_then_missing_rest", {}, {1000, 100, 1000}, {1, 3, 2}, false},
        // Packet 1 last: the others were placed by the size of the block before.
        SizeCase{"smaller_packets_one_last",
                 {1000, 1000, 1000},
                 {500, 500, 500, 500},
                 {2, 3, 4, 1},
                 false},
        SizeCase{"larger_packets_one_last", {500, 500, 500}, {1000, 1000, 700}, {2, 3, 1}, true},
        SizeCase{"same_packets_one_last", {1000, 1000, 1000}, {1000, 1000, 800}, {3, 2, 1}, true}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::test
