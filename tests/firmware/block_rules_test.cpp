// What a block's final descriptor promises and when it comes: a complete block holds exactly
// its own packets' bytes, in their places; no block keeps the blocks behind it waiting longer
// than its own time; every block the camera sent is reported, whatever the host's pace.
#include <cstring>
#include <deque>

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

// Final descriptors, and when each was seen, while the host consumes every descriptor and
// gives back every buffer it was handed, as time runs on from `from` to `until`.
struct Reported {
    std::vector<Seen> finals;
    std::vector<uint64_t> seen_at;
};

class Host {
public:
    Host(Rig &rig, uint32_t buffers, uint32_t bytes) : rig_(rig) {
        for (uint32_t i = 0; i < buffers; ++i) queued_.push_back(rig.add_buffer(bytes));
    }
    void take(uint64_t now, Reported &out) {
        for (const Seen &s : rig_.drain()) {
            if (!s.is_final()) continue;
            out.finals.push_back(s);
            out.seen_at.push_back(now);
            if (s.firmware_status == 4) continue;  // no buffer was taken
            ASSERT_FALSE(queued_.empty());
            const uint32_t index = queued_.front();
            queued_.pop_front();
            rig_.requeue(index);
            queued_.push_back(index);
        }
    }
    void run(uint64_t from, uint64_t until, Reported &out) {
        for (uint64_t t = from; t <= until; t += ms(5)) {
            rig_.timer(t);
            take(t, out);
        }
    }

private:
    Rig &rig_;
    std::deque<uint32_t> queued_;  // in the order the firmware fills them
};

std::vector<Bytes> without(const Block &b, size_t packet) {
    std::vector<Bytes> packets = b.packets;
    packets.erase(packets.begin() + static_cast<long>(packet));
    return packets;
}

struct StallCase {
    const char *name;
    bool leaders_alone;  // the blocks before send nothing but their leader (else miss packet 2)
    bool packet_resend;
    Ids ids;               // the camera's; the host asks resends with standard ids
    uint64_t reported_by;  // the complete block's final descriptor, at the latest
    uint64_t overtaken;
};

class Stall : public ::testing::TestWithParam<StallCase> {};

// Five blocks that never complete, one a millisecond, then a complete one: each ends by its
// own clock (or at once when nothing can complete it), so the complete one waits one block
// timeout at most, not one per block before it.
TEST_P(Stall, BlocksThatNeverCompleteHoldTheStreamOneTimeoutAtMost) {
    const StallCase &c = GetParam();
    adapter::AssemblerSettings settings;
    settings.packet_resend = c.packet_resend;
    settings.host_ids = adapter::AssemblerSettings::IdForm::standard;
    Rig rig(settings);
    Host host(rig, 8, kBuffer);
    Reported reported;
    for (uint64_t id = 1; id <= 5; ++id) {
        const Block b = make_block(c.ids, id, BlockShape{}, 3000, 1000);
        rig.feed(c.leaders_alone ? std::vector<Bytes>{b.packets[0]} : without(b, 2), ms(id));
        host.take(ms(id), reported);
    }
    rig.feed(make_block(c.ids, 6, BlockShape{}, 3000, 1000).packets, ms(6));
    host.take(ms(6), reported);
    host.run(ms(6), ms(1000), reported);
    ASSERT_EQ(reported.finals.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(reported.finals[i].block_id, i + 1);
        EXPECT_EQ(reported.finals[i].firmware_status, i < 5 ? 2 : 0) << "block " << i + 1;
    }
    EXPECT_LE(reported.seen_at[5], c.reported_by);
    EXPECT_EQ(rig.counter(Counter::blocks_overtaken), c.overtaken);
    EXPECT_EQ(rig.counter(Counter::id_form_mismatches), c.ids == Ids::extended ? 6u : 0u);
}

// With the default 200 ms block timeout.
INSTANTIATE_TEST_SUITE_P(
    Block, Stall,
    ::testing::Values(
        StallCase{"missing_packets", false, true, Ids::standard, ms(1 + 200 + 5), 0},
        StallCase{"leaders_alone", true, true, Ids::standard, ms(1 + 200 + 5), 0},
        StallCase{"missing_packets_without_resend", false, false, Ids::standard, ms(6), 5},
        StallCase{"leaders_alone_without_resend", true, false, Ids::standard, ms(6), 5},
        // Requests in the host's form are lost on this camera: as good as no resend.
        StallCase{"extended_ids_on_a_standard_stream", false, true, Ids::extended, ms(6), 5}),
    [](const auto &info) { return std::string(info.param.name); });

// A large block on a slow link: its packets keep coming, in order, for twice the block timeout,
// and it is received whole rather than cut; only missing packets start a block's clock.
TEST(Block, ALargeBlockStillArrivingIsNotCut) {
    constexpr uint32_t kBytes = 100 * 1000;
    Rig rig;
    Host host(rig, 2, kBytes);
    Reported reported;
    uint64_t now = ms(1);
    for (const Bytes &packet : make_block(Ids::standard, 1, BlockShape{}, kBytes, 1000).packets) {
        rig.feed(packet, now);
        rig.timer(now);
        host.take(now, reported);
        now += ms(4);
    }
    ASSERT_EQ(reported.finals.size(), 1u);
    EXPECT_EQ(reported.finals[0].firmware_status, 0);
    EXPECT_EQ(reported.finals[0].payload_length, kBytes);
}

// A host that stops consuming while a small ring is full: the blocks that come meanwhile get
// no buffer, and each is still reported (NO_BUFFERS) once the host catches up; none is lost.
TEST(Block, EveryBlockIsReportedAfterTheHostFellBehind) {
    Rig rig({}, 16);
    Host host(rig, 4, kBuffer);
    constexpr uint64_t kBlocks = 300;
    for (uint64_t id = 1; id <= kBlocks; ++id) {
        rig.feed(make_block(Ids::standard, id, BlockShape{}, 300, 100).packets, ms(id));
    }
    Reported reported;
    host.run(ms(kBlocks), ms(kBlocks + 2000), reported);
    ASSERT_EQ(reported.finals.size(), kBlocks);
    uint64_t complete = 0;
    for (size_t i = 0; i < reported.finals.size(); ++i) {
        EXPECT_EQ(reported.finals[i].block_id, i + 1);
        complete += reported.finals[i].firmware_status == 0 ? 1 : 0;
    }
    EXPECT_GE(complete, 4u);
    EXPECT_EQ(complete + rig.counter(Counter::blocks_no_buffers), kBlocks);
    EXPECT_EQ(rig.counter(Counter::blocks_lost), 0u);
}

// A camera that starts its block ids again (a restart) within the time late packets are
// looked for: the new blocks are received, and the restart is counted.
TEST(Block, ACameraThatStartsItsBlockIdsAgainIsFollowed) {
    Rig rig;
    Host host(rig, 4, kBuffer);
    Reported reported;
    uint64_t now = ms(1);
    for (uint32_t bytes : {3000u, 2000u}) {
        for (uint64_t id = 1; id <= 5; ++id, now += ms(1)) {
            rig.feed(make_block(Ids::standard, id, BlockShape{}, bytes, 1000).packets, now);
            host.take(now, reported);
        }
    }
    ASSERT_EQ(reported.finals.size(), 10u);
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(reported.finals[i].block_id, i % 5 + 1);
        EXPECT_EQ(reported.finals[i].firmware_status, 0);
        EXPECT_EQ(reported.finals[i].payload_length, i < 5 ? 3000u : 2000u);
    }
    EXPECT_EQ(rig.counter(Counter::id_restarts), 5u);
    EXPECT_EQ(rig.counter(Counter::late), 0u);
}

}  // namespace
}  // namespace qel::test
